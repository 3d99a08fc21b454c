#include "flash/uploadsession.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "flash/flashxferhost.h"
#include "serial/pcserial.h"
#include "serial/serialstreamerror.h"

namespace {

// Lets the front end run while the host waits for the cartridge, for one
// scope.
class FrontEndRunsWhileWaiting
{
public:
    FrontEndRunsWhileWaiting(CFlashXferHost& host, CUploadSession::IFrontEnd& frontEnd) : host(host)
    {
        host.SetWhileWaiting([&frontEnd] { frontEnd.WhileWaiting(); });
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
    StalledWritesGiveUp(CPCSerial* port, CFlashXferHost& host, CUploadSession::IFrontEnd& frontEnd)
        : port(port)
    {
        if (port)
            port->SetWriteGiveUp([&host, &frontEnd] {
                frontEnd.WhileWaiting();
                return host.StopRequested();
            });
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

CUploadSession::CUploadSession(CFlashXferHost& host, IFrontEnd& frontEnd)
    : host(host), frontEnd(frontEnd)
{
}

CUploadSession::CUploadSession(CFlashXferHost& host, IFrontEnd& frontEnd, CPCSerial& port)
    : host(host), frontEnd(frontEnd), port(&port)
{
}

CUploadSession::Outcome CUploadSession::Run(Kind kind)
{
    transferResult = -1;
    result = Result{};
    host.ClearFailure();
    const FrontEndRunsWhileWaiting whileWaiting(host, frontEnd);
    const StalledWritesGiveUp giveUp(port, host, frontEnd);
    const QMetaObject::Connection progress =
        QObject::connect(&host, &CFlashXferHost::UpdateProgressBar, [this](int) { ReportProgress(); });
    Outcome outcome = Outcome::Failed;
    // Once the port is open, a line that fails ends the upload as a failed
    // one instead of leaving it stuck halfway.
    try {
        outcome = RunSteps(kind);
    } catch (const SerialStreamError& error) {
        UploadFailure lineGone = UploadFailure::Of(UploadFailure::What::LineGone, {}, error.code);
        lineGone.systemError = static_cast<int>(error.systemError);
        lineGone.systemMessage = error.systemMessage;
        host.NoteFailure(lineGone);
    } catch (const std::exception&) {
        host.NoteFailure(UploadFailure::Of(UploadFailure::What::Defect));
    }
    QObject::disconnect(progress);
    Finish(outcome);
    frontEnd.UploadEnded(result);
    if (outcome != Outcome::Cancelled)
        TellDeviceUploadEnded();
    return outcome;
}

void CUploadSession::ReportProgress()
{
    frontEnd.Progress(host.BytesSent(), host.TransferSize());
}

void CUploadSession::NoteDeviceAnswered()
{
    result.deviceAnswered = true;
    result.waitLine = host.LinkStats();
    // Polls the cartridge ignored while it booted, still counted when it
    // answered one: written off later, they are no loss of the line's.
    owedAtAnswer = host.OwedAnswerCount();
    frontEnd.DeviceAnswered();
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
    const CRpc::Stats total = host.LinkStats();
    if (!result.deviceAnswered)
        result.waitLine = total;
    else
        result.transferLine = total.Since(result.waitLine);
    // Polls the cartridge ignored while it booted, and the answers written
    // off for them, are no fault of the line.
    const CRpc::Stats& wait = result.waitLine;
    const uint64_t unanswered = wait.timedOut + wait.givenUp;
    const uint64_t bootLost = wait.lostAnswers + owedAtAnswer;
    result.line = total;
    result.line.requests -= std::min(unanswered, total.requests);
    result.line.timedOut -= std::min(wait.timedOut, total.timedOut);
    result.line.givenUp -= std::min(wait.givenUp, total.givenUp);
    result.line.lostAnswers -= std::min(bootLost, total.lostAnswers);
    result.transferLine.lostAnswers -= std::min<uint64_t>(owedAtAnswer, result.transferLine.lostAnswers);
}

CUploadSession::Outcome CUploadSession::RunSteps(Kind kind)
{
    frontEnd.WaitingForDevice();
    std::fflush(stdout);
    host.SetTimeout(kBootWaitTimeoutMs);
    if (!WaitForDevice(kind))
        return Outcome::Cancelled;

    NoteDeviceAnswered();
    host.SetTimeout(kUploadTimeoutMs);
    std::fflush(stdout);
    transferResult = Transfer(kind);
    return transferResult < 0 ? Outcome::Failed : Outcome::Succeeded;
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
        frontEnd.WhileWaiting();
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
        frontEnd.WhileWaiting();
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
