#pragma once
// What plemo-flash says when an upload is over: one summary line (result,
// bytes, time, speed against the line's ceiling, and the line's health), a
// line on what went wrong and what to try, and the exit status.
#include <cstdint>
#include <string>

#include "flash/uploadsession.h"
#include "rpc/rpc.h"

namespace plemoflash {

struct UploadReport
{
    enum class Stop
    {
        None,
        Interrupted, // Ctrl-C
        WaitRanOut,  // --wait
    };

    CUploadSession::Outcome outcome = CUploadSession::Outcome::Failed;
    Stop stop = Stop::None;
    bool lineFailed = false;
    bool endedByDefect = false;
    int64_t bytesSent = 0;    // repeats included
    int64_t transferSize = 0; // what the upload writes
    double waitSeconds = 0.0;     // for the cartridge to answer
    double transferSeconds = 0.0; // from its answer to the end of the transfer
    double waitLimitSeconds = 0.0;
    double lineBytesPerSecond = 0.0; // the line's ceiling
    CRpc::Stats link;                // the line's own faults (LineFaults)
    std::string port;                // the port's name, for the failure line
};

// What the link met (`total`), less what a cartridge still booting made of
// the polls of the wait: the attempts that timed out and the answers
// written off as lost before the transfer began (`beforeAnswer`, the link's
// counts at that moment), and the polls it ignored that the link still
// counts as owed then and writes off later (`owedAtAnswer`). None of them
// is a fault of the line.
CRpc::Stats LineFaults(const CRpc::Stats& total, const CRpc::Stats& beforeAnswer, uint64_t owedAtAnswer);

std::string SummaryLine(const UploadReport& report);
// Empty after a success.
std::string FailureLine(const UploadReport& report);
int ExitStatusOf(const UploadReport& report);

} // namespace plemoflash
