// The RPC link against the simulated device: what goes over the wire, how
// damaged, late and refused replies are handled, and what the caller gets.
#include <gtest/gtest.h>

#include "linkfixture.h"
#include "serial/serialstreamerror.h"
#include "sim/fault.h"

namespace linktest {
namespace {

using sim::Fault;

const Bytes kBufferSizeRequest = {0x78, 0x5A, 0x3C, 0x1E, 0x06, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00};
const Bytes kBufferSizeReply = {0x78, 0x5A, 0x3C, 0x1E, 0xFF, 0x04, 0x00, 0x03, 0x01,
                                0x00, 0x08, 0x00, 0x00, 0x08, 0x00};

// --- The exchange on the wire ------------------------------------------------

TEST_F(LinkTest, BufferSizeQueryMatchesTheWireFormatBothWays)
{
    ASSERT_EQ(link.Call(kBufferSize, message), CRpc::Ok);
    uint32_t size = 0;
    ASSERT_EQ(message.GetU32(size), 0);
    EXPECT_EQ(size, 2048u);
    EXPECT_EQ(channel.HostToDevice(), kBufferSizeRequest);
    EXPECT_EQ(channel.DeviceToHost(), kBufferSizeReply);
}

TEST_F(LinkTest, ArgumentsTravelBehindTheHeaderWithTheirOwnSum)
{
    message.PutU32(0x08020000);
    ASSERT_EQ(link.Call(kNothing, message), CRpc::Ok);
    const Bytes expected = {0x78, 0x5A, 0x3C, 0x1E, kNothing, 0x04, 0x00, kNothing + 4, 0x00,
                            0x00, 0x00, 0x02, 0x08, 0x0A, 0x00};
    EXPECT_EQ(channel.HostToDevice(), expected);
    ASSERT_EQ(RequestsHeard(), 1u);
    EXPECT_EQ(device.Calls()[0].arguments, (Bytes{0x00, 0x00, 0x02, 0x08}));
}

TEST_F(LinkTest, ReplyLandsBehindTheArgumentsAndReadingStartsAtIt)
{
    message.PutU16(0x0201);
    ASSERT_EQ(link.Call(kEcho, message), CRpc::Ok);
    EXPECT_EQ(message.Length(), 2 + 3);
    EXPECT_EQ(Unread(message), (Bytes{0x01, 0x02, 1}));
}

TEST_F(LinkTest, ReplyWithoutDataSucceedsAndLeavesNothingToRead)
{
    message.PutU8(9);
    ASSERT_EQ(link.Call(kNothing, message), CRpc::Ok);
    const Bytes& wire = channel.DeviceToHost();
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), (Bytes{0x00, 0x00}))
        << "an empty data frame is its checksum alone";
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(message.GetU8(u8), -1);
    EXPECT_EQ(message.GetU16(u16), -1);
    EXPECT_EQ(message.GetU32(u32), -1);
}

TEST_F(LinkTest, LargestPossibleReplyArrivesWhole)
{
    const Bytes big(CRpcMessage::kMaxLength, 0xA5);
    device.SetHandler(30, [&](const Bytes&) { return sim::Outcome::Reply(big); });
    ASSERT_EQ(link.Call(30, message), CRpc::Ok);
    EXPECT_EQ(message.Length(), CRpcMessage::kMaxLength);
    EXPECT_EQ(Unread(message), big);
}

// --- Noise before the reply --------------------------------------------------

TEST_F(LinkTest, FalseStartBeforeTheSyncWordIsSkipped)
{
    device.InjectFault(Fault::Noise({0x00, 0x78, 0x5A}));
    ASSERT_EQ(link.Call(kBufferSize, message), CRpc::Ok);
    const Bytes& wire = channel.DeviceToHost();
    ASSERT_GE(wire.size(), 7u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 7),
              (Bytes{0x00, 0x78, 0x5A, 0x78, 0x5A, 0x3C, 0x1E}));
    EXPECT_EQ(RequestsHeard(), 1u) << "the noise must not cost an attempt";
    uint32_t size = 0;
    message.GetU32(size);
    EXPECT_EQ(size, 2048u);
}

TEST_F(LinkTest, EveryByteValueAsNoiseIsSkipped)
{
    Bytes noise;
    for (int value = 0; value < 256; ++value)
        noise.push_back(static_cast<uint8_t>(value));
    device.InjectFault(Fault::Noise(noise));
    EXPECT_EQ(EchoTag(7), 7);
    EXPECT_EQ(RequestsHeard(), 1u);
}

TEST_F(LinkTest, WholeSyncWordInTheNoiseCostsOneAttemptNotTheCall)
{
    device.InjectFault(Fault::Noise({0x78, 0x5A, 0x3C, 0x1E, 0x00}));
    EXPECT_EQ(EchoTag(7), 7);
    EXPECT_EQ(RequestsHeard(), 2u);
}

// --- Damaged replies -----------------------------------------------------------

TEST_F(LinkTest, DamagedHeaderIsAskedForAgainUntilItArrivesIntact)
{
    device.InjectFault(Fault::DamagedHeaderSum(), kLinkRetries - 1);
    EXPECT_EQ(EchoTag(5), 5);
    EXPECT_EQ(RequestsHeard(), kLinkRetries);
}

TEST_F(LinkTest, HeaderDamagedOnEveryAttemptEndsWithChecksumMismatch)
{
    device.InjectFault(Fault::DamagedHeaderSum(), kLinkRetries);
    int result = 0;
    EchoTag(5, &result);
    EXPECT_EQ(result, CRpc::ChecksumMismatch);
    EXPECT_EQ(RequestsHeard(), kLinkRetries);
    EXPECT_EQ(device.PendingFaults(), 0u);
}

TEST_F(LinkTest, DamagedDataIsAskedForAgainUntilItArrivesIntact)
{
    device.InjectFault(Fault::DamagedDataSum(), kLinkRetries - 1);
    EXPECT_EQ(EchoTag(5), 5);
    EXPECT_EQ(RequestsHeard(), kLinkRetries);
}

TEST_F(LinkTest, DataDamagedOnEveryAttemptEndsWithChecksumMismatch)
{
    device.InjectFault(Fault::DamagedDataSum(), kLinkRetries);
    int result = 0;
    EchoTag(5, &result);
    EXPECT_EQ(result, CRpc::ChecksumMismatch);
    EXPECT_EQ(RequestsHeard(), kLinkRetries);
}

TEST_F(LinkTest, DamagedAttemptLeavesNoBytesBehindTheArguments)
{
    device.InjectFault(Fault::DamagedDataSum());
    message.PutU32(0xC001F00D);
    ASSERT_EQ(link.Call(kEcho, message), CRpc::Ok);
    EXPECT_EQ(message.Length(), 4 + 5) << "the damaged reply's bytes must be gone";
    EXPECT_EQ(Unread(message), (Bytes{0x0D, 0xF0, 0x01, 0xC0, 2}))
        << "the reply read must be the one to the resend";
}

TEST_F(LinkTest, FailureOfTheLastAttemptIsTheOneReported)
{
    device.InjectFault(Fault::DamagedHeaderSum(), kLinkRetries - 1);
    device.InjectFault(Fault::Silent());
    int result = 0;
    EchoTag(1, &result);
    EXPECT_EQ(result, CRpc::TimedOut);

    device.InjectFault(Fault::Silent(), kLinkRetries - 1);
    device.InjectFault(Fault::DamagedDataSum());
    EchoTag(2, &result);
    EXPECT_EQ(result, CRpc::ChecksumMismatch);
}

// --- A silent device -------------------------------------------------------------

TEST_F(LinkTest, SilentDeviceTimesOutAfterExactlyRetriesFullRequests)
{
    device.SetSilent(true);
    message.PutU16(0x1234);
    EXPECT_EQ(link.Call(kEcho, message), CRpc::TimedOut);
    EXPECT_EQ(link.LinkStats().timedOut, kLinkRetries);
    ASSERT_EQ(RequestsHeard(), kLinkRetries);
    for (const sim::CallRecord& call : device.Calls())
        EXPECT_EQ(call.arguments, (Bytes{0x34, 0x12})) << "each attempt resends the request whole";

    const Bytes request = {0x78, 0x5A, 0x3C, 0x1E, kEcho, 0x02, 0x00, kEcho + 2, 0x00,
                           0x34, 0x12, 0x46, 0x00};
    Bytes fourTimes;
    for (int i = 0; i < kLinkRetries; ++i)
        fourTimes.insert(fourTimes.end(), request.begin(), request.end());
    EXPECT_EQ(channel.HostToDevice(), fourTimes);
}

TEST_F(LinkTest, DeviceThatAnswersAgainIsHeardOnTheNextCall)
{
    device.SetSilent(true);
    EXPECT_EQ(EchoTag(1), -1);
    device.SetSilent(false);
    EXPECT_EQ(EchoTag(2), 2);
}

TEST_F(LinkTest, RetryCountZeroStillMakesOneAttempt)
{
    CRpc once(&channel, 0);
    device.SetSilent(true);
    EXPECT_EQ(once.Call(kEcho, message), CRpc::TimedOut);
    EXPECT_EQ(RequestsHeard(), 1u);
    EXPECT_EQ(once.LinkStats().timedOut, 1u);
}

TEST_F(LinkTest, RetryCountOneGivesUpAfterTheFirstDamagedReply)
{
    CRpc once(&channel, 1);
    device.InjectFault(Fault::DamagedHeaderSum());
    EXPECT_EQ(once.Call(kEcho, message), CRpc::ChecksumMismatch);
    EXPECT_EQ(RequestsHeard(), 1u);
}

// --- Reply codes -------------------------------------------------------------------

TEST_F(LinkTest, SendAgainRepeatsTheRequestWithoutUsingAnAttempt)
{
    CRpc once(&channel, 1);
    device.InjectFault(Fault::AskAgain(), 3);
    message.PutU8(8);
    ASSERT_EQ(once.Call(kEcho, message), CRpc::Ok);
    EXPECT_EQ(RequestsHeard(), 4u);
    EXPECT_EQ(Unread(message), (Bytes{8, 1})) << "only the last request was carried out";
}

TEST_F(LinkTest, SendAgainBetweenDamagedRepliesDoesNotCount)
{
    device.InjectFault(Fault::DamagedHeaderSum());
    device.InjectFault(Fault::AskAgain());
    device.InjectFault(Fault::DamagedDataSum(), 2);
    device.InjectFault(Fault::AskAgain(), 2);
    EXPECT_EQ(EchoTag(3), 3);
    EXPECT_EQ(RequestsHeard(), 7u);
}

TEST_F(LinkTest, UnknownReplyCodeEndsTheCallAtOnce)
{
    for (uint8_t code : {0x00, 0x01, 0x7F, 0xFD}) {
        device.ClearRecords();
        device.InjectFault(Fault::UnknownCode(code));
        int result = 0;
        EchoTag(1, &result);
        EXPECT_EQ(result, CRpc::BadReplyCode) << "code " << int(code);
        EXPECT_EQ(RequestsHeard(), 1u) << "code " << int(code);
    }
}

TEST_F(LinkTest, ProcedureTheDeviceDoesNotKnowFails)
{
    EXPECT_EQ(link.Call(99, message), CRpc::BadReplyCode);
    EXPECT_EQ(RequestsHeard(), 1u);
}

// --- The channel's failures -------------------------------------------------------

TEST_F(LinkTest, PulledCableReachesTheCallerUntouched)
{
    channel.PullCable();
    try {
        link.Call(kEcho, message);
        FAIL() << "a pulled cable must not end as a result";
    } catch (const SerialStreamError& error) {
        EXPECT_EQ(error.code, SerialStreamError::SystemError);
    }
    EXPECT_EQ(RequestsHeard(), 0u);
}

TEST_F(LinkTest, CablePulledHalfwayThroughTheRequestThrows)
{
    channel.PullCableAfter(6);
    EXPECT_THROW(link.Call(kEcho, message), SerialStreamError);
    EXPECT_EQ(channel.HostToDevice().size(), 6u);
    EXPECT_EQ(RequestsHeard(), 0u);
}

TEST_F(LinkTest, CablePulledWhileTheReplyIsAwaitedThrows)
{
    message.PutU8(1);
    channel.PullCableAfter(kBufferSizeRequest.size() + 1);
    EXPECT_THROW(link.Call(kEcho, message), SerialStreamError);
    EXPECT_EQ(RequestsHeard(), 1u) << "the device got the whole request before the cable went";
}

// --- A line that damages requests ----------------------------------------------------

TEST_F(LinkTest, RequestsDamagedOnTheWayAreAskedForAgainAndArriveIntact)
{
    channel.SetNoiseToDevice(sim::LineNoise({0.02, 0.0}, 1234));
    CRpcMessage echo(256);
    for (int tag = 0; tag < 200; ++tag) {
        echo.Reset();
        echo.PutU32(static_cast<uint32_t>(tag) * 0x01010101u);
        ASSERT_EQ(link.Call(kEcho, echo), CRpc::Ok) << "call " << tag;
        uint32_t answered = 0;
        echo.GetU32(answered);
        EXPECT_EQ(answered, static_cast<uint32_t>(tag) * 0x01010101u);
    }
    EXPECT_GT(channel.NoiseToDevice().CorruptedBytes(), 0u);
    EXPECT_GT(device.Stats().badHeaderSums + device.Stats().badArgumentSums, 0u);
}

} // namespace
} // namespace linktest
