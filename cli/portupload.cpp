#include "cli/portupload.h"

#include <chrono>

#include "cli/console.h"
#include "cli/output.h"
#include "cli/progress.h"
#include "cli/records.h"
#include "flash/flashxferhost.h"
#include "serial/pcserial.h"
#include "serial/trace.h"

namespace plemoflash {

namespace {

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

Clock::time_point Now()
{
    return Clock::now();
}

} // namespace

// The upload as the console shows it. A stop (Ctrl-C, or --wait running
// out) goes to the host's Cancel, as the dialog's Cancel button does: the
// session lets this front end run at least every 50 ms of any wait, and
// every progress report looks too.
class PortUpload::FrontEnd : public CUploadSession::IFrontEnd
{
public:
    FrontEnd(const UploadRequest& request, const std::string& port, std::size_t row, Output& output)
        : request(request), port(port), row(row), output(output),
          progress(PersonSink(), PersonStyle(), Now), records(RecordSink(), RecordStyle(), Now)
    {
    }
    // Where a stop goes.
    void StopsGoTo(CFlashXferHost& stoppedHost) { host = &stoppedHost; }

    void WaitingForDevice() override
    {
        waitStarted = Clock::now();
        Record(EventRecord("waiting", port));
        if (request.quiet)
            return;
        if (output.HasBoard())
            output.ShowRow(row, CUploadSession::kWaitingText);
        else
            output.Say(output.Human(), output.Tag(port) + CUploadSession::kWaitingText);
    }
    void WhileWaiting() override { PassStopOn(); }
    void DeviceAnswered() override
    {
        transferStarted = Clock::now();
        answered = true;
        Record(EventRecord("answered", port));
    }
    std::string PathToTransfer() override { return request.path; }
    void Progress(int, int64_t bytesSent, int64_t bytesToSend) override
    {
        PassStopOn();
        progress.Report(bytesSent, bytesToSend);
        records.Report(bytesSent, bytesToSend);
    }
    void UploadEnded(const CUploadSession::Result&) override { ended = Clock::now(); }

    bool WaitRanOut() const { return waitRanOut; }
    double WaitSeconds() const { return SecondsBetween(waitStarted, answered ? transferStarted : ended); }
    double TransferSeconds() const { return answered ? SecondsBetween(transferStarted, ended) : 0.0; }

private:
    ProgressLine::Style PersonStyle() const
    {
        // A station says one line an upload, at its end.
        if (request.quiet || output.Station())
            return ProgressLine::Style::Silent;
        return output.HasBoard() ? ProgressLine::Style::Terminal : ProgressLine::Style::Plain;
    }
    ProgressLine::Sink PersonSink()
    {
        return {[this](const std::string& text, int64_t, int64_t) {
                    if (output.HasBoard())
                        output.ShowRow(row, text);
                    else
                        output.Say(output.Human(), output.Tag(port) + "progress: " + text);
                },
                [] {}};
    }
    // At the pace of plain lines: at most one a second.
    ProgressLine::Style RecordStyle() const
    {
        return output.Json() ? ProgressLine::Style::Plain : ProgressLine::Style::Silent;
    }
    ProgressLine::Sink RecordSink()
    {
        return {[this](const std::string&, int64_t sent, int64_t total) {
                    output.Record(ProgressRecord(port, sent, total));
                },
                [] {}};
    }
    void Record(const QJsonObject& record)
    {
        if (output.Json())
            output.Record(record);
    }
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
        if (interrupted)
            output.SayCancelling();
    }

    const UploadRequest& request;
    const std::string& port;
    const std::size_t row;
    Output& output;
    ProgressLine progress;
    ProgressLine records;
    CFlashXferHost* host = nullptr;
    bool stopped = false;
    bool waitRanOut = false;
    bool answered = false;
    Clock::time_point waitStarted{};
    Clock::time_point transferStarted{};
    Clock::time_point ended{};
};

PortUpload::PortUpload(const UploadRequest& request, std::string port, std::size_t row, Output& output)
    : request(request), output(output), row(row)
{
    report.port = std::move(port);
    frontEnd = std::make_unique<FrontEnd>(request, report.port, row, output);
    session = std::make_unique<CUploadSession>(*frontEnd);
    frontEnd->StopsGoTo(session->Host());
    // Every new serial stream switches the trace off, also while other
    // ports' uploads run; the switch is atomic.
    if (request.trace)
        traceEnabled = 1;
}

PortUpload::~PortUpload() = default;

void PortUpload::Run(CUploadSession::Kind kind)
{
    session->Run(report.port, kind);
    report.result = session->LastResult();
    report.waitRanOut = frontEnd->WaitRanOut();
    report.waitSeconds = frontEnd->WaitSeconds();
    report.transferSeconds = frontEnd->TransferSeconds();
    report.waitLimitSeconds = request.waitLimit.value_or(0.0);
    report.lineBytesPerSecond = LineBytesPerSecond(*session->Port());

    if (output.Json())
        output.Record(ResultRecord(report));
    const std::string tag = output.Tag(report.port);
    if (!tag.empty())
        output.ShowRow(row, std::string(OutcomeWord(report.result.outcome)) + ", " +
                                Grouped(static_cast<uint64_t>(report.result.bytesWritten)) +
                                " bytes confirmed");
    else
        output.EndBoard();
    if (report.result.outcome != CUploadSession::Outcome::PortUnavailable)
        output.Say(output.Human(), tag + SummaryLine(report));
    const std::string failure = FailureLine(report);
    if (!failure.empty())
        output.Say(stderr, "plemo-flash: " + tag + failure);
}

} // namespace plemoflash
