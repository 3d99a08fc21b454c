// How long the link waits, on the in-process line's simulated clock
// (38,400 baud, 3,840 bytes a second): a reply's time-out counts from the
// moment its request has left the port, every wait ends within its stated
// bound whatever trickles in, answers owed by earlier calls are waited for
// and never taken by a later one, and the link's owner can keep a window
// alive during a long wait and end it at once.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "linkfixture.h"
#include "sim/fault.h"

namespace linktest {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
using Time = IComm::Time;

class LinkTimeTest : public LinkTest
{
protected:
    // The line time of `bytes` at 38,400 baud.
    Time Line(uint32_t bytes) const { return channel.TransferTime(bytes); }

    // Runs `call` and returns how long it took on the line's clock.
    template <class Call>
    Time Timed(Call&& call)
    {
        const Time start = channel.Now();
        call();
        return channel.Now() - start;
    }

    // Puts one byte of babble on the line every `period` from now on.
    void TrickleNoise(Time period)
    {
        Time next = channel.Now() + period;
        channel.SetClockHook([this, next, period](Time at) mutable {
            for (; next <= at; next += period)
                device.Babble({0x55});
        });
    }
};

// --- The time-out counts from the request's departure -------------------------------

TEST_F(LinkTimeTest, ReplyTimeOutCountsFromTheMomentTheRequestHasLeft)
{
    // A chunk-sized request spends 538 ms on the line; the device then takes
    // 900 ms to answer, within the 1,000 ms it is given.
    link.SetTimeout(1000);
    channel.SetTurnaround(900ms);
    for (int i = 0; i < 2056; ++i)
        message.PutU8(static_cast<uint8_t>(i));
    ASSERT_EQ(link.Call(kNothing, message), CRpc::Ok);
    EXPECT_EQ(RequestsHeard(), 1u) << "answered in time: nothing was sent again";
}

// --- Every wait has a deadline ------------------------------------------------------

TEST_F(LinkTimeTest, ATrickleOfNoiseCannotStretchAnAttempt)
{
    // A byte just before each per-byte time-out would otherwise keep one
    // hunt going for 4,096 bytes (27 minutes at this pace).
    device.SetSilent(true);
    TrickleNoise(400ms);
    const Time took = Timed([&] { EXPECT_EQ(EchoTag(1), -1); });
    // Each attempt: its 500 ms time-out, the line time of its request, the
    // reply header and the few bytes of noise met, and at most one slice.
    const Time attempt = 500ms + Line(12 + 9 + 4) + 50ms;
    EXPECT_LE(took, attempt * kLinkRetries);
    EXPECT_EQ(RequestsHeard(), kLinkRetries);
}

TEST_F(LinkTimeTest, WaitForOwedAnswersEndsWithinOneTimeOutWhateverTrickles)
{
    ASSERT_EQ(EchoTag(1), 1);
    device.InjectFault(Fault::Dropped()); // answers owed that will never come
    ASSERT_EQ(EchoTag(2), 2);
    device.SetSilent(true);
    TrickleNoise(100ms);
    const Time took = Timed([&] { EchoTag(3); });
    EXPECT_LE(took, (500ms + Line(12 + 9 + 8) + 50ms) * (kLinkRetries + 1));
    EXPECT_EQ(link.LinkStats().lostAnswers, 1u);
}

// --- Answers owed by earlier calls ------------------------------------------------

// The late answer to a call's first request comes while its repeat waits,
// and answers the call; the device's answer to the repeat follows right
// behind it and must not be taken by the next call.
TEST_F(LinkTimeTest, AnswerOwedToARepeatedRequestIsNotTakenByTheNextCall)
{
    link.SetTimeout(200);
    device.InjectFault(Fault::Late(300ms));
    ASSERT_EQ(link.Call(kNothing, message), CRpc::Ok);
    EXPECT_EQ(link.Answers().OwedCount(), 1u);

    CRpcMessage size(256);
    ASSERT_EQ(link.Call(kBufferSize, size), CRpc::Ok);
    uint32_t bufferSize = 0;
    EXPECT_EQ(size.GetU32(bufferSize), 0) << "the data-less answer to the repeat was taken";
    EXPECT_EQ(bufferSize, 2048u);
    EXPECT_EQ(link.LinkStats().lateAnswers, 1u);
}

TEST_F(LinkTimeTest, LostReplyCostsOneMoreTimeOutOnce)
{
    ASSERT_EQ(EchoTag(1), 1);
    const Time clean = Timed([&] { EchoTag(2); });
    device.InjectFault(Fault::Dropped());
    ASSERT_EQ(EchoTag(3), 3);
    // The answer the device never sent is waited for once: one time-out
    // from the moment the last answer's header came.
    const Time after = Timed([&] { EXPECT_EQ(EchoTag(4), 4); });
    EXPECT_GE(after, clean + 500ms - Line(4));
    EXPECT_LE(after, clean + 500ms + Line(9) + 50ms);
    EXPECT_EQ(Timed([&] { EchoTag(5); }), clean) << "and never again";
}

// A cartridge that is still booting answers nothing: each poll costs its
// own attempts and no more, however many went before.
TEST_F(LinkTimeTest, PollsOfADeviceThatNeverAnsweredPayNoExtraWait)
{
    link.SetTimeout(200);
    device.SetSilent(true);
    const Time first = Timed([&] { EchoTag(1); });
    EXPECT_EQ(Timed([&] { EchoTag(1); }), first);
    EXPECT_EQ(Timed([&] { EchoTag(1); }), first);
    device.SetSilent(false);
    EXPECT_EQ(EchoTag(4), 4);
}

// The device answers a call only after the call has given up, and the
// answers outlast the wait for them: the link loses count of them. A call
// whose answer is known lets every other answer pass, and puts the count
// back in step, so that the calls after it get their own answers again.
TEST_F(LinkTimeTest, AnswersLaterThanTheirWaitAreNeverTakenForAKnownAnswer)
{
    ASSERT_EQ(EchoTag(1), 1) << "the device has answered before";
    device.InjectFault(Fault::Late(3s));
    CRpcMessage size(256);
    EXPECT_EQ(link.Call(kBufferSize, size), CRpc::TimedOut) << "four attempts of 500 ms";
    EXPECT_TRUE(link.Answers().InStep()) << "nothing written off yet";

    link.SettleOwedAnswers();
    ASSERT_FALSE(link.Answers().InStep()) << "the late answers outlasted the wait for them";
    CRpcMessage echo(256);
    echo.PutU8(7);
    const Bytes known{7, static_cast<uint8_t>(served + 1)};
    ASSERT_EQ(link.CallForKnownAnswer(kEcho, echo, known), CRpc::Ok);
    EXPECT_EQ(Unread(echo), known);
    EXPECT_EQ(link.LinkStats().lateAnswers, kLinkRetries) << "every late answer let pass";
    EXPECT_TRUE(link.Answers().AllAnswered());
    EXPECT_EQ(EchoTag(8), 8);
}

// --- The owner's hooks ------------------------------------------------------------

TEST_F(LinkTimeTest, FrontEndRunsThroughoutALongWaitAndAStopEndsItAtOnce)
{
    link.SetTimeout(10000);
    device.SetSilent(true);
    std::vector<Time> watched;
    link.SetWhileWaiting([&] {
        watched.push_back(channel.Now());
        if (channel.Now() >= 3s)
            link.Stop().Ask();
    });
    const Time took = Timed([&] { EXPECT_EQ(EchoTag(1), -1); });

    EXPECT_LE(took, 3s + 2 * std::chrono::milliseconds(CRpc::kWhileWaitingIntervalMs));
    EXPECT_EQ(RequestsHeard(), 1u) << "a wait given up is not tried again";
    ASSERT_GE(watched.size(), 50u);
    for (size_t i = 1; i < watched.size(); ++i)
        EXPECT_LE(watched[i] - watched[i - 1],
                  std::chrono::milliseconds(CRpc::kWhileWaitingIntervalMs) + 2ms)
            << "a gap without a look at the window";
    EXPECT_EQ(link.LinkStats().givenUp, 1u);
}

TEST_F(LinkTimeTest, CallsAfterAStopWaitNoLongerThanTheStoppingWait)
{
    device.SetSilent(true);
    link.Stop().Ask();
    const Time took = Timed([&] { EchoTag(1); });
    EXPECT_LE(took, std::chrono::milliseconds(CRpc::kStoppingWaitMs) + 1ms);
    EXPECT_EQ(RequestsHeard(), 1u);
    link.Stop().End();
    EXPECT_GT(Timed([&] { EchoTag(2); }), 4 * 500ms) << "once the stop is over, calls wait again";
}

} // namespace
} // namespace linktest
