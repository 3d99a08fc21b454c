#include "flash/flashxferhost.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "rpc/bytesum.h"

namespace {

// Puts the link's reply time-out back on every way out of a scope,
// exceptions included.
class TimeoutGuard
{
public:
    TimeoutGuard(CRpc& link, uint16_t timeoutMs) : link(link), saved(link.GetTimeout())
    {
        link.SetTimeout(timeoutMs);
    }
    ~TimeoutGuard() { link.SetTimeout(saved); }
    TimeoutGuard(const TimeoutGuard&) = delete;
    TimeoutGuard& operator=(const TimeoutGuard&) = delete;

private:
    CRpc& link;
    uint16_t saved;
};

// Runs `action` on every way out of a scope, exceptions included.
template <class Action>
class ScopeExit
{
public:
    explicit ScopeExit(Action action) : action(std::move(action)) {}
    ~ScopeExit() { action(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action;
};

// The status of a procedure whose status is its whole answer: a reply
// without one has not said that the work was done.
int RequiredStatusOf(CRpcMessage& message)
{
    uint32_t status = 0;
    if (message.GetU32(status) != 0)
        return -1;
    return static_cast<int32_t>(status);
}

} // namespace

CFlashXferHost::CFlashXferHost(IComm* channel, int retries)
    : QObject(nullptr), CRpc(channel, kLinkAttempts), retryCount(retries)
{
}

// The device's signed status at the message's read position, where it only
// informs: a reply too short to hold one counts as 0, as the device has
// always been read. Bytes behind it are the device's own business.
int CFlashXferHost::StatusOf(CRpcMessage& message)
{
    uint32_t status = 0;
    if (message.GetU32(status) != 0)
        return 0;
    return static_cast<int32_t>(status);
}

// The stop path. A click on Cancel lands here (through the front end's
// event processing, which the link runs while it waits and the progress
// signal runs between chunks). The link ends the wait in progress at once
// and keeps the calls that close the upload short; the request itself is
// honoured where the upload can end: before the next chunk of a block write
// (-1), or by a handshake that got no answer (kCancelled).
const char* CFlashXferHost::NameOf(uint8_t procedure)
{
    switch (procedure) {
    case kLoadBuffer: return "LoadBuffer";
    case kProgramRange: return "ProgramRange";
    case kEraseRange: return "EraseRange";
    case kCloseRange: return "CloseRange";
    case kOpenRange: return "OpenRange";
    case kGetBufferSize: return "GetBufferSize";
    case kGetBufferChecksum: return "GetBufferChecksum";
    case kFinishUpload: return "FinishUpload";
    case kPrintText: return "PrintText";
    case kHandshake: return "Handshake";
    case kSetTransferState: return "SetTransferState";
    default: return "an unknown procedure";
    }
}

// The first cause is kept: what follows a failure (the texts and the word
// that close the upload) fails for the same reason, or for none.
void CFlashXferHost::NoteFailure(UploadFailure cause)
{
    if (!failure.Failed())
        failure = std::move(cause);
}

void CFlashXferHost::NoteCallFailure(Procedure procedure, int linkResult, uint32_t address,
                                     uint32_t length)
{
    using What = UploadFailure::What;
    What what = What::UnusableReply;
    if (StopRequested())
        what = What::Cancelled;
    else if (linkResult == TimedOut)
        what = What::NoAnswer;
    else if (linkResult == ChecksumMismatch)
        what = What::DamagedReplies;
    NoteFailure(UploadFailure::Of(what, NameOf(procedure), linkResult).In(address, length));
}

void CFlashXferHost::NoteStatus(Procedure procedure, int32_t status, uint32_t address,
                                uint32_t length)
{
    NoteFailure(UploadFailure::Of(UploadFailure::What::DeviceStatus, NameOf(procedure), status)
                    .In(address, length));
}

void CFlashXferHost::NoteBufferVerdict(const BufferSum& answer, uint32_t address, uint32_t length)
{
    if (answer.complete && answer.status != 0) {
        NoteStatus(kGetBufferChecksum, answer.status, address, length);
        return;
    }
    const auto what = answer.complete ? UploadFailure::What::BufferMismatch
                                      : UploadFailure::What::UnusableReply;
    NoteFailure(UploadFailure::Of(what, NameOf(kGetBufferChecksum), -1).In(address, length));
}

void CFlashXferHost::Cancel()
{
    cancelRequested = true;
    RequestStop();
}

bool CFlashXferHost::TakeCancel()
{
    if (!cancelRequested)
        return false;
    cancelRequested = false;
    return true;
}

// The one attempt loop of the host: `step` is tried until it says another
// try cannot mend it, the attempts are used up, or the user stops.
template <class Step>
CFlashXferHost::Try CFlashXferHost::Repeat(Step step)
{
    Try last{-1, false};
    for (int attempt = 0; attempt < Attempts(); ++attempt) {
        last = step();
        if (!last.again || StopRequested())
            break;
    }
    return last;
}

int CFlashXferHost::Invoke(Procedure procedure, CRpcMessage& message)
{
    switch (procedure) {
    case kLoadBuffer:
    case kPrintText:
    case kSetTransferState:
    case kFinishUpload:
    // A handshake is answered only by a cartridge that is there; which of
    // the polls it answered does not matter.
    case kHandshake:
        return Call(procedure, message);
    default:
        break;
    }
    const int ready = ReadyForAnswer();
    return ready != Ok ? ready : Call(procedure, message);
}

// A call that the link could not complete may be mended by another try;
// a status, whatever it says, is the device's answer.
CFlashXferHost::Try CFlashXferHost::TryForStatus(Procedure procedure, CRpcMessage& message)
{
    const int called = Invoke(procedure, message);
    if (called != Ok)
        return {called, true};
    return {StatusOf(message), false};
}

int CFlashXferHost::RangeProcedure(Procedure procedure, uint32_t address, uint32_t length)
{
    if (IsOdd(address) || IsOdd(length))
        return -1;
    CRpcMessage message(kMessageCapacity);
    const Try last = Repeat([&]() -> Try {
        message.Reset();
        message.PutU32(address);
        message.PutU32(length);
        return TryForStatus(procedure, message);
    });
    if (last.again)
        NoteCallFailure(procedure, last.result, address, length);
    else if (last.result < 0)
        NoteStatus(procedure, last.result, address, length);
    return last.result;
}

int CFlashXferHost::OpenRange(uint32_t address, uint32_t length)
{
    return RangeProcedure(kOpenRange, address, length);
}

int CFlashXferHost::CloseRange(uint32_t address, uint32_t length)
{
    return RangeProcedure(kCloseRange, address, length);
}

int CFlashXferHost::EraseRange(uint32_t address, uint32_t length)
{
    return RangeProcedure(kEraseRange, address, length);
}

int CFlashXferHost::Handshake(int mode)
{
    if (mode != kFirmwareMode && mode != kBitstreamMode)
        return -1;
    const uint32_t magic = mode == kFirmwareMode ? kFirmwareMagic : kBitstreamMagic;
    CRpcMessage message(kMessageCapacity);
    const Try last = Repeat([&]() -> Try {
        message.Reset();
        message.PutU32(magic);
        return TryForStatus(kHandshake, message);
    });
    if (!last.again)
        return last.result;
    // A device that does not answer is what the user cancels while waiting
    // for the cartridge to boot; that ends what there was to stop.
    if (TakeCancel()) {
        EndStop();
        return kCancelled;
    }
    return last.result;
}

int CFlashXferHost::FinishUpload(uint32_t value)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(value);
    return Invoke(kFinishUpload, message);
}

int CFlashXferHost::PrintText(const char* text)
{
    // The device gets the terminating NUL too.
    const std::size_t size = std::strlen(text) + 1;
    if (size > CRpcMessage::kMaxLength - 2)
        return -1;
    CRpcMessage message(kMessageCapacity);
    const int put = message.PutBytes(text, static_cast<uint16_t>(size));
    if (put != 0)
        return put;
    return Invoke(kPrintText, message);
}

int CFlashXferHost::SetTransferState(uint8_t active, uint8_t failed)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU8(active);
    message.PutU8(failed);
    return Invoke(kSetTransferState, message);
}

void CFlashXferHost::ReportProgress(uint32_t chunkSize)
{
    bytesSent = static_cast<int32_t>(
        std::min<int64_t>(static_cast<int64_t>(bytesSent) + chunkSize, INT32_MAX));
    // Not clamped: a block staged again counts again, as it is sent again.
    int percent = 0;
    if (totalSize > 0)
        percent = static_cast<int>(static_cast<double>(bytesSent) / totalSize * 100.0);
    emit UpdateProgressBar(percent);
}

int CFlashXferHost::LoadChunk(CRpcMessage& message, uint32_t offset, const uint8_t* chunk,
                              uint32_t size)
{
    const Try last = Repeat([&]() -> Try {
        message.Reset();
        message.PutU32(offset);
        const int put = message.PutBytes(chunk, static_cast<uint16_t>(size));
        if (put != 0)
            return {put, false};
        const int called = Invoke(kLoadBuffer, message);
        return {called, called != Ok};
    });
    if (last.result != Ok)
        NoteCallFailure(kLoadBuffer, last.result, blockAddress + offset, size);
    return last.result;
}

int CFlashXferHost::AskBufferSum(CRpcMessage& message, uint32_t count, uint16_t expected,
                                 BufferSum& answer)
{
    message.Reset();
    message.PutU32(count);
    // Whose answer it is does not matter when the answers are in step; when
    // they are not, an answer with the expected sum can only be this call's,
    // unless a checksum still on its way carries the same.
    int called = Ok;
    if (!AnswersInStep() && Distinctive(expected)) {
        NoteSumAsked(expected);
        called = CallForKnownAnswer(kGetBufferChecksum, message, KnownSumAnswer(expected));
    } else {
        // Noted once the answers are in step: getting there forgets the
        // sums asked before.
        called = ReadyForAnswer();
        if (called == Ok) {
            NoteSumAsked(expected);
            called = Call(kGetBufferChecksum, message);
        }
    }
    if (AllAnswered())
        sumsAsked.clear();
    if (called != Ok)
        return called;
    uint32_t status = 0;
    answer.complete = message.GetU32(status) == 0 && message.GetU16(answer.sum) == 0;
    answer.status = static_cast<int32_t>(status);
    return Ok;
}

int CFlashXferHost::BufferVerdict(const BufferSum& answer, uint16_t expected)
{
    if (!answer.complete)
        return -1;
    // A positive status is no less a refusal: the sum that came with it
    // cannot vouch for the buffer.
    if (answer.status != 0)
        return answer.status < 0 ? answer.status : -1;
    return answer.sum == expected ? 0 : -1;
}

// Sends the block chunk by chunk, then compares the device's sum of its
// buffer with the sum of what was sent.
CFlashXferHost::StagingResult CFlashXferHost::StagingAttempt(CRpcMessage& message,
                                                             const uint8_t* data, uint32_t count)
{
    bufferContent = BufferContent::Block;
    uint16_t sum = 0;
    for (uint32_t offset = 0; offset < count; offset += kChunkSize) {
        PrintText(".");
        const uint32_t size = std::min(count - offset, kChunkSize);
        // The progress signal runs the dialog's event processing: that is
        // where a click on Cancel reaches this host.
        ReportProgress(size);
        if (TakeCancel()) {
            NoteFailure(UploadFailure::Of(UploadFailure::What::Cancelled));
            return {-1, true};
        }
        sum = static_cast<uint16_t>(sum + ByteSum(data + offset, size));
        const int loaded = LoadChunk(message, offset, data + offset, size);
        if (loaded != Ok) {
            // A cancel that broke off the chunk's wait ends the block as a
            // cancel before the chunk would have (and the failure noted is
            // a cancel: the stop was asked for when it was noted).
            return {TakeCancel() ? -1 : loaded, true};
        }
    }
    BufferSum answer;
    const int asked = AskBufferSum(message, count, sum, answer);
    if (asked != Ok) {
        NoteCallFailure(kGetBufferChecksum, asked, blockAddress, count);
        return {asked, false};
    }
    const int verdict = BufferVerdict(answer, sum);
    if (verdict != 0)
        NoteBufferVerdict(answer, blockAddress, count);
    // A sum asked after the host overwrote part of the block (to tell the
    // answers apart) confirms nothing.
    if (verdict != 0 || bufferContent != BufferContent::Block)
        return {verdict != 0 ? verdict : -1, false};
    bufferContent = BufferContent::CheckedBlock;
    return {0, false};
}

CFlashXferHost::StagingResult CFlashXferHost::StageBlock(CRpcMessage& message,
                                                         const uint8_t* data, uint32_t count)
{
    StagingResult staging{-1, false};
    Repeat([&]() -> Try {
        staging = StagingAttempt(message, data, count);
        return {staging.result, !staging.abandoned && staging.result != 0};
    });
    return staging;
}

int CFlashXferHost::CommitAttempt(CRpcMessage& message, const Commit& commit, bool& bufferLost)
{
    int result = OpenRange(commit.address, commit.count);
    if (result < 0)
        return result;
    if (commit.erase) {
        result = EraseRange(commit.address, commit.count);
        if (result < 0)
            return result;
    }
    return ProgramCheckedBlock(message, commit, bufferLost);
}

// A cartridge that restarted since its buffer was checked has lost the
// buffer, yet opens, erases and programs the range as asked, from whatever
// the buffer holds now. So the buffer is checked once more when only
// ProgramRange is left to come: a restart before this check shows as a
// wrong sum, one after it as a range that is no longer open. A question
// about the buffer is answered as fast as any other. ProgramRange's status
// is taken only when every earlier answer is in, and only while the host
// has not touched the checked buffer since (telling answers apart may load
// two bytes of its own): otherwise the buffer is checked again.
int CFlashXferHost::ProgramCheckedBlock(CRpcMessage& message, const Commit& commit,
                                        bool& bufferLost)
{
    constexpr int kMostChecks = 3;
    for (int check = 0; check < kMostChecks; ++check) {
        BufferSum answer;
        int result = Ok;
        {
            const TimeoutGuard queryTimeout(*this, commit.queryTimeoutMs);
            result = AskBufferSum(message, commit.count, commit.stagedSum, answer);
        }
        if (result != Ok) {
            NoteCallFailure(kGetBufferChecksum, result, commit.address, commit.count);
            return result;
        }
        if (BufferVerdict(answer, commit.stagedSum) != 0) {
            // Nothing can be programmed from it: the block is staged anew.
            NoteBufferVerdict(answer, commit.address, commit.count);
            CloseRange(commit.address, commit.count);
            bufferLost = true;
            return -1;
        }
        bufferContent = BufferContent::CheckedBlock;
        result = ReadyForAnswer();
        if (result == Ok && bufferContent != BufferContent::CheckedBlock)
            continue;
        message.Reset();
        message.PutU32(commit.address);
        message.PutU32(commit.count);
        if (result == Ok)
            result = Call(kProgramRange, message);
        if (result != Ok) {
            NoteCallFailure(kProgramRange, result, commit.address, commit.count);
            return result;
        }
        const bool statusAnswered = message.Unread() >= 4;
        const int status = RequiredStatusOf(message);
        if (status < 0) {
            if (!statusAnswered)
                NoteFailure(UploadFailure::Of(UploadFailure::What::UnusableReply,
                                              NameOf(kProgramRange), -1)
                                .In(commit.address, commit.count));
            else
                NoteStatus(kProgramRange, status, commit.address, commit.count);
            CloseRange(commit.address, commit.count);
        } else {
            bytesWritten += commit.count;
        }
        return status;
    }
    return -1;
}

int CFlashXferHost::CommitBlock(CRpcMessage& message, const Commit& commit, int& attemptsLeft,
                                bool& bufferLost)
{
    const TimeoutGuard commitTimeout(*this, kCommitTimeoutMs);
    int result = -1;
    while (attemptsLeft > 0) {
        --attemptsLeft;
        result = CommitAttempt(message, commit, bufferLost);
        if (result >= 0 || bufferLost || StopRequested())
            break;
    }
    return result;
}

int CFlashXferHost::WriteBlock(uint32_t address, const uint8_t* data, uint32_t count, bool erase)
{
    // A block write begun with no cancel pending is its caller going on
    // after an earlier one was stopped: that stop is over.
    if (!cancelRequested)
        EndStop();
    blockData = data;
    blockAddress = address;
    blockCount = count;
    const ScopeExit forget([this] { ForgetBlock(); });
    CRpcMessage message(kMessageCapacity);
    SetTransferState(1, 0);
    const Commit commit{address, count, erase, ByteSum(data, count), GetTimeout()};
    // Every commit attempt counts, also one that found the buffer lost and
    // sent the block to be staged again.
    int commitAttemptsLeft = Attempts();
    int result = -1;
    for (;;) {
        const StagingResult staging = StageBlock(message, data, count);
        if (staging.abandoned)
            return staging.result;
        result = staging.result;
        if (result < 0)
            break;
        bool bufferLost = false;
        result = CommitBlock(message, commit, commitAttemptsLeft, bufferLost);
        if (!bufferLost || commitAttemptsLeft == 0 || StopRequested())
            break;
    }
    // A cancel that broke off the commit is honoured here.
    if (result < 0 && TakeCancel()) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::Cancelled));
        result = -1;
    }
    SetTransferState(0, result < 0 ? 1 : 0);
    return result;
}

int CFlashXferHost::AskBufferSize(uint32_t& size)
{
    CRpcMessage message(kMessageCapacity);
    const int called = Invoke(kGetBufferSize, message);
    if (called != Ok) {
        NoteCallFailure(kGetBufferSize, called, 0, 0);
        return called;
    }
    if (message.GetU32(size) == 0)
        return Ok;
    NoteFailure(UploadFailure::Of(UploadFailure::What::UnusableReply, NameOf(kGetBufferSize), -1));
    return -1;
}
