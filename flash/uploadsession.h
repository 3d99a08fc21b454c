#pragma once
// The upload a user starts, from the port's opening to the word that the
// upload is over: the one sequence that every front end runs (the dialog,
// plemo-flash, the fault campaign), so that the cartridge cannot tell them
// apart. Over a serial port the session owns the whole upload: the adapter,
// the host, the port's opening and the progress; the front end only shows.
//
//  0. Open the port at 38,400 baud (a port that is taken or gone ends the
//     upload before anything is sent).
//  1. Wait for the cartridge at a 200 ms reply time-out: one bitstream
//     handshake whatever the kind, then handshakes of the kind's own mode
//     until one is answered or the user cancels (firmware: two a cycle).
//     The wait has no limit of its own.
//  2. At a 1,000 ms reply time-out, the upload sequence of the kind:
//     UploadBitstream, or UploadFirmware from address 0 with erase.
//  3. FinishUpload, after a success, a failure and a cancel during the
//     transfer alike; not after a cancel during the wait.
// A failing line (a cable pulled out) ends the upload as a failed one.
#include <cstdint>
#include <memory>
#include <string>

#include "flash/uploadfailure.h"
#include "rpc/rpc.h"
#include "serial/serialstreamerror.h"

class CFlashXferHost;
class CPCSerial;

class CUploadSession
{
public:
    enum class Kind
    {
        Bitstream,
        Firmware,
        Unknown,
    };
    // How an upload ended: the one word on a cancel that front ends read.
    enum class Outcome
    {
        Succeeded,
        Failed,
        PortUnavailable,    // the port did not open (taken, gone): nothing was sent
        CancelledWaiting,   // stopped before the cartridge answered: nothing was written
        CancelledTransfer,  // stopped once it had: the cartridge holds an incomplete upload
    };

    // How an upload ended, and all a front end may want to show of it.
    struct Result
    {
        Outcome outcome = Outcome::Failed;
        // What went wrong first (None after a success).
        UploadFailure failure;
        // PortUnavailable: why the port did not open.
        SerialStreamError portError{};
        bool deviceAnswered = false;
        int64_t bytesSent = 0;    // handed to the cartridge, blocks staged again included
        int64_t bytesToSend = 0;  // what the upload sends once
        int64_t bytesWritten = 0; // confirmed programmed by the cartridge
        // What the link met until the cartridge answered (all of it when it
        // never did), and over the whole upload.
        CRpc::Stats waitLine;
        CRpc::Stats wholeLine;
        // Answers still owed to the wait's polls when the cartridge answered.
        uint32_t owedAtAnswer = 0;
    };

    // What a front end shows and does while an upload runs.
    class IFrontEnd
    {
    public:
        // The wait for the cartridge begins.
        virtual void WaitingForDevice() = 0;
        // Runs between two handshakes, at least every
        // CRpc::kWhileWaitingIntervalMs of any wait for the cartridge, and
        // every 50 ms a write waits for a port that takes nothing: where a
        // front end keeps its window alive and passes a cancel on to the
        // host (CFlashXferHost::Cancel).
        virtual void WhileWaiting() = 0;
        // The cartridge has answered: the transfer begins.
        virtual void DeviceAnswered() {}
        // The file to transfer, asked for right after.
        virtual std::string PathToTransfer() = 0;
        // Before each chunk goes out: the host's percentage, and the bytes
        // handed to the cartridge so far of those the upload sends.
        virtual void Progress(int /*percent*/, int64_t /*bytesSent*/, int64_t /*bytesToSend*/) {}
        // The outcome, before the cartridge is told that the upload is over.
        virtual void UploadEnded(const Result& result) = 0;

    protected:
        ~IFrontEnd() = default;
    };

    // What every front end shows while it waits for the cartridge.
    static constexpr char kWaitingText[] = "Waiting for Gameboy to Boot...";

    static constexpr int32_t kUploadBaud = 38400;
    // One attempt per procedure sequence; the link underneath still
    // repeats damaged or late exchanges on its own.
    static constexpr int kHostAttempts = 1;
    // Short while waiting, so that a cartridge that boots is heard soon.
    static constexpr uint16_t kBootWaitTimeoutMs = 200;
    static constexpr uint16_t kUploadTimeoutMs = 1000;
    static constexpr uint32_t kFirmwareStartAddress = 0;
    static constexpr bool kEraseBeforeProgramming = true;
    // Tells the cartridge that the upload is over, whatever its result.
    static constexpr uint32_t kFinishUploadValue = 0x08020000;

    // The kind is told by the name alone, anywhere in the path and in this
    // order, as the files have always been told apart: ".bit", then ".frm".
    static Kind KindOf(const std::string& path);

    // An upload over a serial port: the session makes the adapter and the
    // host over it, and opens the port when it runs.
    explicit CUploadSession(IFrontEnd& frontEnd);
    // An upload over the caller's host and channel (a simulated line).
    CUploadSession(CFlashXferHost& host, IFrontEnd& frontEnd);
    ~CUploadSession();
    CUploadSession(const CUploadSession&) = delete;
    CUploadSession& operator=(const CUploadSession&) = delete;

    // The host, where a front end's Cancel goes while the upload runs.
    CFlashXferHost& Host() { return host; }
    // The port of a session over one; null otherwise.
    const CPCSerial* Port() const { return adapter.get(); }

    // Opens `portName` and runs the upload over it; PortUnavailable (the
    // front end told) when it does not open. `kind` is the kind of the path
    // the user chose (not Unknown).
    Outcome Run(const std::string& portName, Kind kind);
    // The upload over the caller's channel.
    Outcome Run(Kind kind);
    // The upload sequence's own result in the last run (0 or more: success);
    // -1 when it did not get that far.
    int TransferResult() const { return transferResult; }
    // The last run's end, as its front end was told.
    const Result& LastResult() const { return result; }

private:
    bool OpenPort(const std::string& portName, SerialStreamError& refused);
    Outcome RunOverOpenChannel(Kind kind);
    int RunSteps(Kind kind);
    bool WaitForDevice(Kind kind);
    bool WaitForBitstreamDevice(int rc);
    bool WaitForFirmwareDevice(int rc);
    int Transfer(Kind kind);
    void TellDeviceUploadEnded();
    // Where the front end runs (and may ask for a stop) while the upload waits.
    void LetFrontEndRun();
    void ReportProgress(int percent);
    // The cartridge's answer ends the wait: what the line met until then
    // belongs to the wait.
    void NoteDeviceAnswered();
    Outcome OutcomeOf(int transferResult) const;
    void Finish(Outcome outcome);

    // Declared in this order so that the host goes before the adapter,
    // whose end closes the port.
    std::unique_ptr<CPCSerial> adapter;
    std::unique_ptr<CFlashXferHost> ownHost;
    CFlashXferHost& host;
    IFrontEnd& frontEnd;

    int transferResult = -1;
    // A stop was asked for during this run (the host forgets one that a
    // handshake consumed).
    bool stopAsked = false;
    Result result;
};
