#include "bench/campaign.h"

#include <algorithm>
#include <exception>

#include "bench/campaignchannel.h"
#include "flash/flashxferhost.h"
#include "serial/serialstreamerror.h"
#include "sim/cartridge.h"

namespace bench {

namespace {

constexpr uint16_t kBootWaitTimeoutMs = 200;
constexpr uint16_t kUploadTimeoutMs = 1000;
constexpr uint32_t kFinishUploadValue = 0x08020000;
constexpr uint32_t kOldFlashSeed = 0x0DDF1A5u;

// Both kinds open with a bitstream handshake; a firmware upload then keeps
// asking with its own mode, as the dialog does.
bool WaitForDevice(CFlashXferHost& host, CampaignChannel& meter, bool bitstream)
{
    host.SetTimeout(kBootWaitTimeoutMs);
    int rc = host.Handshake(CFlashXferHost::kBitstreamMode);
    meter.MarkCancelPoint();
    const int mode = bitstream ? CFlashXferHost::kBitstreamMode : CFlashXferHost::kFirmwareMode;
    for (int attempt = 1; rc < 0 && attempt < kMostHandshakes; ++attempt) {
        rc = host.Handshake(mode);
        meter.MarkCancelPoint();
    }
    return rc >= 0;
}

int Transfer(CFlashXferHost& host, const UploadCase& upload)
{
    host.SetTimeout(kUploadTimeoutMs);
    if (upload.bitstream)
        return host.UploadBitstream(upload.path.c_str());
    return host.UploadFirmware(upload.address, upload.path.c_str(), true);
}

void TellDeviceUploadEnded(CFlashXferHost& host)
{
    try {
        host.FinishUpload(kFinishUploadValue);
    } catch (const SerialStreamError&) {
    }
}

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
                              const UploadCase& upload)
{
    DialogOutcome outcome;
    try {
        if (WaitForDevice(host, meter, upload.bitstream))
            outcome.result = Transfer(host, upload);
        meter.MarkCancelPoint();
        TellDeviceUploadEnded(host);
    } catch (const SerialStreamError&) {
        outcome.serialError = true;
    } catch (...) {
        outcome.crashed = true;
    }
    meter.MarkCancelPoint();
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
    uncancellable = std::max(uncancellable, run.uncancellable);
}

} // namespace bench
