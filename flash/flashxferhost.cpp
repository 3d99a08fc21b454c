#include "flash/flashxferhost.h"

#include <algorithm>
#include <climits>
#include <cstring>


CFlashXferHost::CFlashXferHost(IComm* channel, int retries)
    : QObject(nullptr), CRpc(channel, kLinkAttempts), retryCount(retries)
{
}

// Bytes behind the status are the device's own business.
int CFlashXferHost::StatusOf(CRpcMessage& message, int missing)
{
    uint32_t status = 0;
    if (message.GetU32(status) != 0)
        return missing;
    return static_cast<int32_t>(status);
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
    if (Stop().InForce())
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
        NoteStatus(Procedure::GetBufferChecksum, answer.status, address, length);
        return;
    }
    const auto what = answer.complete ? UploadFailure::What::BufferMismatch
                                      : UploadFailure::What::UnusableReply;
    NoteFailure(UploadFailure::Of(what, NameOf(Procedure::GetBufferChecksum), -1).In(address, length));
}

void CFlashXferHost::NoteCancel()
{
    NoteFailure(UploadFailure::Of(UploadFailure::What::Cancelled));
}

int CFlashXferHost::Issue(Procedure procedure, CRpcMessage& message, const SumQuestion* question)
{
    const uint8_t number = NumberOf(procedure);
    if (question != nullptr && question->known) {
        NoteSumAsked(question->sum);
        return CallForKnownAnswer(number, message, KnownSumAnswer(question->sum));
    }
    const ProcedureFacts& facts = FactsOf(procedure);
    if (facts.answer == AnswerUse::Read) {
        const int ready = BringInStep([this] { return Probe(); });
        if (ready != Ok)
            return ready;
        // Every answer is in: no sum asked before can come back.
        sumsAsked.clear();
        // A probe may have loaded bytes of its own over the checked block:
        // then it must be checked again first.
        if (facts.buffer == BufferUse::ProgramsFromIt && buffer != BufferHolds::CheckedBlock)
            return kBufferDisturbed;
    }
    if (question != nullptr)
        NoteSumAsked(question->sum);
    return Call(number, message);
}

// A call that the link could not complete may be mended by another try;
// a status, whatever it says, is the device's answer.
CFlashXferHost::Try CFlashXferHost::TryForStatus(Procedure procedure, CRpcMessage& message)
{
    const int called = Issue(procedure, message);
    if (called != Ok)
        return {called, true};
    // A status that only informs: a reply too short to hold one counts as 0,
    // as the device has always been read.
    return {StatusOf(message, 0), false};
}

int CFlashXferHost::RangeProcedure(Procedure procedure, uint32_t address, uint32_t length)
{
    if (IsOdd(address) || IsOdd(length))
        return -1;
    CRpcMessage message(kMessageCapacity);
    const Try last = Repeat(FactsOf(procedure).attempts, [&]() -> Try {
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
    return RangeProcedure(Procedure::OpenRange, address, length);
}

int CFlashXferHost::CloseRange(uint32_t address, uint32_t length)
{
    return RangeProcedure(Procedure::CloseRange, address, length);
}

int CFlashXferHost::EraseRange(uint32_t address, uint32_t length)
{
    return RangeProcedure(Procedure::EraseRange, address, length);
}

int CFlashXferHost::Handshake(int mode)
{
    if (mode != kFirmwareMode && mode != kBitstreamMode)
        return -1;
    const uint32_t magic = mode == kFirmwareMode ? kFirmwareMagic : kBitstreamMagic;
    CRpcMessage message(kMessageCapacity);
    const Try last = Repeat(FactsOf(Procedure::Handshake).attempts, [&]() -> Try {
        message.Reset();
        message.PutU32(magic);
        return TryForStatus(Procedure::Handshake, message);
    });
    if (!last.again)
        return last.result;
    // A device that does not answer is what the user cancels while waiting
    // for the cartridge to boot; that ends what there was to stop.
    if (Stop().Honour()) {
        Stop().End();
        return kCancelled;
    }
    return last.result;
}

int CFlashXferHost::FinishUpload(uint32_t value)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(value);
    return Issue(Procedure::FinishUpload, message);
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
    return Issue(Procedure::PrintText, message);
}

int CFlashXferHost::SetTransferState(uint8_t active, uint8_t failed)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU8(active);
    message.PutU8(failed);
    return Issue(Procedure::SetTransferState, message);
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

int CFlashXferHost::AskBufferSize(uint32_t& size)
{
    CRpcMessage message(kMessageCapacity);
    const int called = Issue(Procedure::GetBufferSize, message);
    if (called != Ok) {
        NoteCallFailure(Procedure::GetBufferSize, called, 0, 0);
        return called;
    }
    if (message.GetU32(size) == 0)
        return Ok;
    NoteFailure(UploadFailure::Of(UploadFailure::What::UnusableReply, NameOf(Procedure::GetBufferSize), -1));
    return -1;
}
