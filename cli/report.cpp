#include "cli/report.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "cli/exitstatus.h"
#include "cli/ports.h"
#include "cli/progress.h"

namespace plemoflash {

namespace {

using Outcome = CUploadSession::Outcome;

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
    return std::string(LineDamaged(link) ? "line noisy, check the cable: " : "line clean: ") +
           Counted(link.requests, "request", "requests") + ", " + Grouped(repeated) +
           " repeated (" + Counted(link.damagedReplies, "damaged reply", "damaged replies") + ", " +
           Counted(link.timedOut, "late reply", "late replies") + ", " + Grouped(link.askedAgain) +
           " asked again by 0xFE), " +
           Counted(link.skippedBytes, "resync byte", "resync bytes") + " skipped, " +
           Counted(link.lostAnswers, "answer", "answers") + " lost";
}

// "3,477 B/s of the line's 3,840 B/s (91%)"; a port that moved bytes faster
// than its speed (a simulated line, a buffered bridge) gets no share.
std::string Speed(const UploadReport& report)
{
    const auto sent = static_cast<double>(report.result.bytesSent);
    const double speed = report.transferSeconds > 0.0 ? sent / report.transferSeconds : 0.0;
    const std::string ceiling = Grouped(static_cast<uint64_t>(report.lineBytesPerSecond));
    std::string text = Grouped(static_cast<uint64_t>(speed)) + " B/s";
    if (report.lineBytesPerSecond <= 0.0)
        return text;
    const double share = 100.0 * speed / report.lineBytesPerSecond;
    if (share > 100.0)
        return text + " (faster than the port's " + ceiling + " B/s: not a paced line)";
    char percent[16];
    std::snprintf(percent, sizeof percent, " (%.0f%%)", share);
    return text + " of the line's " + ceiling + " B/s" + percent;
}

std::string Result(const UploadReport& report)
{
    const CUploadSession::Result& result = report.result;
    const std::string written = Grouped(static_cast<uint64_t>(result.bytesWritten));
    switch (result.outcome) {
    case Outcome::Succeeded:
        return "upload succeeded: " + written + " bytes written in " +
               Seconds(report.transferSeconds) + ", " + Speed(report);
    case Outcome::CancelledWaiting:
        return "upload cancelled: nothing written, the cartridge did not answer in " +
               Seconds(report.waitSeconds);
    case Outcome::CancelledTransfer:
        return "upload cancelled: " + written + " of " +
               Grouped(static_cast<uint64_t>(result.bytesToSend)) + " bytes written in " +
               Seconds(report.transferSeconds);
    case Outcome::Failed:
    case Outcome::PortUnavailable:
        break;
    }
    return "upload failed: " + written + " of " +
           Grouped(static_cast<uint64_t>(result.bytesToSend)) + " bytes written in " +
           Seconds(report.transferSeconds);
}

// Why the port did not open, and what to do about it.
std::string PortProblem(const std::string& port, const SerialStreamError& error)
{
    switch (error.code) {
    case SerialStreamError::PortNotFound:
        return "no such port: check the name (--list-ports shows the ports found)";
    case SerialStreamError::AccessDenied: {
        // The explanation reads the user and group databases, whose calls
        // share one buffer: ports that end side by side take turns.
        static std::mutex databases;
        std::unique_lock<std::mutex> held(databases);
        PortState refused{port, PortState::State::Refused, ExplainRefusedPort(port), {}};
        held.unlock();
        std::string why = DescribeState(refused);
        if (refused.refusal.reason == PortRefusal::Reason::HeldByAnotherProgram)
            why += ": " + RefusalHint(refused.refusal);
        return why;
    }
    default:
        break;
    }
    return "it does not open as a serial port at " + std::to_string(CUploadSession::kUploadBaud) +
           " baud (" +
           (error.systemMessage[0] != '\0' ? std::string(error.systemMessage) + ", " : "") +
           "system error " + std::to_string(error.systemError) +
           "): check the name and the adapter, or run with --trace";
}

// What to try, after what went wrong.
std::string Advice(const UploadReport& report)
{
    using What = UploadFailure::What;
    const CUploadSession::Result& result = report.result;
    const bool damaged = LineDamaged(LineHealthOf(result));
    switch (result.failure.what) {
    case What::NoAnswer:
        return " after " + Grouped(static_cast<uint64_t>(result.bytesWritten)) +
               " bytes were written (switched off or reset?): check that the Game Boy is on" +
               (damaged ? " and the cable (the line showed damage)" : "") + ", then upload again";
    case What::DamagedReplies:
    case What::DamagedRequests:
    case What::BufferMismatch:
        return ": check the cable, then upload again";
    case What::DeviceStatus:
        return ": the cartridge refused the step; upload again, and if it refuses again, the "
               "cartridge cannot take this file there";
    case What::UnusableReply:
        return ": the cartridge does not answer as the upload expects; upload again";
    case What::FileUnreadable:
    case What::FileRejected:
        return ": check the file and upload again";
    case What::FileChanged:
        return ": the cartridge holds a mix of two files; upload again once the file is complete";
    case What::LineGone:
        return " (cable pulled out, adapter gone?): reconnect " +
               (report.port.empty() ? std::string("it") : report.port) + " and upload again";
    case What::Defect:
        return ": upload again, and report it with the output of --trace";
    case What::Cancelled:
    case What::None:
        break;
    }
    return ": upload again";
}

} // namespace

CRpc::Stats LineHealthOf(const CUploadSession::Result& result)
{
    const CRpc::Stats& whole = result.wholeLine;
    const CRpc::Stats& wait = result.waitLine;
    const uint64_t unanswered = wait.timedOut + wait.givenUp;
    const uint64_t bootLost = wait.lostAnswers + result.owedAtAnswer;
    CRpc::Stats line = whole;
    line.requests -= std::min(unanswered, whole.requests);
    line.timedOut -= std::min(wait.timedOut, whole.timedOut);
    line.givenUp -= std::min(wait.givenUp, whole.givenUp);
    line.lostAnswers -= std::min(bootLost, whole.lostAnswers);
    return line;
}

bool LineDamaged(const CRpc::Stats& link)
{
    return link.damagedReplies != 0 || link.askedAgain != 0 || link.skippedBytes != 0;
}

const char* OutcomeWord(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Succeeded:
        return "success";
    case Outcome::CancelledWaiting:
    case Outcome::CancelledTransfer:
        return "cancelled";
    case Outcome::Failed:
    case Outcome::PortUnavailable:
        break;
    }
    return "failure";
}

std::string SummaryLine(const UploadReport& report)
{
    return Result(report) + "; " + LineHealth(LineHealthOf(report.result));
}

std::string FailureLine(const UploadReport& report)
{
    const CUploadSession::Result& result = report.result;
    switch (result.outcome) {
    case Outcome::Succeeded:
        return {};
    case Outcome::PortUnavailable:
        return "cannot open " + report.port + ": " + PortProblem(report.port, result.portError);
    case Outcome::CancelledWaiting:
        if (report.waitRanOut)
            return "the cartridge did not answer within " + Seconds(report.waitLimitSeconds) +
                   ": switch the Game Boy on while plemo-flash waits, check the cable and the "
                   "port, or wait longer (--wait)";
        return "cancelled before the cartridge answered: nothing was written";
    case Outcome::CancelledTransfer:
        return "cancelled during the transfer: the cartridge holds an incomplete upload; upload "
               "again before you use it";
    case Outcome::Failed:
        break;
    }
    return DescribeFailure(result.failure) + Advice(report);
}

int ExitStatusOf(const UploadReport& report)
{
    switch (report.result.outcome) {
    case Outcome::Succeeded:
        return kSucceeded;
    case Outcome::PortUnavailable:
        return kPortUnavailable;
    case Outcome::CancelledWaiting:
    case Outcome::CancelledTransfer:
        return kCancelled;
    case Outcome::Failed:
        break;
    }
    return kProgrammingError;
}

std::vector<std::string> ResultTable(const std::vector<UploadReport>& reports)
{
    std::size_t width = 4;
    for (const UploadReport& report : reports)
        width = std::max(width, report.port.size());
    const auto row = [width](const std::string& port, const std::string& outcome,
                             const std::string& bytes, const std::string& time,
                             const std::string& cause) {
        char text[256];
        std::snprintf(text, sizeof text, "%-*s  %-9s  %11s  %8s  ", static_cast<int>(width),
                      port.c_str(), outcome.c_str(), bytes.c_str(), time.c_str());
        const std::string line = text + cause;
        return line.substr(0, line.find_last_not_of(' ') + 1);
    };
    std::vector<std::string> lines{row("port", "outcome", "confirmed", "time", "cause")};
    for (const UploadReport& report : reports)
        lines.push_back(row(report.port, OutcomeWord(report.result.outcome),
                            Grouped(static_cast<uint64_t>(report.result.bytesWritten)),
                            Seconds(report.waitSeconds + report.transferSeconds),
                            FailureLine(report)));
    return lines;
}

int ExitStatusOf(const std::vector<UploadReport>& reports)
{
    int status = kSucceeded;
    for (const UploadReport& report : reports) {
        const int own = ExitStatusOf(report);
        for (const int weightier : {kProgrammingError, kPortUnavailable, kCancelled, kSucceeded}) {
            if (status == weightier)
                break;
            if (own == weightier) {
                status = own;
                break;
            }
        }
    }
    return status;
}

} // namespace plemoflash
