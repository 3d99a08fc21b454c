// The upload session every front end runs, against the simulated cartridge
// on the in-process line's simulated clock: a cancel takes effect within
// half a second wherever the upload waits, a cartridge that dies during a
// commit never freezes the front end, and the wait for a cartridge that
// boots ends on its first answer.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "flash/uploadsession.h"
#include "sim/procedures.h"
#include "tests/support/bitfile.h"
#include "tests/flash/cartridgeline.h"

namespace flashtest {
namespace {

using namespace std::chrono_literals;
using Time = IComm::Time;
using Outcome = CUploadSession::Outcome;
using Kind = CUploadSession::Kind;
namespace Procedure = sim::Procedure;

// The watcher's interval, give or take the millisecond a slice is rounded to.
constexpr Time kLongestUnwatched = std::chrono::milliseconds(CRpc::kWhileWaitingIntervalMs) + 2ms;

// A front end that watches the clock: when the keep-alive ran, when the
// upload ended, and a click on Cancel at a chosen moment.
class WatchingFrontEnd : public CUploadSession::IFrontEnd
{
public:
    WatchingFrontEnd(CartridgeLine& line, std::string path) : line(line), path(std::move(path)) {}

    void WaitingForDevice() override { waitingAt = line.channel.Now(); }
    void WhileWaiting() override
    {
        const Time now = line.channel.Now();
        if (!aliveAt.empty())
            longestGap = std::max(longestGap, now - aliveAt.back());
        aliveAt.push_back(now);
        if (clickWhen && clickedAt == Time::max() && clickWhen(now)) {
            clickedAt = now;
            line.host.Cancel();
        }
        // A user clicks again at last when the first click did nothing.
        if (clickedAt != Time::max() && now - clickedAt > 60s)
            line.host.Cancel();
    }
    std::string PathToTransfer() override { return path; }
    void UploadEnded(const CUploadSession::Result& result) override
    {
        ended = result.outcome;
        failure = result.failure;
        endedAt = line.channel.Now();
        finishesBefore = line.cartridge.CallsOf(Procedure::kFinishUpload).size();
    }

    // Clicks Cancel at the first keep-alive for which `when(now)` holds.
    std::function<bool(Time)> clickWhen;
    Time waitingAt{0};
    Time clickedAt = Time::max();
    Time endedAt{0};
    Time longestGap{0};
    std::vector<Time> aliveAt;
    Outcome ended = Outcome::Failed;
    UploadFailure failure;
    size_t finishesBefore = 0;

private:
    CartridgeLine& line;
    std::string path;
};

// Every session here runs against each reply style.
class UploadSession : public styletest::StyledTest
{
};

// --- Cancel within half a second -----------------------------------------------------

TEST_P(UploadSession, CancelWhileACommitHangsEndsTheUploadWithinHalfASecond)
{
    const Bytes firmware = Pattern(10000);
    for (const uint8_t dies : {Procedure::kOpenRange, Procedure::kEraseRange,
                               Procedure::kProgramRange}) {
        SCOPED_TRACE(static_cast<int>(dies));
        TempFile file(firmware);
        CartridgeLine line(Style());
        line.cartridge.FallSilentAt(dies);
        Time silentAt = Time::max();
        line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
            if (call.procedure == dies && silentAt == Time::max())
                silentAt = line.channel.Now();
        });
        WatchingFrontEnd user(line, file.Path());
        // A second after the cartridge went quiet, the user has seen enough.
        user.clickWhen = [&](Time now) { return silentAt != Time::max() && now >= silentAt + 1s; };

        EXPECT_EQ(CUploadSession(line.host, user).Run(Kind::Firmware), Outcome::CancelledTransfer);
        ASSERT_NE(user.clickedAt, Time::max());
        EXPECT_LE(user.endedAt - user.clickedAt, 500ms) << "the error shows within half a second";
        EXPECT_LE(line.channel.Now() - user.endedAt,
                  std::chrono::milliseconds(CRpc::kStoppingWaitMs) + 1ms)
            << "and FinishUpload, still sent, waits no longer than a stopping call may";
        EXPECT_EQ(user.finishesBefore, 0u) << "the outcome shows before the cartridge is told";
        EXPECT_EQ(line.cartridge.CallsOf(Procedure::kFinishUpload).size(), 1u);
        EXPECT_LE(user.longestGap, kLongestUnwatched);
    }
}

TEST_P(UploadSession, CancelDuringAChunkEndsOnTheErrorPathAtOnce)
{
    TempFile file(Pattern(20000));
    CartridgeLine line(Style());
    WatchingFrontEnd user(line, file.Path());
    // While the first chunk crosses the line (half a second at 38,400 baud).
    user.clickWhen = [&](Time) { return !line.cartridge.CallsOf(Procedure::kLoadBuffer).empty(); };

    EXPECT_EQ(CUploadSession(line.host, user).Run(Kind::Firmware), Outcome::CancelledTransfer);
    EXPECT_LE(user.endedAt - user.clickedAt, 500ms);
    EXPECT_EQ(line.cartridge.CallsOf(Procedure::kLoadBuffer).size(), 1u)
        << "no chunk goes out after the click";
    EXPECT_TRUE(line.cartridge.CallsOf(Procedure::kProgramRange).empty());
    EXPECT_EQ(line.Texts().back(), "Error\n");
    EXPECT_EQ(line.cartridge.CallsOf(Procedure::kFinishUpload).size(), 1u);
}

// --- A cartridge that dies during a commit, and no cancel ---------------------------------

TEST_P(UploadSession, CartridgeThatDiesDuringACommitNeverFreezesTheFrontEnd)
{
    TempFile bit(bitfile::File({}), ".bit");
    CartridgeLine line(Style());
    line.cartridge.FallSilentAt(Procedure::kEraseRange);
    Time silentAt = Time::max();
    line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
        if (call.procedure == Procedure::kEraseRange && silentAt == Time::max())
            silentAt = line.channel.Now();
    });
    WatchingFrontEnd user(line, bit.Path());

    EXPECT_EQ(CUploadSession(line.host, user).Run(Kind::Bitstream), Outcome::Failed);
    EXPECT_LE(user.longestGap, kLongestUnwatched)
        << "the window is looked after throughout";
    // The commit's four attempts at its long time-out, one time-out more
    // for the answers they may still bring, then the four closing calls'
    // own attempts: no longer than before the waits were bounded (57 s).
    EXPECT_LE(user.endedAt - silentAt, 4 * 10100ms + 1100ms + 4 * 4100ms);
}

// A cartridge switched off during an upload and on again: its buffer is
// empty and it is silent until a handshake finds it booted. The upload
// fails, says the cartridge stopped answering, and the next one (a new host
// on the same line, as the dialog makes for each upload) succeeds.
TEST_P(UploadSession, CartridgeThatRestartsMidUploadFailsWithinABoundAndTheNextUploadSucceeds)
{
    const Bytes firmware = Pattern(16384, 3);
    TempFile file(firmware);
    CartridgeLine line(Style());
    Time restartedAt = Time::max();
    line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
        if (call.procedure == Procedure::kOpenRange && restartedAt == Time::max() &&
            line.cartridge.CallsOf(Procedure::kOpenRange).size() == 1) {
            restartedAt = line.channel.Now();
            line.cartridge.BootAfterHandshakes(1);
            line.cartridge.Reset();
        }
    });
    WatchingFrontEnd user(line, file.Path());
    EXPECT_EQ(CUploadSession(line.host, user).Run(Kind::Firmware), Outcome::Failed);
    EXPECT_EQ(user.failure.what, UploadFailure::What::NoAnswer);
    // The commit's call at its long time-out, one time-out more for its
    // answers, then one attempt for each closing call to a cartridge taken
    // for gone.
    EXPECT_LE(user.endedAt - restartedAt, 4 * 10100ms + 1100ms + 3 * 1100ms);
    EXPECT_FALSE(line.cartridge.Flash().Holds(0, firmware));

    line.cartridge.SetCallObserver({});
    CFlashXferHost next(&line.channel, CUploadSession::kHostAttempts);
    WatchingFrontEnd again(line, file.Path());
    EXPECT_EQ(CUploadSession(next, again).Run(Kind::Firmware), Outcome::Succeeded);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, firmware));
}

// --- The wait for the cartridge ------------------------------------------------

TEST_P(UploadSession, CancelWhileFirmwareWaitsEndsTheWaitAtOnce)
{
    TempFile file(Pattern(1000));
    CartridgeLine line(Style());
    line.cartridge.BootAfterHandshakes(1000000);
    WatchingFrontEnd user(line, file.Path());
    // While the first firmware handshake of a cycle waits (the bitstream
    // one takes the first 0.8 s): the one it cuts is the last.
    user.clickWhen = [&](Time now) { return now - user.waitingAt >= 1s; };

    EXPECT_EQ(CUploadSession(line.host, user).Run(Kind::Firmware), Outcome::CancelledWaiting);
    EXPECT_LE(user.endedAt - user.clickedAt, 500ms);
    EXPECT_TRUE(line.cartridge.CallsOf(Procedure::kFinishUpload).empty());
}

TEST_P(UploadSession, CartridgeThatBootsIsHeardAtItsFirstAnswer)
{
    TempFile file(Pattern(3000));
    CartridgeLine line(Style());
    line.cartridge.BootAfterHandshakes(9);
    WatchingFrontEnd user(line, file.Path());
    EXPECT_EQ(CUploadSession(line.host, user).Run(Kind::Firmware), Outcome::Succeeded);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, Pattern(3000)));
    EXPECT_EQ(line.host.LinkStats().lateAnswers, 0u);
}

PLEMO_FOR_EACH_REPLY_STYLE(UploadSession);

} // namespace
} // namespace flashtest
