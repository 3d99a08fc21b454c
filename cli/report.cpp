#include "cli/report.h"

#include <algorithm>
#include <cstdio>

#include "cli/exitstatus.h"
#include "cli/progress.h"

namespace plemoflash {

namespace {

using Outcome = CUploadSession::Outcome;
using Stop = UploadReport::Stop;

std::string Counted(uint64_t count, const char* one, const char* many)
{
    return Grouped(count) + " " + (count == 1 ? one : many);
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// The line's health: what made the link send requests again, and why.
std::string LineHealth(const CRpc::Stats& link)
{
    const uint64_t repeated = link.damagedReplies + link.timedOut + link.askedAgain;
    const bool clean = repeated == 0 && link.skippedBytes == 0 && link.lostAnswers == 0;
    return std::string(clean ? "line clean: " : "line noisy, check the cable: ") +
           Counted(link.requests, "request", "requests") + ", " + Grouped(repeated) +
           " repeated (" + Counted(link.damagedReplies, "damaged reply", "damaged replies") + ", " +
           Counted(link.timedOut, "late reply", "late replies") + ", " + Grouped(link.askedAgain) +
           " asked again by 0xFE), " +
           Counted(link.skippedBytes, "resync byte", "resync bytes") + " skipped, " +
           Counted(link.lostAnswers, "answer", "answers") + " lost";
}

std::string Result(const UploadReport& report)
{
    const std::string sent = Grouped(static_cast<uint64_t>(std::min(report.bytesSent, report.transferSize))) +
                             " of " + Grouped(static_cast<uint64_t>(report.transferSize)) +
                             " bytes sent in " + Seconds(report.transferSeconds);
    switch (report.outcome) {
    case Outcome::Succeeded: {
        const double speed = report.transferSeconds > 0.0
                                 ? static_cast<double>(report.transferSize) / report.transferSeconds
                                 : 0.0;
        const double share =
            report.lineBytesPerSecond > 0.0 ? 100.0 * speed / report.lineBytesPerSecond : 0.0;
        char ceiling[96];
        std::snprintf(ceiling, sizeof ceiling, " B/s of the line's %s B/s (%.0f%%)",
                      Grouped(static_cast<uint64_t>(report.lineBytesPerSecond)).c_str(), share);
        return "upload succeeded: " + Grouped(static_cast<uint64_t>(report.transferSize)) +
               " bytes written in " + Seconds(report.transferSeconds) + ", " +
               Grouped(static_cast<uint64_t>(speed)) + ceiling;
    }
    case Outcome::Cancelled:
        return "upload cancelled: nothing written, the cartridge did not answer in " +
               Seconds(report.waitSeconds);
    case Outcome::Failed:
        break;
    }
    return std::string(report.stop == Stop::None ? "upload failed: " : "upload cancelled: ") + sent;
}

} // namespace

CRpc::Stats LineFaults(const CRpc::Stats& total, const CRpc::Stats& beforeAnswer, uint64_t owedAtAnswer)
{
    const uint64_t unanswered = beforeAnswer.timedOut + beforeAnswer.givenUp;
    CRpc::Stats faults = total;
    faults.requests -= std::min(unanswered, faults.requests);
    faults.timedOut -= std::min(beforeAnswer.timedOut, faults.timedOut);
    const uint64_t waitLost = beforeAnswer.lostAnswers + owedAtAnswer;
    faults.lostAnswers -= std::min(waitLost, faults.lostAnswers);
    return faults;
}

std::string SummaryLine(const UploadReport& report)
{
    return Result(report) + "; " + LineHealth(report.link);
}

std::string FailureLine(const UploadReport& report)
{
    if (report.outcome == Outcome::Succeeded)
        return {};
    if (report.outcome == Outcome::Cancelled) {
        if (report.stop == Stop::WaitRanOut)
            return "the cartridge did not answer within " + Seconds(report.waitLimitSeconds) +
                   ": switch the Game Boy on while plemo-flash waits, check the cable and the "
                   "port, or wait longer (--wait)";
        return "cancelled before the cartridge answered: nothing was written";
    }
    if (report.stop != Stop::None)
        return "cancelled during the transfer: the cartridge holds an incomplete upload; upload "
               "again before you use it";
    if (report.lineFailed)
        return "the serial line " + report.port +
               " failed during the upload (cable pulled out, adapter gone?): reconnect it and "
               "upload again";
    if (report.endedByDefect)
        return "the upload stopped on an internal error: upload again, and report it with the "
               "output of --trace";
    if (report.bytesSent == 0)
        return "the upload failed before any data went out (the file could not be read, or the "
               "cartridge refused to start): check the file and upload again";
    return "the upload failed: the cartridge refused a block or stopped answering; check the "
           "cable (see the line's health above) and upload again";
}

int ExitStatusOf(const UploadReport& report)
{
    if (report.outcome == Outcome::Succeeded)
        return kSucceeded;
    if (report.outcome == Outcome::Cancelled || report.stop != Stop::None)
        return kCancelled;
    return kProgrammingError;
}

} // namespace plemoflash
