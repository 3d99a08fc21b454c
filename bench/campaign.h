#pragma once
// The fault campaign's pieces: the upload a user starts from the dialog,
// run against a simulated cartridge, and the verdict on what it left in the
// flash.
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/benchfiles.h"

class CFlashXferHost;

namespace sim {
class Cartridge;
class InProcessChannel;
} // namespace sim

namespace bench {

class CampaignChannel;

// How long a run took to give the user back the dialog, in seconds: from a
// click on Cancel to the result on the status line, and to the dialog idle
// again (FinishUpload sent); from the cartridge falling silent to the
// dialog idle. -1: no click, or no silence. A table row keeps the longest.
struct CancelTimings
{
    double cancelToResult = -1.0;
    double cancelToIdle = -1.0;
    double silenceToIdle = -1.0;

    void KeepLongest(const CancelTimings& run);
};

// How one upload ended, as the user would see it and as the flash holds it.
enum class Verdict
{
    Succeeded,         // reported success, the flash holds the image
    ReportedFailure,   // a negative result or a serial error: the user is told
    SilentCorruption,  // reported success over a wrong image
    Crashed,           // any other exception left the host
};

struct RunResult
{
    Verdict verdict = Verdict::ReportedFailure;
    bool strayWrites = false;   // flash outside the image changed
    // A silent corruption whose every 2,048-byte chunk still has the byte
    // sum of the right data: the protocol's 16-bit sums cannot see it.
    bool sumsBlind = false;
    double seconds = 0.0;       // line time (in process) or wall time (pty)
    // Against a clean line's upload of the same file (in process; 0 over a pty).
    double bytesRatio = 0.0;    // bytes the host sent
    double timeRatio = 0.0;     // line time
    double uncancellable = 0.0; // longest stretch without a cancel point
    CancelTimings cancel;
};

// What the campaign's user does besides waiting: a click on Cancel at a
// moment of the run (seconds on the line's clock since it began), or a
// while after the cartridge fell silent. Negative: never.
struct UserPlan
{
    double clickAt = -1.0;
    double clickAfterSilence = -1.0;
    // Whether the cartridge has fallen silent (asked at every keep-alive).
    std::function<bool()> fallenSilent;
};

// The dialog's own upload session (flash/uploadsession.h), with a user who
// waits some 20 s of line time for the cartridge to boot and then cancels.
// A serial error ends it as the dialog ends it: a failure. `result` is the
// upload's result, or a negative value when it did not get that far.
struct DialogOutcome
{
    int result = -1;
    bool serialError = false;
    bool crashed = false;
    CancelTimings cancel;
};
DialogOutcome RunDialogUpload(CFlashXferHost& host, CampaignChannel& meter,
                              const UploadCase& upload, const UserPlan& plan = {});

// What a cartridge holds before each run: old content everywhere, so that a
// block the upload never wrote shows.
const Bytes& OldFlash();
void LoadOldFlash(sim::Cartridge& cartridge);
// The verdict from the upload's outcome and the flash it left.
RunResult Judge(const DialogOutcome& outcome, const std::vector<uint8_t>& flash,
                const UploadCase& upload);

// Everything a fault kind may arm on a fresh in-process run.
struct RunSetup
{
    sim::Cartridge& cartridge;
    sim::InProcessChannel& channel;
    CampaignChannel& meter;
    std::mt19937& random;
    uint64_t cleanWrites;      // host writes of a fault-free run of the same upload
    uint64_t cleanBytesOut;    // bytes the host sends in that run
    double cleanSeconds;       // the line time of that run
    UserPlan& user;
};

// One row of the table.
struct Tally
{
    int runs = 0;
    int succeeded = 0;
    int failed = 0;
    int silent = 0;
    int crashed = 0;
    int stray = 0;
    int blind = 0;
    double longest = 0.0;
    double uncancellable = 0.0;
    CancelTimings cancel;
    // Sums over the successful runs that were measured against a clean line.
    int measured = 0;
    double bytesRatios = 0.0;
    double timeRatios = 0.0;

    void Add(const RunResult& run);
};

} // namespace bench
