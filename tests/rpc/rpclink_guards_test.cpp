// What keeps a confused or hostile device from corrupting the host's memory,
// mixing up replies, or holding a call forever.
#include <gtest/gtest.h>

#include "linkfixture.h"
#include "sim/fault.h"

namespace linktest {
namespace {

using sim::Fault;

constexpr uint8_t kHuge = 31; // answers the largest reply a frame can carry

class LinkGuardTest : public LinkTest
{
protected:
    LinkGuardTest()
    {
        device.SetHandler(kHuge, [](const Bytes&) {
            return sim::Outcome::Reply(Bytes(CRpcMessage::kMaxLength, 0xEE));
        });
    }
};

// --- A reply too large for the message -------------------------------------------

TEST_F(LinkGuardTest, ReplyThatWouldPassTheMessageLimitFailsCleanly)
{
    message.PutU8(0x42);
    const uint32_t capacityBefore = message.Capacity();
    EXPECT_EQ(link.Call(kHuge, message), CRpc::MessageTooLarge);
    EXPECT_EQ(message.Length(), 1) << "nothing may be appended";
    EXPECT_EQ(message.Capacity(), capacityBefore) << "the array must not be replaced";
    EXPECT_EQ(message.Data()[0], 0x42);
    EXPECT_EQ(RequestsHeard(), 1u) << "an oversized reply is not worth repeating";
}

TEST_F(LinkGuardTest, CallAfterAnOversizedReplyGetsItsOwnAnswer)
{
    message.PutU32(1);
    ASSERT_EQ(link.Call(kHuge, message), CRpc::MessageTooLarge);
    EXPECT_EQ(EchoTag(9), 9) << "the unread oversized reply must not be taken for the answer";
}

// --- Replies that arrive too late ----------------------------------------------------

TEST_F(LinkGuardTest, ReplyThatComesLateDuringARepeatStillAnswersTheCall)
{
    device.InjectFault(Fault::Late()); // 1.5 s late, at a 500 ms time-out
    message.PutU8(1);
    ASSERT_EQ(link.Call(kEcho, message), CRpc::Ok);
    EXPECT_EQ(RequestsHeard(), 3u) << "two repeats went out before the late answer came";
    EXPECT_EQ(Unread(message), (Bytes{1, 1})) << "the first request's answer, however late";
    EXPECT_EQ(link.Answers().OwedCount(), 2u) << "the repeats' answers are still to come";
}

TEST_F(LinkGuardTest, LaterCallsGetTheirOwnRepliesAfterALateOne)
{
    device.InjectFault(Fault::Late());
    EXPECT_EQ(EchoTag(1), 1);
    EXPECT_EQ(EchoTag(2), 2);
    EXPECT_EQ(EchoTag(3), 3);
    EXPECT_EQ(channel.Waiting(), 0u);
    EXPECT_EQ(link.LinkStats().lateAnswers, 2u);
    EXPECT_EQ(link.LinkStats().lostAnswers, 0u);
}

// The device answers only after the call has given up on all its attempts;
// the answers to the repeats follow right behind, in order. Each of them is
// let pass before the next call sends anything.
TEST_F(LinkGuardTest, AnswersLaterThanTheWholeCallAreNotTakenByTheNextOne)
{
    ASSERT_EQ(EchoTag(1), 1) << "the device has answered before";
    device.InjectFault(Fault::Late(std::chrono::milliseconds(2200)));
    int result = 0;
    EchoTag(2, &result);
    EXPECT_EQ(result, CRpc::TimedOut) << "four attempts of 500 ms";
    EXPECT_EQ(EchoTag(3), 3);
    EXPECT_EQ(link.LinkStats().lateAnswers, kLinkRetries);
}

// A device that has not answered yet may be slow rather than deaf: what it
// was sent is written off, and only a call that knows its answer can tell
// its own from theirs.
TEST_F(LinkGuardTest, ReplyToADroppedCallIsNotTakenByACallThatKnowsItsAnswer)
{
    device.InjectFault(Fault::Dropped(), kLinkRetries);
    int result = 0;
    EchoTag(1, &result);
    EXPECT_EQ(result, CRpc::TimedOut);
    EXPECT_FALSE(link.Answers().InStep());
    device.InjectFault(Fault::Late());
    EXPECT_EQ(EchoTag(2), 2);
    EXPECT_EQ(EchoTag(3, nullptr, true), 3);
    EXPECT_TRUE(link.Answers().InStep());
    EXPECT_EQ(EchoTag(4), 4);
}

// --- Devices that never let go ----------------------------------------------------

TEST_F(LinkGuardTest, SendAgainUpToTheBoundStillSucceeds)
{
    device.InjectFault(Fault::AskAgain(), CRpc::kMaxRequestRepeats);
    EXPECT_EQ(EchoTag(4), 4);
    EXPECT_EQ(RequestsHeard(), CRpc::kMaxRequestRepeats + 1u);
}

TEST_F(LinkGuardTest, EndlessSendAgainEndsTheCallWithAFailure)
{
    device.SetFaultSource([] { return Fault::AskAgain(); });
    int result = 0;
    EchoTag(4, &result);
    EXPECT_LT(result, 0);
    EXPECT_EQ(RequestsHeard(), CRpc::kMaxRequestRepeats + 1u);
}

TEST_F(LinkGuardTest, NoiseUpToTheHuntBoundIsSkipped)
{
    device.InjectFault(Fault::Noise(Bytes(CRpc::kMaxSyncHuntBytes, 0x55)));
    EXPECT_EQ(EchoTag(6), 6);
    EXPECT_EQ(RequestsHeard(), 1u);
}

TEST_F(LinkGuardTest, NoiseBeyondTheHuntBoundCostsTheAttempt)
{
    device.InjectFault(Fault::Noise(Bytes(CRpc::kMaxSyncHuntBytes + 1, 0x55)));
    EXPECT_EQ(EchoTag(6), 6);
    EXPECT_EQ(RequestsHeard(), 2u);
}

TEST_F(LinkGuardTest, EndlessBabbleEndsTheCallWithATimeout)
{
    // More babble before each reply than all the attempts' hunts together.
    device.SetFaultSource([] { return Fault::Noise(Bytes(16 * CRpc::kMaxSyncHuntBytes, 0x78)); });
    int result = 0;
    EchoTag(6, &result);
    EXPECT_EQ(result, CRpc::TimedOut);
    EXPECT_EQ(RequestsHeard(), kLinkRetries);
}

} // namespace
} // namespace linktest
