#pragma once
// The upload a user starts, from the wait for the cartridge to the word that
// the upload is over: the one sequence that every front end runs (the
// dialog, plemo-flash, the fault campaign), so that the cartridge cannot
// tell them apart.
//
//  1. Wait for the cartridge at a 200 ms reply time-out: one bitstream
//     handshake whatever the kind, then handshakes of the kind's own mode
//     until one is answered or the user cancels (firmware: two a cycle).
//     The wait has no limit of its own.
//  2. At a 1,000 ms reply time-out, the upload sequence of the kind:
//     UploadBitstream, or UploadFirmware from address 0 with erase.
//  3. FinishUpload, after a success and a failure alike; not after a
//     cancel during the wait.
// A failing line (a cable pulled out) ends the upload as a failed one.
#include <cstdint>
#include <string>

#include "flash/uploadfailure.h"
#include "rpc/rpc.h"

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
    enum class Outcome
    {
        Succeeded,
        Failed,
        Cancelled, // during the wait for the cartridge: nothing was written
    };

    // How an upload ended, and all a front end may want to show of it.
    struct Result
    {
        Outcome outcome = Outcome::Failed;
        // Why it failed (None after a success).
        UploadFailure failure;
        bool deviceAnswered = false;
        int64_t bytesSent = 0;    // handed to the cartridge, blocks staged again included
        int64_t bytesToSend = 0;  // what the upload sends once
        int64_t bytesWritten = 0; // confirmed programmed by the cartridge
        // What the link met while the cartridge was awaited, and from its
        // answer on.
        CRpc::Stats waitLine;
        CRpc::Stats transferLine;
        // The line's health over the whole upload: all it met, less what a
        // cartridge still booting made of the polls (those it ignored, and
        // the answers written off for them).
        CRpc::Stats line;
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
        // Before each chunk goes out: the bytes handed to the cartridge so
        // far, of those the upload sends.
        virtual void Progress(int64_t /*bytesSent*/, int64_t /*bytesToSend*/) {}
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

    CUploadSession(CFlashXferHost& host, IFrontEnd& frontEnd);
    // The same over a serial port: a write that waits for a far end that has
    // stopped taking bytes gives up once a stop has been asked for, instead
    // of holding the front end for the write's line time and allowance.
    CUploadSession(CFlashXferHost& host, IFrontEnd& frontEnd, CPCSerial& port);

    // `kind` is the kind of the path the user chose (not Unknown).
    Outcome Run(Kind kind);
    // The upload sequence's own result in the last run (0 or more: success);
    // -1 when it did not get that far.
    int TransferResult() const { return transferResult; }
    // The last run's end, as its front end was told.
    const Result& LastResult() const { return result; }

private:
    Outcome RunSteps(Kind kind);
    bool WaitForDevice(Kind kind);
    bool WaitForBitstreamDevice(int rc);
    bool WaitForFirmwareDevice(int rc);
    int Transfer(Kind kind);
    void TellDeviceUploadEnded();

    CFlashXferHost& host;
    IFrontEnd& frontEnd;
    CPCSerial* port = nullptr;
    void ReportProgress();
    // The cartridge's answer ends the wait: what the line met until then
    // belongs to the wait.
    void NoteDeviceAnswered();
    void Finish(Outcome outcome);

    int transferResult = -1;
    uint32_t owedAtAnswer = 0;
    Result result;
};
