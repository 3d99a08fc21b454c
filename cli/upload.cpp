#include "cli/upload.h"

#include <chrono>
#include <cstdio>

#include "cli/console.h"
#include "cli/exitstatus.h"
#include "cli/fileinfo.h"
#include "cli/ports.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "flash/flashxferhost.h"
#include "flash/uploadsession.h"
#include "serial/pcserial.h"

namespace plemoflash {

namespace {

using Kind = CUploadSession::Kind;
using Stop = UploadReport::Stop;

double SecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The line's ceiling in bytes a second, as the port's own line time has it.
double LineBytesPerSecond(const CPCSerial& adapter)
{
    constexpr uint32_t kBytes = 1000000;
    const double seconds = std::chrono::duration<double>(adapter.TransferTime(kBytes)).count();
    return seconds > 0.0 ? kBytes / seconds : 0.0;
}

// The upload as the console shows it. A stop (Ctrl-C, or --wait running
// out) goes to the host's Cancel, as the dialog's Cancel button does: the
// host's waits run WhileWaiting at least every 50 ms, and every progress
// report looks too.
class ConsoleFrontEnd : public CUploadSession::IFrontEnd
{
public:
    ConsoleFrontEnd(CFlashXferHost& host, const UploadRequest& request, ProgressLine& progress)
        : host(host), request(request), progress(progress)
    {
    }

    void WaitingForDevice() override
    {
        waitStarted = Clock::now();
        if (!request.quiet) {
            std::printf("%s\n", CUploadSession::kWaitingText);
            std::fflush(stdout);
        }
    }
    void WhileWaiting() override { PassStopOn(); }
    void DeviceAnswered() override
    {
        transferStarted = Clock::now();
        answered = true;
    }
    std::string PathToTransfer() override { return request.path; }
    void Progress(int64_t bytesSent, int64_t bytesToSend) override
    {
        PassStopOn();
        progress.Report(bytesSent, bytesToSend);
    }
    void UploadEnded(const CUploadSession::Result&) override
    {
        ended = Clock::now();
        progress.Finish();
    }

    Stop StopAsked() const { return stop; }
    double WaitSeconds() const { return SecondsBetween(waitStarted, answered ? transferStarted : ended); }
    double TransferSeconds() const { return answered ? SecondsBetween(transferStarted, ended) : 0.0; }

private:
    void PassStopOn()
    {
        if (stop != Stop::None)
            return;
        if (InterruptRequested())
            stop = Stop::Interrupted;
        else if (!answered && request.waitLimit &&
                 SecondsBetween(waitStarted, Clock::now()) >= *request.waitLimit)
            stop = Stop::WaitRanOut;
        if (stop == Stop::None)
            return;
        host.Cancel();
        if (stop == Stop::Interrupted) {
            progress.Finish();
            std::fputs("plemo-flash: cancelling (Ctrl-C again stops at once)\n", stderr);
        }
    }

    CFlashXferHost& host;
    const UploadRequest& request;
    ProgressLine& progress;
    Stop stop = Stop::None;
    bool answered = false;
    Clock::time_point waitStarted{};
    Clock::time_point transferStarted{};
    Clock::time_point ended{};
};

// Opens the port at the upload's speed; false after saying why on stderr.
bool OpenPort(CPCSerial& adapter, const std::string& port)
{
    try {
        adapter.Open(port, CUploadSession::kUploadBaud);
        return true;
    } catch (const SerialStreamError& error) {
        std::string why;
        switch (error.code) {
        case SerialStreamError::PortNotFound:
            why = "no such port: check the name (--list-ports shows the ports found)";
            break;
        case SerialStreamError::AccessDenied: {
            PortState refused{port, PortState::State::Refused, ExplainRefusedPort(port), {}};
            why = DescribeState(refused);
            if (refused.refusal.reason == PortRefusal::Reason::HeldByAnotherProgram)
                why += ": " + RefusalHint(refused.refusal);
            break;
        }
        default:
            why = "it does not open as a serial port at " + std::to_string(CUploadSession::kUploadBaud) +
                  " baud (" + (error.systemMessage[0] != '\0' ? std::string(error.systemMessage) + ", " : "") +
                  "system error " + std::to_string(error.systemError) +
                  "): check the name and the adapter, or run with --trace";
            break;
        }
        std::fprintf(stderr, "plemo-flash: cannot open %s: %s\n", port.c_str(), why.c_str());
        return false;
    }
}

ProgressLine::Style ProgressStyle(const UploadRequest& request)
{
    if (request.quiet)
        return ProgressLine::Style::Silent;
    return IsTerminal(stdout) ? ProgressLine::Style::Terminal : ProgressLine::Style::Plain;
}

int Upload(const UploadRequest& request, const std::string& port, Kind kind)
{
    // The host goes before the adapter, whose end closes the port.
    CPCSerial adapter;
    // Every serial stream starts with the trace off.
    if (request.trace)
        traceEnabled = 1;
    CFlashXferHost host(&adapter, CUploadSession::kHostAttempts);
    // A Ctrl-C while the ports were looked at: nothing has begun.
    if (InterruptRequested()) {
        std::fputs("plemo-flash: cancelled before the upload began\n", stderr);
        return kCancelled;
    }
    if (!OpenPort(adapter, port))
        return kPortUnavailable;

    ProgressLine progress(stdout, ProgressStyle(request), [] { return Clock::now(); });
    ConsoleFrontEnd frontEnd(host, request, progress);
    CUploadSession session(host, frontEnd, adapter);
    session.Run(kind);

    UploadReport report;
    report.result = session.LastResult();
    report.stop = frontEnd.StopAsked();
    report.waitSeconds = frontEnd.WaitSeconds();
    report.transferSeconds = frontEnd.TransferSeconds();
    report.waitLimitSeconds = request.waitLimit.value_or(0.0);
    report.lineBytesPerSecond = LineBytesPerSecond(adapter);
    report.port = port;

    std::printf("%s\n", SummaryLine(report).c_str());
    std::fflush(stdout);
    const std::string failure = FailureLine(report);
    if (!failure.empty())
        std::fprintf(stderr, "plemo-flash: %s\n", failure.c_str());
    return ExitStatusOf(report);
}

} // namespace

int RunUpload(const UploadRequest& request)
{
    const Kind kind = CUploadSession::KindOf(request.path);
    const std::string problem = UploadFileProblem(request.path, kind);
    if (!problem.empty()) {
        std::fprintf(stderr, "plemo-flash: %s\n", problem.c_str());
        return kBadUsage;
    }
    std::string port = SystemPortName(request.port);
    if (port.empty()) {
        const std::optional<std::string> chosen = ChooseFreePort(stderr);
        if (!chosen)
            return kBadUsage;
        port = *chosen;
        if (!request.quiet)
            std::printf("port: %s (the one free serial port)\n", port.c_str());
    }
    return Upload(request, port, kind);
}

} // namespace plemoflash
