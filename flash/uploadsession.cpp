#include "flash/uploadsession.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <utility>

#include "flash/flashxferhost.h"
#include "serial/invariant.h"
#include "serial/pcserial.h"
#include "serial/trace.h"

namespace {

// Lets the front end run while the host waits for the cartridge, for one
// scope.
class FrontEndRunsWhileWaiting
{
public:
    FrontEndRunsWhileWaiting(CFlashXferHost& host, std::function<void()> whileWaiting) : host(host)
    {
        host.SetWhileWaiting(std::move(whileWaiting));
    }
    ~FrontEndRunsWhileWaiting() { host.SetWhileWaiting({}); }
    FrontEndRunsWhileWaiting(const FrontEndRunsWhileWaiting&) = delete;
    FrontEndRunsWhileWaiting& operator=(const FrontEndRunsWhileWaiting&) = delete;

private:
    CFlashXferHost& host;
};

// Lets a stalled write on the port give up once a stop has been asked for,
// for one scope. The front end runs while the write waits, so that a click
// on Cancel reaches the host there too.
class StalledWritesGiveUp
{
public:
    StalledWritesGiveUp(CPCSerial* port, std::function<bool()> stopAsked) : port(port)
    {
        if (port)
            port->SetWriteGiveUp(std::move(stopAsked));
    }
    ~StalledWritesGiveUp()
    {
        if (port)
            port->SetWriteGiveUp({});
    }
    StalledWritesGiveUp(const StalledWritesGiveUp&) = delete;
    StalledWritesGiveUp& operator=(const StalledWritesGiveUp&) = delete;

private:
    CPCSerial* port;
};

} // namespace

CUploadSession::Kind CUploadSession::KindOf(const std::string& path)
{
    if (path.find(".bit") != std::string::npos)
        return Kind::Bitstream;
    if (path.find(".frm") != std::string::npos)
        return Kind::Firmware;
    return Kind::Unknown;
}

CUploadSession::CUploadSession(IFrontEnd& frontEnd)
    : adapter(std::make_unique<CPCSerial>()),
      ownHost(std::make_unique<CFlashXferHost>(adapter.get(), kHostAttempts)),
      host(*ownHost),
      frontEnd(frontEnd)
{
}

CUploadSession::CUploadSession(CFlashXferHost& host, IFrontEnd& frontEnd)
    : host(host), frontEnd(frontEnd)
{
}

CUploadSession::~CUploadSession() = default;

CUploadSession::Outcome CUploadSession::Run(const std::string& portName, Kind kind)
{
    PLEMO_INVARIANT(adapter != nullptr);
    SerialStreamError refused{SerialStreamError::NotOpen};
    if (OpenPort(portName, refused))
        return RunOverOpenChannel(kind);
    transferResult = -1;
    result = Result{};
    result.outcome = Outcome::PortUnavailable;
    result.portError = refused;
    frontEnd.UploadEnded(result);
    return result.outcome;
}

CUploadSession::Outcome CUploadSession::Run(Kind kind)
{
    PLEMO_INVARIANT(adapter == nullptr);
    return RunOverOpenChannel(kind);
}

// Says why in the trace, the same for every front end.
bool CUploadSession::OpenPort(const std::string& portName, SerialStreamError& refused)
{
    try {
        adapter->Open(portName, kUploadBaud);
        return true;
    } catch (const SerialStreamError& error) {
        refused = error;
        TraceLog("upload: cannot open %s (serial error %d, system error %u: %s)\n",
                 portName.c_str(), static_cast<int>(error.code),
                 static_cast<unsigned>(error.systemError), error.systemMessage);
        return false;
    }
}

CUploadSession::Outcome CUploadSession::RunOverOpenChannel(Kind kind)
{
    transferResult = -1;
    stopAsked = false;
    result = Result{};
    host.ClearFailure();
    const FrontEndRunsWhileWaiting whileWaiting(host, [this] { LetFrontEndRun(); });
    const StalledWritesGiveUp giveUp(adapter.get(), [this] {
        LetFrontEndRun();
        return stopAsked;
    });
    const QMetaObject::Connection progress = QObject::connect(
        &host, &CFlashXferHost::UpdateProgressBar, [this](int percent) { ReportProgress(percent); });
    // Once the port is open, a line that fails ends the upload as a failed
    // one instead of leaving it stuck halfway.
    try {
        transferResult = RunSteps(kind);
    } catch (const SerialStreamError& error) {
        UploadFailure lineGone = UploadFailure::Of(UploadFailure::What::LineGone, {}, error.code);
        lineGone.systemError = static_cast<int>(error.systemError);
        lineGone.systemMessage = error.systemMessage;
        host.NoteFailure(lineGone);
    } catch (const std::exception&) {
        host.NoteFailure(UploadFailure::Of(UploadFailure::What::Defect));
    }
    QObject::disconnect(progress);
    Finish(OutcomeOf(transferResult));
    // The status line says only how it ended; the trace says why.
    if (result.failure.Failed())
        TraceLog("upload: %s\n", DescribeFailure(result.failure).c_str());
    frontEnd.UploadEnded(result);
    if (result.outcome != Outcome::CancelledWaiting)
        TellDeviceUploadEnded();
    return result.outcome;
}

void CUploadSession::LetFrontEndRun()
{
    frontEnd.WhileWaiting();
    stopAsked = stopAsked || host.StopRequested();
}

void CUploadSession::ReportProgress(int percent)
{
    frontEnd.Progress(percent, host.BytesSent(), host.TransferSize());
    stopAsked = stopAsked || host.StopRequested();
}

void CUploadSession::NoteDeviceAnswered()
{
    result.deviceAnswered = true;
    result.waitLine = host.LinkStats();
    // Polls the cartridge ignored while it booted, still counted when it
    // answered one: written off later, they are no loss of the line's.
    result.owedAtAnswer = host.OwedAnswerCount();
    frontEnd.DeviceAnswered();
}

// A stop ends the upload as a cancel however the host's last call ended
// (a write given up on a port that takes nothing throws).
CUploadSession::Outcome CUploadSession::OutcomeOf(int transfer) const
{
    if (transfer >= 0)
        return Outcome::Succeeded;
    if (stopAsked || host.StopRequested())
        return result.deviceAnswered ? Outcome::CancelledTransfer : Outcome::CancelledWaiting;
    return Outcome::Failed;
}

void CUploadSession::Finish(Outcome outcome)
{
    result.outcome = outcome;
    result.failure = outcome == Outcome::Succeeded ? UploadFailure{} : host.Failure();
    if (outcome == Outcome::Failed && !result.failure.Failed())
        result.failure = UploadFailure::Of(UploadFailure::What::Defect);
    result.bytesSent = result.deviceAnswered ? host.BytesSent() : 0;
    result.bytesToSend = result.deviceAnswered ? host.TransferSize() : 0;
    result.bytesWritten = host.BytesWritten();
    result.wholeLine = host.LinkStats();
    if (!result.deviceAnswered)
        result.waitLine = result.wholeLine;
}

// The transfer's result; -1 when the wait was cancelled.
int CUploadSession::RunSteps(Kind kind)
{
    frontEnd.WaitingForDevice();
    std::fflush(stdout);
    host.SetTimeout(kBootWaitTimeoutMs);
    if (!WaitForDevice(kind)) {
        stopAsked = true; // the handshake took the stop, and the host forgot it
        return -1;
    }

    NoteDeviceAnswered();
    host.SetTimeout(kUploadTimeoutMs);
    std::fflush(stdout);
    return Transfer(kind);
}

// The opening handshake announces a bitstream for both kinds; a cartridge
// that is still booting ignores it.
bool CUploadSession::WaitForDevice(Kind kind)
{
    const int rc = host.Handshake(CFlashXferHost::kBitstreamMode);
    return kind == Kind::Bitstream ? WaitForBitstreamDevice(rc) : WaitForFirmwareDevice(rc);
}

bool CUploadSession::WaitForBitstreamDevice(int rc)
{
    while (rc < 0) {
        LetFrontEndRun();
        if (rc == CFlashXferHost::kCancelled)
            return false;
        rc = host.Handshake(CFlashXferHost::kBitstreamMode);
    }
    return true;
}

// Two firmware handshakes a cycle, the front end's keep-alive between them.
// A cancel ends the wait as soon as a handshake has seen it, whichever of
// the two that was.
bool CUploadSession::WaitForFirmwareDevice(int rc)
{
    for (;;) {
        if (rc == CFlashXferHost::kCancelled)
            return false;
        const int first = host.Handshake(CFlashXferHost::kFirmwareMode);
        if (first >= 0)
            return true;
        if (first == CFlashXferHost::kCancelled)
            return false;
        LetFrontEndRun();
        rc = host.Handshake(CFlashXferHost::kFirmwareMode);
    }
}

// The path is asked for again: it may have changed while the cartridge
// booted. A change into a file of the other kind is refused before anything
// is written: a bitstream must never land where the firmware lives, nor
// firmware in the bitstream's image. The host opens the path as UTF-8.
int CUploadSession::Transfer(Kind kind)
{
    const std::string path = frontEnd.PathToTransfer();
    if (KindOf(path) != kind) {
        host.NoteFailure(UploadFailure::Of(UploadFailure::What::FileRejected));
        return -1;
    }
    if (kind == Kind::Bitstream)
        return host.UploadBitstream(path.c_str());
    return host.UploadFirmware(kFirmwareStartAddress, path.c_str(), kEraseBeforeProgramming);
}

// Its result tells nothing the outcome does not already say. When the line
// is gone there is nobody to tell.
void CUploadSession::TellDeviceUploadEnded()
{
    std::fflush(stdout);
    try {
        host.FinishUpload(kFinishUploadValue);
    } catch (const SerialStreamError&) {
    }
    std::fflush(stdout);
}
