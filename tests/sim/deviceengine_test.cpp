// The device's end of the framing, fed raw bytes: what it answers to intact,
// damaged, oversized and interrupted requests, and what it records.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/boundedlog.h"
#include "sim/deviceengine.h"
#include "sim/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::DeviceEngine;
using sim::Fault;
using sim::FrameKind;
using sim::Outcome;

using sim::RequestFrames;

const Bytes kSendAgainReply = {0x78, 0x5A, 0x3C, 0x1E, 0xFE, 0x00, 0x00, 0xFE, 0x00};

class EngineTest : public ::testing::Test
{
protected:
    EngineTest()
    {
        device.SetHandler(7, [this](const Bytes& arguments) {
            ++served;
            return Outcome::Reply(arguments);
        });
    }

    // Everything the device has put on the line since the last look.
    Bytes Answer()
    {
        Bytes all;
        sim::OutputChunk chunk;
        while (device.TakeOutput(chunk))
            all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
        return all;
    }

    DeviceEngine device;
    int served = 0;
};

TEST_F(EngineTest, IntactRequestIsAnsweredWithHeaderAndDataFrames)
{
    device.Feed(RequestFrames(7, {0x10, 0x20}));
    EXPECT_EQ(Answer(), (Bytes{0x78, 0x5A, 0x3C, 0x1E, 0xFF, 0x02, 0x00, 0x01, 0x01,
                               0x10, 0x20, 0x30, 0x00}));
    EXPECT_EQ(served, 1);
}

TEST_F(EngineTest, RequestFedOneByteAtATimeIsServedOnce)
{
    for (uint8_t byte : RequestFrames(7, {1, 2, 3}))
        device.Feed(&byte, 1);
    EXPECT_EQ(served, 1);
    EXPECT_EQ(device.Calls().at(0).arguments, (Bytes{1, 2, 3}));
}

TEST_F(EngineTest, DamagedHeaderIsAskedForAgainAndNotCarriedOut)
{
    Bytes request = RequestFrames(7, {1});
    request[7] ^= 0x04;
    device.Feed(request);
    EXPECT_EQ(Answer(), kSendAgainReply);
    EXPECT_EQ(served, 0);
    EXPECT_EQ(device.Stats().badHeaderSums, 1u);
}

TEST_F(EngineTest, DamagedArgumentsAreAskedForAgainAndNotCarriedOut)
{
    Bytes request = RequestFrames(7, {1, 2});
    request[10] ^= 0x80;
    device.Feed(request);
    EXPECT_EQ(Answer(), kSendAgainReply);
    EXPECT_EQ(served, 0);
    EXPECT_EQ(device.Stats().badArgumentSums, 1u);
    EXPECT_FALSE(device.Frames().at(1).intact);
}

TEST_F(EngineTest, ResentRequestAfterADamagedOneIsServed)
{
    Bytes damaged = RequestFrames(7, {5});
    damaged[5] ^= 0x01;
    device.Feed(damaged);
    device.Feed(RequestFrames(7, {5}));
    EXPECT_EQ(served, 1);
    EXPECT_EQ(device.Calls().size(), 1u);
}

TEST_F(EngineTest, OversizedRequestIsReadThroughAndRefusedWithoutStoringIt)
{
    device.SetMaxArgumentLength(16);
    device.Feed(RequestFrames(7, Bytes(17, 0xAB)));
    const Bytes answer = Answer();
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(answer[4], sim::ReplyCode::kRequestTooLarge);
    EXPECT_EQ(served, 0);
    EXPECT_TRUE(device.Calls().at(0).arguments.empty());
    EXPECT_EQ(device.Calls().at(0).argumentLength, 17);

    device.Feed(RequestFrames(7, Bytes(16, 0xCD)));
    EXPECT_EQ(served, 1) << "the largest accepted request still works";
}

TEST_F(EngineTest, HalfReceivedRequestIsDroppedWhenTheLineFallsQuiet)
{
    const Bytes request = RequestFrames(7, {1, 2, 3, 4});
    device.Feed(request.data(), 11);
    device.LineIdle();
    device.Feed(request);
    EXPECT_EQ(served, 1);
    EXPECT_EQ(device.Stats().abandonedRequests, 1u);
    EXPECT_EQ(device.Calls().at(0).arguments, (Bytes{1, 2, 3, 4}));
}

TEST_F(EngineTest, BytesBetweenRequestsAreSkippedAndRecorded)
{
    Bytes wire = {0x00, 0x78, 0x5A, 0x78};
    const Bytes request = RequestFrames(7, {9});
    wire.insert(wire.end(), request.begin(), request.end());
    device.Feed(wire);
    EXPECT_EQ(served, 1);
    EXPECT_EQ(device.Stats().skippedBytes, 4u);
    ASSERT_FALSE(device.Frames().empty());
    EXPECT_EQ(device.Frames().front().kind, FrameKind::Skipped);
    EXPECT_EQ(device.Frames().front().bytes, (Bytes{0x00, 0x78, 0x5A, 0x78}));
}

TEST_F(EngineTest, UnknownProcedureIsRefusedWithACodeTheHostTreatsAsFailure)
{
    device.Feed(RequestFrames(5, {}));
    const Bytes answer = Answer();
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_NE(answer[4], sim::ReplyCode::kReplyFollows);
    EXPECT_NE(answer[4], sim::ReplyCode::kSendAgain);
}

TEST_F(EngineTest, FaultsApplyToTheNextRepliesInOrder)
{
    device.InjectFault(Fault::AskAgain());
    device.InjectFault(Fault::Dropped());
    device.Feed(RequestFrames(7, {1}));
    EXPECT_EQ(Answer(), kSendAgainReply);
    device.Feed(RequestFrames(7, {1}));
    EXPECT_TRUE(Answer().empty());
    EXPECT_EQ(served, 1) << "a dropped reply's request was still carried out";
    device.Feed(RequestFrames(7, {1}));
    EXPECT_FALSE(Answer().empty());
}

TEST_F(EngineTest, LateReplyIsMarkedForDeliveryAfterATimeout)
{
    device.InjectFault(Fault::Late());
    device.Feed(RequestFrames(7, {1}));
    sim::OutputChunk chunk;
    ASSERT_TRUE(device.TakeOutput(chunk));
    EXPECT_EQ(chunk.delay, Fault::kDefaultLateness);
}

TEST_F(EngineTest, FaultIsKeptForTheNextReplyWhenTheDeviceIgnoresARequest)
{
    device.SetHandler(12, [](const Bytes&) { return Outcome::Ignore(); });
    device.InjectFault(Fault::DamagedHeaderSum());
    device.Feed(RequestFrames(12, {}));
    EXPECT_TRUE(Answer().empty());
    EXPECT_EQ(device.PendingFaults(), 1u);
    device.Feed(RequestFrames(7, {}));
    const Bytes answer = Answer();
    ASSERT_EQ(answer.size(), 11u);
    EXPECT_NE(answer[7], 0xFF) << "the damaged checksum went to the first reply sent";
}

TEST_F(EngineTest, RecordsShowBothDirectionsFrameByFrame)
{
    device.Feed(RequestFrames(7, {0x42}));
    const auto& frames = device.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].kind, FrameKind::RequestHeader);
    EXPECT_EQ(frames[1].kind, FrameKind::RequestArguments);
    EXPECT_EQ(frames[1].bytes, (Bytes{0x42, 0x42, 0x00}));
    EXPECT_EQ(frames[2].kind, FrameKind::ReplyHeader);
    EXPECT_EQ(frames[3].kind, FrameKind::ReplyData);
    EXPECT_EQ(frames[3].direction, sim::Direction::DeviceToHost);
    const sim::CallRecord& call = device.Calls().at(0);
    EXPECT_TRUE(call.carriedOut);
    EXPECT_TRUE(call.answered);
    EXPECT_EQ(call.reply, (Bytes{0x42}));
}

} // namespace

namespace {

// A simulator serving upload after upload keeps only a bounded tail.
TEST(RecordBounds, OldestRecordsGoFirstOnceTheBytesBoundIsPassed)
{
    sim::BoundedLog<Bytes> log(100, 10);
    const auto size = [](const Bytes& entry) { return entry.size(); };
    log.Add(Bytes(4, 1), size);
    log.Add(Bytes(4, 2), size);
    log.Add(Bytes(4, 3), size);
    ASSERT_EQ(log.Entries().size(), 2u);
    EXPECT_EQ(log.Entries().front(), Bytes(4, 2));
    log.Add(Bytes(50, 4), size);
    ASSERT_EQ(log.Entries().size(), 1u) << "an entry larger than the bound is still kept, alone";
    EXPECT_EQ(log.Entries().front(), Bytes(50, 4));
}

TEST(RecordBounds, OldestRecordsGoFirstOnceTheCountBoundIsPassed)
{
    sim::BoundedLog<int> log(3, 1000);
    for (int i = 0; i < 10; ++i)
        log.Add(i, [](int) { return 0u; });
    EXPECT_EQ(log.Entries(), (std::deque<int>{7, 8, 9}));
}

} // namespace
