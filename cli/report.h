#pragma once
// What plemo-flash says when an upload is over: one summary line (result,
// bytes, time, speed against the line's ceiling, and the line's health), a
// line on what went wrong and what to try, and the exit status.
#include <cstdint>
#include <string>

#include "flash/uploadsession.h"

namespace plemoflash {

struct UploadReport
{
    enum class Stop
    {
        None,
        Interrupted, // Ctrl-C
        WaitRanOut,  // --wait
    };

    CUploadSession::Result result; // the session's account of the upload
    Stop stop = Stop::None;
    double waitSeconds = 0.0;     // for the cartridge to answer
    double transferSeconds = 0.0; // from its answer to the end of the transfer
    double waitLimitSeconds = 0.0;
    double lineBytesPerSecond = 0.0; // the port's nominal speed
};

std::string SummaryLine(const UploadReport& report);
// Empty after a success.
std::string FailureLine(const UploadReport& report);
int ExitStatusOf(const UploadReport& report);

} // namespace plemoflash
