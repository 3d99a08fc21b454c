#pragma once
// The host's side of the cartridge's flash-transfer service: each device
// procedure as a member operation, checksummed block writes with progress and
// cancellation, and the two upload sequences built on them. One host serves
// one upload over a channel it does not own.
//
// Results: 0 or a non-negative device status on success; negative on failure
// (-1 general, the link's -2..-4, a device's negative status, -100 when the
// user cancelled the handshake). Channel failures pass through as exceptions.
#include <cstdint>
#include <functional>
#include <ios>
#include <iosfwd>
#include <vector>

#include <QObject>

#include "flash/bitstream.h"
#include "flash/lineintegrity.h"
#include "flash/procedures.h"
#include "flash/uploadfailure.h"
#include "rpc/rpc.h"

class IComm;

class CFlashXferHost : public QObject, public CRpc
{
    Q_OBJECT

public:
    // Every call makes up to this many link attempts on damaged or late replies.
    static constexpr uint8_t kLinkAttempts = 4;
    // The most a LoadBuffer call carries: it keeps a call's message small.
    static constexpr uint32_t kChunkSize = 2048;
    // Erasing and programming a block takes the device far longer than any
    // other reply; the usual time-out is put back once the block is committed.
    static constexpr uint16_t kCommitTimeoutMs = 10000;
    // What the handshake tells the device about the coming upload.
    static constexpr int kFirmwareMode = 1;
    static constexpr int kBitstreamMode = 2;
    static constexpr uint32_t kFirmwareMagic = 0xC001F00D;
    static constexpr uint32_t kBitstreamMagic = 0xBAADF00D;
    // The device's transfer buffer is staged at 32-bit offsets and the host
    // holds one block in memory; a cartridge's buffer is a few KiB, so a
    // larger size means a confused device, not a request to honour.
    static constexpr uint32_t kMaxBufferSize = 1024 * 1024;
    // Each operation's own message starts this big; LoadBuffer grows it once.
    static constexpr uint32_t kMessageCapacity = 256;
    static constexpr int kCancelled = -100;

    // Where a ".bit" upload puts its flash image, and how it is laid out.
    static constexpr uint32_t kBitstreamAddress = 0x3C0000;
    static constexpr uint32_t kImageSize = 0x20000;
    static constexpr uint32_t kImageDataOffset = 0x380;
    static constexpr uint32_t kImageRecordOffset = kImageSize - BitstreamHeader::kStoredSize;
    // The configuration data goes between the image's erased lead-in and the
    // header record at its end; data reaching into the record would be lost.
    static constexpr uint32_t kImageDataRoom = kImageRecordOffset - kImageDataOffset;
    static constexpr uint8_t kErasedByte = 0xFF;

    // `retries` host-level attempts for each procedure sequence (at least 1).
    CFlashXferHost(IComm* channel, int retries);
    ~CFlashXferHost() override = default;

    // Range procedures: -1 without traffic for an odd address or length; a
    // device's negative status is returned at once, link failures repeated.
    int OpenRange(uint32_t address, uint32_t length);
    int CloseRange(uint32_t address, uint32_t length);
    int EraseRange(uint32_t address, uint32_t length);

    // Announces an upload: kFirmwareMode or kBitstreamMode, else -1 without
    // traffic. kCancelled when the device never answered and Cancel() came.
    int Handshake(int mode);

    // Sent once each; the link's result.
    int FinishUpload(uint32_t value);
    int PrintText(const char* text);
    int SetTransferState(uint8_t active, uint8_t failed);

    // Stages `count` bytes (at most the device's buffer) in the device's
    // transfer buffer, checks the device's sum of them and commits them to the
    // flash range at `address`, erasing it first when asked. The sum is asked
    // again right before programming: a device that restarted in between
    // has lost its buffer.
    int WriteBlock(uint32_t address, const uint8_t* data, uint32_t count, bool erase);

    // Asks the running operation to stop (the link's StopToken). A wait for
    // the device ends at once; a handshake then returns kCancelled, a block
    // write -1 before its next chunk (or once its commit has been broken
    // off), and the calls that follow wait no longer than
    // CRpc::kStoppingWaitMs each.
    void Cancel() { Stop().Ask(); }
    // A cancel asked for and not yet honoured.
    bool cancelRequested() const { return Stop().Pending(); }

    // The running upload's progress: the bytes handed to the device so far
    // (a block staged again counts again) and the bytes the upload sends.
    int32_t BytesSent() const { return bytesSent; }
    int32_t TransferSize() const { return totalSize; }

    // The first cause of the running upload's failure, if it failed; the
    // bytes the cartridge has confirmed programmed so far.
    const UploadFailure& Failure() const { return failure; }
    void NoteFailure(UploadFailure cause);
    void ClearFailure()
    {
        failure = {};
        bytesWritten = 0;
    }
    int64_t BytesWritten() const { return bytesWritten; }

    // Upload sequences.
    // Everything the stream holds, in blocks of the device's buffer size,
    // from `address` on. An odd final block is padded with one erased byte.
    int WriteStream(uint32_t address, std::istream& in, bool erase);
    int WriteMemory(uint32_t address, const uint8_t* data, uint32_t length, bool erase);
    // `path` is UTF-8.
    int UploadFirmware(uint32_t address, const char* path, bool erase);
    int UploadBitstream(const char* path);

signals:
    void UpdateProgressBar(int progressPercent);

private:
    // One try of a step the host repeats up to its attempt count: its result,
    // and whether another try may mend it.
    struct Try
    {
        int result;
        bool again;
    };
    // The one attempt loop of the host: `action` is tried until it says
    // another try cannot mend it, the attempts are used up, or a stop.
    template <class Action>
    Try Repeat(HostAttempts attempts, Action action)
    {
        Try last{-1, false};
        for (int attempt = 0; attempt < Attempts(attempts); ++attempt) {
            last = action();
            if (!last.again || Stop().InForce())
                break;
        }
        return last;
    }
    // A GetBufferChecksum's question: the sum the host expects, and whether
    // only the answer "status 0, that sum" is taken (flash/answerprobe.cpp).
    struct SumQuestion
    {
        uint16_t sum;
        bool known;
    };
    // Issue's word that ProgramRange was not sent: the buffer must be
    // checked again first. No link result.
    static constexpr int kBufferDisturbed = 1;
    // Every call of the host goes out here, as the procedure's row in the
    // table says.
    int Issue(Procedure procedure, CRpcMessage& message, const SumQuestion* question = nullptr);
    // One try of a procedure that answers with its status.
    Try TryForStatus(Procedure procedure, CRpcMessage& message);
    // The device's signed status at the message's read position; `missing`
    // when the reply is too short to hold one.
    static int StatusOf(CRpcMessage& message, int missing);
    int RangeProcedure(Procedure procedure, uint32_t address, uint32_t length);

    // The block write (flash/blockwrite.cpp).
    // What the device's transfer buffer holds, as far as the host knows.
    enum class BufferHolds
    {
        Unknown,
        Block,        // the block being written, not yet confirmed by the device's sum
        CheckedBlock, // the same, its sum confirmed
    };
    // Where a block write goes from each step.
    enum class Next
    {
        Stage,   // stage the block (again) from offset 0
        Commit,  // open, erase, check and program the range (again)
        Done,    // programmed
        GiveUp,  // failed; the cartridge is told the write is over
        Abandon, // a chunk that could not be sent, or a cancel: ends at once
    };
    struct Step
    {
        Next next;
        int result;
    };
    // The block being written.
    struct Block
    {
        const uint8_t* data = nullptr;
        uint32_t address = 0;
        uint32_t count = 0;
        bool erase = false;
        uint16_t sum = 0;            // the host's sum of it
        uint16_t queryTimeoutMs = 0; // the caller's time-out, for the buffer checks
    };
    // The staging (flash/staging.cpp).
    Step StagingAttempt(CRpcMessage& message);
    static constexpr int kChunkCancelled = 2; // no link result
    int SendChunk(CRpcMessage& message, uint32_t offset, uint32_t size);
    bool MaySendAgain(int loaded, int& retries);
    void NoteChunkFailure(int loaded, uint32_t offset, uint32_t size);
    enum class Noted
    {
        Yes,
        No,
    };
    int CheckPrefix(CRpcMessage& message, uint32_t length, Noted noted = Noted::Yes);
    Step CheckRuns(CRpcMessage& message, int retries);
    Step CommitAttempt(CRpcMessage& message);
    Step ProgramCheckedBlock(CRpcMessage& message);
    Step ProgramStatus(CRpcMessage& message);
    int LoadChunk(CRpcMessage& message, uint32_t offset, const uint8_t* chunk, uint32_t size);
    // What the device says of its buffer: its status and its sum.
    struct BufferSum
    {
        bool complete = false; // the reply held both
        int32_t status = 0;
        uint16_t sum = 0;
    };
    // The link's result; on success `answer` holds the device's word on the
    // first `count` bytes of its buffer, which should sum to `expected`.
    int AskBufferSum(CRpcMessage& message, uint32_t count, uint16_t expected, BufferSum& answer);
    // 0 when the device holds exactly the block that sums to `expected`;
    // its negative status, or -1, when it does not.
    static int BufferVerdict(const BufferSum& answer, uint16_t expected);

    // Telling the device's answers apart (flash/answerprobe.cpp): the
    // probe the link makes while its answers are out of step, a call of
    // GetBufferChecksum whose answer the host knows in advance.
    int Probe();
    // Whether (0, `sum`) cannot be mistaken for any answer still on its
    // way: no checksum asked since the answers were last all in had that
    // sum, and it is not what a status of 0 padded with zeros looks like.
    bool Distinctive(uint16_t sum) const;
    // The longest prefix of the confirmed block with a distinctive sum; 0 for none.
    uint32_t DistinctivePrefix(uint16_t& sum) const;
    // A distinctive sum for two bytes the host loads itself, other than `avoid`.
    uint16_t NextProbeSum(uint16_t avoid);
    void NoteSumAsked(uint16_t sum);
    // What a checksum reply that says "status 0, sum `sum`" begins with.
    static std::vector<uint8_t> KnownSumAnswer(uint16_t sum);
    int AskKnownSum(uint32_t length, uint16_t sum);
    int LoadBytes(uint32_t offset, const uint8_t* bytes, uint32_t size);

    int AskBufferSize(uint32_t& size);
    void ReportProgress(uint32_t chunkSize);
    int Attempts(HostAttempts attempts) const
    {
        return attempts == HostAttempts::Once || retryCount < 1 ? 1 : retryCount;
    }
    // A call of `procedure` that the link could not complete (`linkResult`),
    // or that ended in the cartridge's failing `status`.
    void NoteCallFailure(Procedure procedure, int linkResult, uint32_t address, uint32_t length);
    void NoteStatus(Procedure procedure, int32_t status, uint32_t address, uint32_t length);
    void NoteBufferVerdict(const BufferSum& answer, uint32_t address, uint32_t length);
    void NoteCancel();
    static bool IsOdd(uint64_t value) { return (value & 1u) != 0; }

    // Upload sequence steps.
    int WritePiece(uint32_t address, std::vector<uint8_t>& piece, uint32_t count, bool erase);
    static bool PieceFits(uint32_t address, uint32_t count);
    // Where a stream write began: the flash address and the stream's position.
    struct Origin
    {
        uint32_t address;
        std::streampos position;
    };
    int WriteAgainUnchecked(std::istream& in, const Origin& origin,
                            const std::vector<uint32_t>& unchecked, std::vector<uint8_t>& piece,
                            bool erase);
    void PrintUploadHeader(const char* path, int32_t fileSize);
    int SendImage(const uint8_t* image);

    int32_t retryCount;
    // The divisor of the progress percentage: the bytes the upload will send.
    int32_t totalSize = 0;
    // Bytes handed to the device so far, repeated chunks included.
    int32_t bytesSent = 0;
    UploadFailure failure;
    int64_t bytesWritten = 0;
    // What the running stream write has read of its input.
    uint64_t bytesRead = 0;

    Block block;
    BufferHolds buffer = BufferHolds::Unknown;
    // Where the running staging's chunks began.
    std::vector<uint32_t> chunkStarts;
    // Whether the cartridge answered the text that went before the last
    // chunk, and whether that chunk's own frame was refused or unanswered.
    bool dotAnswered = false;
    bool chunkFrameHurt = false;
    // Whether the last block confirmed had the sums of prefixes the line
    // asked for (none on a line that had shown no damage).
    bool lastBlockChecked = false;
    // Blocks are being written a second time, checked.
    bool writingAgain = false;
    LineIntegrity integrity;
    // Sums of the checksums asked since the answers were last all in: any
    // of them may still come back.
    std::vector<uint16_t> sumsAsked;
    uint16_t lastProbeSum = 0;
};
