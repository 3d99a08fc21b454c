#include "bench/campaign.h"

#include <algorithm>
#include <exception>

#include "bench/campaignchannel.h"
#include "flash/flashxferhost.h"
#include "flash/uploadsession.h"
#include "serial/serialstreamerror.h"
#include "sim/cartridge.h"

namespace bench {

namespace {

constexpr uint32_t kOldFlashSeed = 0x0DDF1A5u;
// A user who waits this long (on the line's clock) for the cartridge to
// boot, then cancels: about 25 unanswered handshakes.
constexpr double kPatienceSeconds = 20.0;

// The dialog's user, as the campaign plays it: watches, gives up a wait for
// a cartridge that never boots, and clicks Cancel where the plan says.
class CampaignUser : public CUploadSession::IFrontEnd
{
public:
    CampaignUser(CFlashXferHost& host, CampaignChannel& meter, const UploadCase& upload,
                 const UserPlan& plan)
        : host(host), meter(meter), upload(upload), plan(plan)
    {
    }

    void WaitingForDevice() override
    {
        waiting = true;
        waitStarted = meter.LineSeconds();
    }
    void WhileWaiting() override
    {
        meter.MarkCancelPoint();
        const double now = meter.LineSeconds();
        if (waiting && now - waitStarted > kPatienceSeconds)
            host.Cancel();
        if (silentAt < 0.0 && plan.fallenSilent && plan.fallenSilent())
            silentAt = now;
        const bool clickNow =
            (plan.clickAt >= 0.0 && now >= plan.clickAt) ||
            (plan.clickAfterSilence >= 0.0 && silentAt >= 0.0 &&
             now >= silentAt + plan.clickAfterSilence);
        if (clickNow && clickedAt < 0.0) {
            clickedAt = now;
            host.Cancel();
        }
    }
    std::string PathToTransfer() override
    {
        waiting = false;
        return upload.path;
    }
    void UploadEnded(const CUploadSession::Result&) override
    {
        meter.MarkCancelPoint();
        resultAt = meter.LineSeconds();
    }

    // The times the run showed, once it has returned.
    void Report(DialogOutcome& outcome) const
    {
        const double idleAt = meter.LineSeconds();
        if (clickedAt >= 0.0) {
            outcome.cancel.cancelToResult = resultAt - clickedAt;
            outcome.cancel.cancelToIdle = idleAt - clickedAt;
        }
        if (silentAt >= 0.0)
            outcome.cancel.silenceToIdle = idleAt - silentAt;
    }

private:
    CFlashXferHost& host;
    CampaignChannel& meter;
    const UploadCase& upload;
    const UserPlan& plan;
    bool waiting = false;
    double waitStarted = 0.0;
    double silentAt = -1.0;
    double clickedAt = -1.0;
    double resultAt = 0.0;
};

bool OutsideUnchanged(const std::vector<uint8_t>& flash, const UploadCase& upload)
{
    const Bytes& old = OldFlash();
    const size_t begin = upload.address;
    const size_t end = std::min(flash.size(), begin + upload.image.size());
    return std::equal(flash.begin(), flash.begin() + begin, old.begin()) &&
           std::equal(flash.begin() + end, flash.end(), old.begin() + end);
}

bool ImageHeld(const std::vector<uint8_t>& flash, const UploadCase& upload)
{
    return upload.address + upload.image.size() <= flash.size() &&
           std::equal(upload.image.begin(), upload.image.end(), flash.begin() + upload.address);
}

// Every chunk the host staged (2,048 bytes from each block's start; blocks
// start at the image's address) sums to what the right data sums to.
bool SumsUnchanged(const std::vector<uint8_t>& flash, const UploadCase& upload)
{
    constexpr size_t kChunk = 2048;
    for (size_t offset = 0; offset < upload.image.size(); offset += kChunk) {
        const size_t end = std::min(upload.image.size(), offset + kChunk);
        uint16_t held = 0;
        uint16_t expected = 0;
        for (size_t i = offset; i < end; ++i) {
            held = static_cast<uint16_t>(held + flash[upload.address + i]);
            expected = static_cast<uint16_t>(expected + upload.image[i]);
        }
        if (held != expected)
            return false;
    }
    return true;
}

} // namespace

DialogOutcome RunDialogUpload(CFlashXferHost& host, CampaignChannel& meter,
                              const UploadCase& upload, const UserPlan& plan)
{
    DialogOutcome outcome;
    CampaignUser user(host, meter, upload, plan);
    CUploadSession session(host, user);
    try {
        session.Run(upload.bitstream ? CUploadSession::Kind::Bitstream
                                     : CUploadSession::Kind::Firmware);
        outcome.result = session.TransferResult();
        const UploadFailure::What what = session.LastResult().failure.what;
        outcome.serialError = what == UploadFailure::What::LineGone;
        outcome.crashed = what == UploadFailure::What::Defect;
    } catch (...) {
        outcome.crashed = true;
    }
    meter.MarkCancelPoint();
    user.Report(outcome);
    return outcome;
}

const Bytes& OldFlash()
{
    static const Bytes old = Pattern(4u << 20, kOldFlashSeed);
    return old;
}

void LoadOldFlash(sim::Cartridge& cartridge)
{
    cartridge.Flash().Load(OldFlash());
}

RunResult Judge(const DialogOutcome& outcome, const std::vector<uint8_t>& flash,
                const UploadCase& upload)
{
    RunResult run;
    run.cancel = outcome.cancel;
    run.strayWrites = !OutsideUnchanged(flash, upload);
    if (outcome.crashed)
        run.verdict = Verdict::Crashed;
    else if (outcome.serialError || outcome.result < 0)
        run.verdict = Verdict::ReportedFailure;
    else if (ImageHeld(flash, upload))
        run.verdict = Verdict::Succeeded;
    else {
        run.verdict = Verdict::SilentCorruption;
        run.sumsBlind = SumsUnchanged(flash, upload);
    }
    return run;
}

void Tally::Add(const RunResult& run)
{
    ++runs;
    switch (run.verdict) {
    case Verdict::Succeeded: ++succeeded; break;
    case Verdict::ReportedFailure: ++failed; break;
    case Verdict::SilentCorruption: ++silent; break;
    case Verdict::Crashed: ++crashed; break;
    }
    if (run.strayWrites)
        ++stray;
    if (run.sumsBlind)
        ++blind;
    longest = std::max(longest, run.seconds);
    if (run.verdict == Verdict::Succeeded && run.bytesRatio > 0.0) {
        ++measured;
        bytesRatios += run.bytesRatio;
        timeRatios += run.timeRatio;
    }
    uncancellable = std::max(uncancellable, run.uncancellable);
    cancel.KeepLongest(run.cancel);
}

void CancelTimings::KeepLongest(const CancelTimings& run)
{
    cancelToResult = std::max(cancelToResult, run.cancelToResult);
    cancelToIdle = std::max(cancelToIdle, run.cancelToIdle);
    silenceToIdle = std::max(silenceToIdle, run.silenceToIdle);
}

} // namespace bench
