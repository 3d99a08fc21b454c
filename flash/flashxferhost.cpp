#include "flash/flashxferhost.h"

#include <algorithm>
#include <climits>
#include <cstring>

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

// Lifts the link's wait limit on every way out of a call.
class WaitLimitGuard
{
public:
    WaitLimitGuard(CRpc& link, IComm::Time limit) : link(link) { link.SetWaitLimit(limit); }
    ~WaitLimitGuard() { link.SetWaitLimit(CRpc::NoWaitLimit()); }
    WaitLimitGuard(const WaitLimitGuard&) = delete;
    WaitLimitGuard& operator=(const WaitLimitGuard&) = delete;

private:
    CRpc& link;
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
    SetWaitHooks({[this] {
                      if (watcher)
                          watcher();
                  },
                  [this] { return GiveUpWaiting(); }});
    SetReplyShape([this](uint8_t procedure, uint16_t length) {
        return ReplyFits(procedure, length);
    });
}

// The data lengths each procedure's reply can have: the buffer checksum
// answers a status and a sum, the buffer size a size, nothing less; those
// with a status answer it, or, from a cartridge that has never answered
// one, nothing at all (which the lenient readings take for 0); the others
// answer no data. A reply of any other length is no answer to the call,
// but an earlier call's, late.
bool CFlashXferHost::ReplyFits(uint8_t procedure, uint16_t length) const
{
    switch (procedure) {
    case kGetBufferChecksum:
        return length == 6;
    case kGetBufferSize:
        return length == 4;
    case kProgramRange:
        // Taken in any case, to be refused at once with the range closed.
        return length == 0 || length == 4;
    case kEraseRange:
    case kCloseRange:
    case kOpenRange:
    case kHandshake:
        return length == 4 || (length == 0 && !answersStatus);
    case kLoadBuffer:
    case kFinishUpload:
    case kPrintText:
    case kSetTransferState:
        return length == 0;
    default:
        return true;
    }
}

// The device's signed status at the message's read position, where it only
// informs: a reply too short to hold one counts as 0, as the device has
// always been read.
int CFlashXferHost::StatusOf(CRpcMessage& message)
{
    uint32_t status = 0;
    if (message.GetU32(status) != 0)
        return 0;
    answersStatus = true;
    return static_cast<int32_t>(status);
}

void CFlashXferHost::Cancel()
{
    cancelRequested = true;
    stopRequested = true;
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
        if (!last.again || stopRequested)
            break;
    }
    return last;
}

int CFlashXferHost::Invoke(Procedure procedure, CRpcMessage& message)
{
    if (!stopRequested)
        return Call(procedure, message);
    const WaitLimitGuard limit(*this, Now() + std::chrono::milliseconds(kStoppingWaitMs));
    return Call(procedure, message);
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
    return Repeat([&]() -> Try {
               message.Reset();
               message.PutU32(address);
               message.PutU32(length);
               return TryForStatus(procedure, message);
           })
        .result;
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
        stopRequested = false;
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
    return Repeat([&]() -> Try {
               message.Reset();
               message.PutU32(offset);
               const int put = message.PutBytes(chunk, static_cast<uint16_t>(size));
               if (put != 0)
                   return {put, false};
               const int called = Invoke(kLoadBuffer, message);
               return {called, called != Ok};
           })
        .result;
}

int CFlashXferHost::AskBufferSum(CRpcMessage& message, uint32_t count, BufferSum& answer)
{
    message.Reset();
    message.PutU32(count);
    const int called = Invoke(kGetBufferChecksum, message);
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
    uint16_t sum = 0;
    for (uint32_t offset = 0; offset < count; offset += kChunkSize) {
        PrintText(".");
        const uint32_t size = std::min(count - offset, kChunkSize);
        // The progress signal runs the dialog's event processing: that is
        // where a click on Cancel reaches this host.
        ReportProgress(size);
        if (TakeCancel())
            return {-1, true};
        sum = static_cast<uint16_t>(sum + ByteSum(data + offset, size));
        const int loaded = LoadChunk(message, offset, data + offset, size);
        if (loaded != Ok) {
            // A cancel that broke off the chunk's wait ends the block as a
            // cancel before the chunk would have.
            return {TakeCancel() ? -1 : loaded, true};
        }
    }
    BufferSum answer;
    const int asked = AskBufferSum(message, count, answer);
    if (asked != Ok)
        return {asked, false};
    return {BufferVerdict(answer, sum), false};
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
    // A cartridge that restarted since its buffer was checked has lost the
    // buffer, yet opens, erases and programs the range as asked, from
    // whatever the buffer holds now. So the buffer is checked once more when
    // only ProgramRange is left to come: a restart before this check shows
    // as a wrong sum, one after it as a range that is no longer open. A
    // question about the buffer is answered as fast as any other.
    BufferSum answer;
    {
        const TimeoutGuard queryTimeout(*this, commit.queryTimeoutMs);
        result = AskBufferSum(message, commit.count, answer);
    }
    if (result != Ok)
        return result;
    if (BufferVerdict(answer, commit.stagedSum) != 0) {
        // Nothing can be programmed from it: the block is staged anew.
        CloseRange(commit.address, commit.count);
        bufferLost = true;
        return -1;
    }
    message.Reset();
    message.PutU32(commit.address);
    message.PutU32(commit.count);
    result = Invoke(kProgramRange, message);
    if (result != Ok)
        return result;
    const int status = RequiredStatusOf(message);
    if (status < 0)
        CloseRange(commit.address, commit.count);
    return status;
}

int CFlashXferHost::CommitBlock(CRpcMessage& message, const Commit& commit, int& attemptsLeft,
                                bool& bufferLost)
{
    const TimeoutGuard commitTimeout(*this, kCommitTimeoutMs);
    int result = -1;
    while (attemptsLeft > 0) {
        --attemptsLeft;
        result = CommitAttempt(message, commit, bufferLost);
        if (result >= 0 || bufferLost || stopRequested)
            break;
    }
    return result;
}

int CFlashXferHost::WriteBlock(uint32_t address, const uint8_t* data, uint32_t count, bool erase)
{
    // A block write begun with no cancel pending is its caller going on
    // after an earlier one was stopped: that stop is over.
    if (!cancelRequested)
        stopRequested = false;
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
        if (!bufferLost || commitAttemptsLeft == 0 || stopRequested)
            break;
    }
    // A cancel that broke off the commit is honoured here.
    if (result < 0 && TakeCancel())
        result = -1;
    SetTransferState(0, result < 0 ? 1 : 0);
    return result;
}

int CFlashXferHost::AskBufferSize(uint32_t& size)
{
    CRpcMessage message(kMessageCapacity);
    const int called = Invoke(kGetBufferSize, message);
    if (called != Ok)
        return called;
    return message.GetU32(size) == 0 ? Ok : -1;
}
