#pragma once
// What plemo-flash says when an upload is over: one summary line (result,
// bytes, time, speed against the line's ceiling, and the line's health), a
// line on what went wrong and what to try (a port that did not open
// included), and the exit status.
#include <cstdint>
#include <string>

#include "flash/uploadsession.h"

namespace plemoflash {

struct UploadReport
{
    CUploadSession::Result result; // the session's account of the upload
    bool waitRanOut = false;       // the stop that came was --wait's
    double waitSeconds = 0.0;      // for the cartridge to answer
    double transferSeconds = 0.0;  // from its answer to the end of the transfer
    double waitLimitSeconds = 0.0;
    double lineBytesPerSecond = 0.0; // the port's nominal speed
    std::string port;                // the port's name, for the failure line
};

// The line's health over the whole upload: all the link met, less what a
// cartridge still booting made of the polls (those it ignored, and the
// answers written off for them).
CRpc::Stats LineHealthOf(const CUploadSession::Result& result);
std::string SummaryLine(const UploadReport& report);
// Empty after a success. A port that did not open has this line only.
std::string FailureLine(const UploadReport& report);
int ExitStatusOf(const UploadReport& report);

} // namespace plemoflash
