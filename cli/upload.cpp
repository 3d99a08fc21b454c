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
#include "serial/trace.h"

namespace plemoflash {

namespace {

using Kind = CUploadSession::Kind;

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
// session lets this front end run at least every 50 ms of any wait, and
// every progress report looks too.
class ConsoleFrontEnd : public CUploadSession::IFrontEnd
{
public:
    ConsoleFrontEnd(const UploadRequest& request, ProgressLine& progress)
        : request(request), progress(progress)
    {
    }
    // Where a stop goes.
    void StopsGoTo(CFlashXferHost& stoppedHost) { host = &stoppedHost; }

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
    void Progress(int, int64_t bytesSent, int64_t bytesToSend) override
    {
        PassStopOn();
        progress.Report(bytesSent, bytesToSend);
    }
    void UploadEnded(const CUploadSession::Result&) override
    {
        ended = Clock::now();
        progress.Finish();
    }

    bool WaitRanOut() const { return waitRanOut; }
    double WaitSeconds() const { return SecondsBetween(waitStarted, answered ? transferStarted : ended); }
    double TransferSeconds() const { return answered ? SecondsBetween(transferStarted, ended) : 0.0; }

private:
    void PassStopOn()
    {
        if (stopped || host == nullptr)
            return;
        const bool interrupted = InterruptRequested();
        waitRanOut = !interrupted && !answered && request.waitLimit &&
                     SecondsBetween(waitStarted, Clock::now()) >= *request.waitLimit;
        if (!interrupted && !waitRanOut)
            return;
        stopped = true;
        host->Cancel();
        if (interrupted) {
            progress.Finish();
            std::fputs("plemo-flash: cancelling (Ctrl-C again stops at once)\n", stderr);
        }
    }

    const UploadRequest& request;
    ProgressLine& progress;
    CFlashXferHost* host = nullptr;
    bool stopped = false;
    bool waitRanOut = false;
    bool answered = false;
    Clock::time_point waitStarted{};
    Clock::time_point transferStarted{};
    Clock::time_point ended{};
};

ProgressLine::Style ProgressStyle(const UploadRequest& request)
{
    if (request.quiet)
        return ProgressLine::Style::Silent;
    return IsTerminal(stdout) ? ProgressLine::Style::Terminal : ProgressLine::Style::Plain;
}

int Upload(const UploadRequest& request, const std::string& port, Kind kind)
{
    ProgressLine progress(stdout, ProgressStyle(request), [] { return Clock::now(); });
    ConsoleFrontEnd frontEnd(request, progress);
    CUploadSession session(frontEnd);
    frontEnd.StopsGoTo(session.Host());
    // Every serial stream starts with the trace off.
    if (request.trace)
        traceEnabled = 1;
    // A Ctrl-C while the ports were looked at: nothing has begun.
    if (InterruptRequested()) {
        std::fputs("plemo-flash: cancelled before the upload began\n", stderr);
        return kCancelled;
    }
    session.Run(port, kind);

    UploadReport report;
    report.result = session.LastResult();
    report.waitRanOut = frontEnd.WaitRanOut();
    report.waitSeconds = frontEnd.WaitSeconds();
    report.transferSeconds = frontEnd.TransferSeconds();
    report.waitLimitSeconds = request.waitLimit.value_or(0.0);
    report.lineBytesPerSecond = LineBytesPerSecond(*session.Port());
    report.port = port;

    if (report.result.outcome != CUploadSession::Outcome::PortUnavailable) {
        std::printf("%s\n", SummaryLine(report).c_str());
        std::fflush(stdout);
    }
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
