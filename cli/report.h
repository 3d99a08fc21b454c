#pragma once
// What plemo-flash says when an upload is over: one summary line (result,
// bytes, time, speed against the line's ceiling, and the line's health), a
// line on what went wrong and what to try (a port that did not open
// included), and the exit status.
#include <cstdint>
#include <string>
#include <vector>

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
// What shows damage on the line: replies that arrived damaged, requests
// the cartridge heard damaged (it asked for them again), bytes that were no
// part of a reply. Replies that came late or not at all may be the
// cartridge's doing (switched off, reset, busy) as much as the cable's.
bool LineDamaged(const CRpc::Stats& link);
// "success", "failure" (a port that did not open included) or "cancelled".
const char* OutcomeWord(CUploadSession::Outcome outcome);
std::string SummaryLine(const UploadReport& report);
// Empty after a success. A port that did not open has this line only.
std::string FailureLine(const UploadReport& report);
int ExitStatusOf(const UploadReport& report);

// The end of a run over several ports: a line a port (port, outcome, bytes
// confirmed, time, and the cause where it did not succeed), headed.
std::vector<std::string> ResultTable(const std::vector<UploadReport>& reports);
// 0 only when every port succeeded; else the status of what matters most
// that a port met: a failed upload (1) before a port that did not open (3)
// before a cancel (4).
int ExitStatusOf(const std::vector<UploadReport>& reports);

} // namespace plemoflash
