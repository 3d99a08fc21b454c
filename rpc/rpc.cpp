#include "rpc/rpc.h"

#include "serial/comm.h"

namespace {

uint16_t ByteSum(const uint8_t* bytes, uint32_t count)
{
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

constexpr uint32_t kHeaderPayload = 3; // code or procedure (1) + length (2)

} // namespace

CRpc::CRpc(IComm* channel, uint8_t retries)
    : channel(channel), header(kHeaderPayload), retries(retries)
{
}

void CRpc::WriteByte(uint8_t byte)
{
    channel->Write(&byte, 1, kWriteTimeoutMs);
}

int CRpc::ReadByte(uint8_t& byte, uint16_t timeoutMs)
{
    return channel->Read(&byte, 1, timeoutMs) == 1 ? Ok : TimedOut;
}

int CRpc::SendFrame(int kind, CRpcMessage& message)
{
    if (CarriesSync(kind)) {
        for (int shift = 0; shift < 32; shift += 8)
            WriteByte(static_cast<uint8_t>(kSyncWord >> shift));
    }
    channel->Write(message.Data(), message.Length(), kWriteTimeoutMs);
    const uint16_t sum = ByteSum(message.Data(), message.Length());
    WriteByte(static_cast<uint8_t>(sum));
    WriteByte(static_cast<uint8_t>(sum >> 8));
    return Ok;
}

int CRpc::HuntSync(uint16_t firstByteTimeout, uint16_t timeoutMs)
{
    uint8_t byte = 0;
    if (ReadByte(byte, firstByteTimeout) != Ok)
        return TimedOut;
    uint32_t window = static_cast<uint32_t>(byte) << 24;
    // The sync word's own four bytes are not babble: the hunt may read that
    // many beyond the bound.
    const uint32_t mostBytesRead = kMaxSyncHuntBytes + sizeof kSyncWord;
    uint32_t bytesRead = 1;
    while (window != kSyncWord) {
        if (bytesRead == mostBytesRead)
            return TimedOut;
        if (ReadByte(byte, timeoutMs) != Ok)
            return TimedOut;
        ++bytesRead;
        window = window >> 8 | static_cast<uint32_t>(byte) << 24;
    }
    return Ok;
}

int CRpc::ReceiveFrame(int kind, CRpcMessage& message, uint16_t count, uint16_t firstByteTimeout,
                       uint16_t timeoutMs)
{
    message.BeginAppend();
    if (message.Reserve(count) != 0)
        return MessageTooLarge;
    if (CarriesSync(kind)) {
        const int hunt = HuntSync(firstByteTimeout, timeoutMs);
        if (hunt != Ok)
            return hunt;
    }
    if (channel->Read(message.End(), count, timeoutMs) != count)
        return TimedOut;
    const uint16_t computed = ByteSum(message.End(), count);
    message.Advance(count);

    uint8_t low = 0;
    uint8_t high = 0;
    if (ReadByte(low, timeoutMs) != Ok || ReadByte(high, timeoutMs) != Ok)
        return TimedOut;
    const uint16_t received = static_cast<uint16_t>(low | high << 8);
    return received == computed ? Ok : ChecksumMismatch;
}

void CRpc::DiscardStaleInput()
{
    uint8_t scratch[64];
    uint32_t dropped = 0;
    while (dropped < kMaxStaleBytes) {
        const int32_t got = channel->Read(scratch, sizeof scratch, 0);
        if (got <= 0)
            return;
        dropped += static_cast<uint32_t>(got);
    }
}

void CRpc::DropOwedAnswers()
{
    answersMayBeOwed = false;
    uint8_t scratch[64];
    uint32_t dropped = 0;
    while (dropped < kMaxOwedAnswerBytes) {
        // What is there already, then one byte more if it comes in time.
        int32_t got = channel->Read(scratch, sizeof scratch, 0);
        if (got <= 0)
            got = channel->Read(scratch, 1, kOwedAnswerQuietMs);
        if (got <= 0)
            return;
        dropped += static_cast<uint32_t>(got);
    }
}

int CRpc::Call(uint8_t procedure, CRpcMessage& message)
{
    const uint32_t argumentLength = message.Length();
    uint8_t attempts = 0;
    int requestRepeats = 0;
    // Attempts within this call repeat the same request, so an owed answer
    // that arrives during one of them answers it rightly; only a new call
    // must not hear it.
    if (answersMayBeOwed)
        DropOwedAnswers();
    for (;;) {
        DiscardStaleInput();
        header.Reset();
        header.PutU8(procedure);
        header.PutU16(message.Length());
        SendFrame(kHeaderFrame, header);
        SendFrame(kArgumentFrame, message);

        header.Reset();
        int result = ReceiveFrame(kHeaderFrame, header, kHeaderPayload, timeout, timeout);
        if (result == Ok) {
            uint8_t code = 0;
            uint16_t replyLength = 0;
            header.GetU8(code);
            header.GetU16(replyLength);
            if (code == kSendAgain) {
                if (++requestRepeats > kMaxRequestRepeats)
                    return BadReplyCode;
                continue;
            }
            if (code != kReplyFollows)
                return BadReplyCode;
            result = ReceiveFrame(kReplyDataFrame, message, replyLength, timeout, timeout);
        }
        if (result == TimedOut)
            answersMayBeOwed = true;
        if (result != ChecksumMismatch && result != TimedOut)
            return result;
        if (++attempts >= retries)
            return result;
        message.Truncate(argumentLength);
    }
}
