#include "flash/flashxferhost.h"

#include <algorithm>
#include <climits>
#include <cstring>

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

bool IsOdd(uint32_t value)
{
    return (value & 1u) != 0;
}

// The same rule as the device's sum of its transfer buffer.
uint16_t ByteSum(const uint8_t* bytes, uint32_t count)
{
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

// The device's signed status at the message's read position. A reply too
// short to hold one counts as 0, as the device has always been read.
int StatusOf(CRpcMessage& message)
{
    uint32_t status = 0;
    if (message.GetU32(status) != 0)
        return 0;
    return static_cast<int32_t>(status);
}

} // namespace

CFlashXferHost::CFlashXferHost(IComm* channel, int retries)
    : QObject(nullptr), CRpc(channel, kLinkAttempts), retryCount(retries)
{
}

int CFlashXferHost::RangeProcedure(Procedure procedure, uint32_t address, uint32_t length)
{
    if (IsOdd(address) || IsOdd(length))
        return -1;
    CRpcMessage message(kMessageCapacity);
    int result = -1;
    for (int attempt = 0; attempt < Attempts(); ++attempt) {
        message.Reset();
        message.PutU32(address);
        message.PutU32(length);
        result = Call(procedure, message);
        if (result == Ok)
            return StatusOf(message);
    }
    return result;
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
    int result = -1;
    for (int attempt = 0; attempt < Attempts(); ++attempt) {
        message.Reset();
        message.PutU32(magic);
        result = Call(kHandshake, message);
        if (result == Ok)
            return StatusOf(message);
    }
    // A device that does not answer is what the user cancels while waiting
    // for the cartridge to boot.
    if (cancelRequested) {
        cancelRequested = false;
        return kCancelled;
    }
    return result;
}

int CFlashXferHost::FinishUpload(uint32_t value)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(value);
    return Call(kFinishUpload, message);
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
    return Call(kPrintText, message);
}

int CFlashXferHost::SetTransferState(uint8_t active, uint8_t failed)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU8(active);
    message.PutU8(failed);
    return Call(kSetTransferState, message);
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
    int result = -1;
    for (int attempt = 0; attempt < Attempts(); ++attempt) {
        message.Reset();
        message.PutU32(offset);
        result = message.PutBytes(chunk, static_cast<uint16_t>(size));
        if (result != 0)
            return result;
        result = Call(kLoadBuffer, message);
        if (result == Ok)
            return Ok;
    }
    return result;
}

int CFlashXferHost::DeviceChecksum(CRpcMessage& message, uint32_t count, uint16_t& sum)
{
    message.Reset();
    message.PutU32(count);
    const int called = Call(kGetBufferChecksum, message);
    if (called != Ok)
        return called;
    uint32_t status = 0;
    if (message.GetU32(status) != 0 || message.GetU16(sum) != 0)
        return -1;
    // A positive status is no less a refusal: the sum that came with it
    // cannot vouch for the buffer.
    const int32_t signedStatus = static_cast<int32_t>(status);
    if (signedStatus != 0)
        return signedStatus < 0 ? signedStatus : -1;
    return Ok;
}

// Sends the block chunk by chunk, then compares the device's sum of its
// buffer with the sum of what was sent.
CFlashXferHost::StagingResult CFlashXferHost::StagingAttempt(CRpcMessage& message, const uint8_t* data,
                                             uint32_t count)
{
    uint16_t sum = 0;
    for (uint32_t offset = 0; offset < count; offset += kChunkSize) {
        PrintText(".");
        const uint32_t size = std::min(count - offset, kChunkSize);
        // The progress signal runs the dialog's event processing: that is
        // where a click on Cancel reaches this host.
        ReportProgress(size);
        if (cancelRequested) {
            cancelRequested = false;
            return {-1, true};
        }
        sum = static_cast<uint16_t>(sum + ByteSum(data + offset, size));
        const int loaded = LoadChunk(message, offset, data + offset, size);
        if (loaded != Ok)
            return {loaded, true};
    }
    uint16_t deviceSum = 0;
    const int checked = DeviceChecksum(message, count, deviceSum);
    if (checked != Ok)
        return {checked, false};
    return {deviceSum == sum ? 0 : -1, false};
}

CFlashXferHost::StagingResult CFlashXferHost::StageBlock(CRpcMessage& message, const uint8_t* data, uint32_t count)
{
    StagingResult staging{-1, false};
    for (int attempt = 0; attempt < Attempts(); ++attempt) {
        staging = StagingAttempt(message, data, count);
        if (staging.abandoned || staging.result == 0)
            return staging;
    }
    return staging;
}

// A cartridge that restarted since its buffer was checked has lost the
// buffer, yet opens, erases and programs the range as asked, from whatever
// the buffer holds now. So the buffer is checked once more when only
// ProgramRange is left to come: a restart before this check shows as a
// wrong sum, one after it as a range that is no longer open.
int CFlashXferHost::ConfirmStillStaged(CRpcMessage& message, const Commit& commit)
{
    // A question about the buffer is answered as fast as any other.
    const TimeoutGuard queryTimeout(*this, commit.queryTimeoutMs);
    uint16_t deviceSum = 0;
    const int checked = DeviceChecksum(message, commit.count, deviceSum);
    if (checked != Ok)
        return checked;
    return deviceSum == commit.stagedSum ? Ok : -1;
}

int CFlashXferHost::CommitAttempt(CRpcMessage& message, const Commit& commit)
{
    int result = OpenRange(commit.address, commit.count);
    if (result < 0)
        return result;
    if (commit.erase) {
        result = EraseRange(commit.address, commit.count);
        if (result < 0)
            return result;
    }
    result = ConfirmStillStaged(message, commit);
    if (result != Ok)
        return result;
    message.Reset();
    message.PutU32(commit.address);
    message.PutU32(commit.count);
    result = Call(kProgramRange, message);
    if (result != Ok)
        return result;
    const int status = StatusOf(message);
    if (status < 0)
        CloseRange(commit.address, commit.count);
    return status;
}

int CFlashXferHost::CommitBlock(CRpcMessage& message, const Commit& commit)
{
    const TimeoutGuard commitTimeout(*this, kCommitTimeoutMs);
    int result = -1;
    for (int attempt = 0; attempt < Attempts(); ++attempt) {
        result = CommitAttempt(message, commit);
        if (result >= 0)
            return result;
    }
    return result;
}

int CFlashXferHost::WriteBlock(uint32_t address, const uint8_t* data, uint32_t count, bool erase)
{
    CRpcMessage message(kMessageCapacity);
    SetTransferState(1, 0);
    const StagingResult staging = StageBlock(message, data, count);
    if (staging.abandoned)
        return staging.result;
    int result = staging.result;
    if (result >= 0) {
        const Commit commit{address, count, erase, ByteSum(data, count), GetTimeout()};
        result = CommitBlock(message, commit);
    }
    SetTransferState(0, result < 0 ? 1 : 0);
    return result;
}

int CFlashXferHost::AskBufferSize(uint32_t& size)
{
    CRpcMessage message(kMessageCapacity);
    const int called = Call(kGetBufferSize, message);
    if (called != Ok)
        return called;
    return message.GetU32(size) == 0 ? Ok : -1;
}
