#include "rpc/rpc.h"

#include <algorithm>

#include "rpc/bytesum.h"

namespace {

using Time = IComm::Time;

constexpr uint32_t kHeaderPayload = 3; // code or procedure (1) + length (2)
constexpr uint32_t kFrameSumBytes = 2;
// ReceiveReply's words for "send again" and for an answer that was not the
// call's own: not results any caller sees.
constexpr int kAskedAgain = 1;
constexpr int kStrayAnswer = 2;

} // namespace

// Makes `reply` the wait the link's reads measure themselves by, for one
// scope; a null `reply` leaves the wait in force as it is.
class CRpc::ActiveWait
{
public:
    ActiveWait(CRpc& link, ReplyWait* reply) : link(link), saved(link.wait)
    {
        if (reply != nullptr)
            link.wait = reply;
    }
    ~ActiveWait() { link.wait = saved; }
    ActiveWait(const ActiveWait&) = delete;
    ActiveWait& operator=(const ActiveWait&) = delete;

private:
    CRpc& link;
    ReplyWait* saved;
};

CRpc::CRpc(IComm* channel, uint8_t retries)
    : channel(channel), header(kHeaderPayload), retries(retries)
{
}

void CRpc::WriteByte(uint8_t byte)
{
    channel->Write(&byte, 1, kWriteTimeoutMs);
    ++stats.bytesSent;
}

int CRpc::SendFrame(int kind, CRpcMessage& message)
{
    if (CarriesSync(kind)) {
        for (int shift = 0; shift < 32; shift += 8)
            WriteByte(static_cast<uint8_t>(kSyncWord >> shift));
    }
    channel->Write(message.Data(), message.Length(), kWriteTimeoutMs);
    stats.bytesSent += message.Length();
    const uint16_t sum = ByteSum(message.Data(), message.Length());
    WriteByte(static_cast<uint8_t>(sum));
    WriteByte(static_cast<uint8_t>(sum >> 8));
    return Ok;
}

// --- Waiting -------------------------------------------------------------------------

Time CRpc::Deadline() const
{
    return wait->base + channel->TransferTime(wait->lineBytes);
}

Time CRpc::ReadEnd(uint16_t timeoutMs, uint32_t count) const
{
    return Now() + Milliseconds(timeoutMs) + channel->TransferTime(count);
}

void CRpc::RunWhileWaiting()
{
    const Time now = Now();
    if (now - lastWhileWaiting < Milliseconds(kWhileWaitingIntervalMs))
        return;
    lastWhileWaiting = now;
    if (whileWaiting)
        whileWaiting();
}

bool CRpc::CallStopsAt(Time now)
{
    // A stop asked for during this call ends its wait here; one in force
    // before it leaves it until its short limit.
    if (!callStop.stopped &&
        (now >= callStop.limit || (stop.InForce() && !callStop.inForceBefore))) {
        callStop.stopped = true;
        ++stats.givenUp;
    }
    return callStop.stopped;
}

int32_t CRpc::ReadWithin(uint8_t* data, int32_t count, Time readEnd)
{
    int32_t got = 0;
    while (got < count) {
        const Time end = std::min({readEnd, Deadline(), callStop.limit});
        const Time now = Now();
        if (CallStopsAt(now) || now >= end) {
            // One last look: bytes that came in time count, even when this
            // process comes to look at them late (a loaded computer).
            got += channel->Read(data + got, count - got, 0);
            break;
        }
        // Waited for in slices that end when the front end is next due to
        // run, so that it runs and a stop is seen while the time runs.
        const Time hookDue = lastWhileWaiting + Milliseconds(kWhileWaitingIntervalMs);
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(std::min(end, hookDue) - now).count();
        const auto slice = static_cast<uint16_t>(
            std::clamp<decltype(left)>(left, 1, kWhileWaitingIntervalMs));
        got += channel->Read(data + got, count - got, slice);
        RunWhileWaiting();
    }
    stats.bytesRead += static_cast<uint64_t>(got);
    return got;
}

int CRpc::ReadByte(uint8_t& byte, Time readEnd)
{
    return ReadWithin(&byte, 1, readEnd) == 1 ? Ok : TimedOut;
}

void CRpc::SkipBytes(uint32_t count, Time readEnd)
{
    uint8_t scratch[64];
    while (count > 0) {
        const auto piece = static_cast<int32_t>(std::min<uint32_t>(count, sizeof scratch));
        const int32_t got = ReadWithin(scratch, piece, readEnd);
        count -= static_cast<uint32_t>(got);
        if (got < piece)
            return;
    }
}

// --- Receiving -----------------------------------------------------------------------

int CRpc::HuntSync(uint16_t firstByteTimeout, uint16_t timeoutMs)
{
    uint8_t byte = 0;
    if (ReadByte(byte, wait->start + Milliseconds(firstByteTimeout)) != Ok)
        return TimedOut;
    uint32_t window = static_cast<uint32_t>(byte) << 24;
    // The sync word's own four bytes are not babble: the hunt may read that
    // many beyond the bound.
    const uint32_t syncBytes = sizeof kSyncWord;
    const uint32_t mostBytesRead = kMaxSyncHuntBytes + syncBytes;
    uint32_t bytesRead = 1;
    int result = Ok;
    while (window != kSyncWord) {
        if (bytesRead == mostBytesRead) {
            result = TimedOut;
            break;
        }
        // The byte about to leave the window was no part of a reply; it took
        // its line time all the same.
        if (bytesRead >= syncBytes)
            ++wait->lineBytes;
        if (ReadByte(byte, ReadEnd(timeoutMs, 1)) != Ok) {
            result = TimedOut;
            break;
        }
        ++bytesRead;
        window = window >> 8 | static_cast<uint32_t>(byte) << 24;
    }
    stats.skippedBytes += result == Ok ? bytesRead - syncBytes : bytesRead;
    return result;
}

int CRpc::ReceiveFrame(int kind, CRpcMessage& message, uint16_t count, uint16_t firstByteTimeout,
                       uint16_t timeoutMs)
{
    // Outside a call, the frame is a wait of its own from the moment the
    // last request left.
    ReplyWait own{};
    if (wait == nullptr) {
        const Time start = channel->OutputDoneAt();
        own = ReplyWait{start, start + Milliseconds(firstByteTimeout),
                        (CarriesSync(kind) ? uint32_t{sizeof kSyncWord} : 0u) + count +
                            kFrameSumBytes};
    }
    const ActiveWait scope(*this, wait == nullptr ? &own : nullptr);

    message.BeginAppend();
    if (message.Reserve(count) != 0)
        return MessageTooLarge;
    if (CarriesSync(kind)) {
        const int hunt = HuntSync(firstByteTimeout, timeoutMs);
        if (hunt != Ok)
            return hunt;
    }
    if (ReadWithin(message.End(), count, ReadEnd(timeoutMs, count)) != count)
        return TimedOut;
    const uint16_t computed = ByteSum(message.End(), count);
    message.Advance(count);

    uint8_t low = 0;
    uint8_t high = 0;
    if (ReadByte(low, ReadEnd(timeoutMs, 1)) != Ok || ReadByte(high, ReadEnd(timeoutMs, 1)) != Ok)
        return TimedOut;
    const uint16_t received = static_cast<uint16_t>(low | high << 8);
    return received == computed ? Ok : ChecksumMismatch;
}

// --- Calls ---------------------------------------------------------------------------

void CRpc::SendRequest(uint8_t procedure, CRpcMessage& message)
{
    header.Reset();
    header.PutU8(procedure);
    header.PutU16(message.Length());
    SendFrame(kHeaderFrame, header);
    SendFrame(kArgumentFrame, message);
    ++stats.requests;
    answers.RequestSent(Milliseconds(timeout));
}

int CRpc::ReceiveReply(CRpcMessage& message)
{
    // The device can answer only once it has heard the whole request.
    const Time left = channel->OutputDoneAt();
    ReplyWait reply{left, left + Milliseconds(timeout), kHeaderFrameBytes};
    const ActiveWait scope(*this, &reply);

    for (;;) {
        uint8_t code = 0;
        uint16_t replyLength = 0;
        const int header = ReceiveReplyHeader(timeout, timeout, code, replyLength);
        if (header != Ok)
            return header;
        const uint32_t dataBytes = code == kReplyFollows ? replyLength + kFrameSumBytes : 0;
        reply.lineBytes += dataBytes;
        if (knownAnswer == nullptr) {
            // In step, an intact header is the call's answer, whatever it says.
            answers.AnswerSeen(Now());
            return ReceiveReplyData(code, replyLength, message);
        }
        const int known = ReceiveKnownAnswer(code, replyLength, message);
        if (known != kStrayAnswer)
            return known;
        // An earlier call's answer, however late: the hunt goes on, the
        // time it took on the line added to the wait.
        ++stats.lateAnswers;
        reply.start += channel->TransferTime(kHeaderFrameBytes + dataBytes);
        reply.lineBytes += kHeaderFrameBytes;
    }
}

int CRpc::ReceiveReplyData(uint8_t code, uint16_t replyLength, CRpcMessage& message)
{
    if (code == kSendAgain)
        return kAskedAgain;
    if (code != kReplyFollows)
        return BadReplyCode;
    const int received = ReceiveFrame(kReplyDataFrame, message, replyLength, timeout, timeout);
    // The data that did not fit still comes: let it pass, so that it is no
    // part of the next call's reply.
    if (received == MessageTooLarge)
        LetReplyDataPass(replyLength);
    return received;
}

int CRpc::ReceiveKnownAnswer(uint8_t code, uint16_t replyLength, CRpcMessage& message)
{
    // "Send again" may be the device's word on this request or on an
    // earlier one; sending this one again does no harm either way.
    if (code == kSendAgain) {
        answers.AnswerSeen(Now());
        return kAskedAgain;
    }
    if (code == kReplyFollows) {
        const uint32_t argumentLength = message.Length();
        const int received = ReceiveReplyData(code, replyLength, message);
        if (received == ChecksumMismatch || received == TimedOut)
            return received;
        const uint32_t answered = message.Length() - argumentLength;
        if (received == Ok && answered >= knownAnswer->size() &&
            std::equal(knownAnswer->begin(), knownAnswer->end(), message.Data() + argumentLength)) {
            answers.KnownAnswerSeen(Now());
            return Ok;
        }
        message.Truncate(argumentLength);
    }
    answers.StrayAnswerSeen();
    return kStrayAnswer;
}

int CRpc::ReceiveReplyHeader(uint16_t firstByteTimeout, uint16_t timeoutMs, uint8_t& code,
                             uint16_t& replyLength)
{
    header.Reset();
    const int result = ReceiveFrame(kHeaderFrame, header, kHeaderPayload, firstByteTimeout, timeoutMs);
    if (result == Ok) {
        header.GetU8(code);
        header.GetU16(replyLength);
    }
    return result;
}

void CRpc::LetReplyDataPass(uint16_t replyLength)
{
    const uint32_t frameBytes = replyLength + kFrameSumBytes;
    SkipBytes(frameBytes, ReadEnd(timeout, frameBytes));
}

void CRpc::AwaitOwedAnswers()
{
    if (answers.GetStanding() != AnswerBook::Standing::Owed)
        return;
    const uint64_t lateBefore = stats.lateAnswers;
    while (answers.GetStanding() == AnswerBook::Standing::Owed && !callStop.stopped) {
        // The next answer's first byte may come until then; the rest of it,
        // and whatever babble comes first, take their line time beyond.
        const Time until = answers.OwedUntil(Milliseconds(timeout));
        ReplyWait drain{until, until, kHeaderFrameBytes};
        const ActiveWait scope(*this, &drain);
        uint8_t code = 0;
        uint16_t replyLength = 0;
        const int result = ReceiveReplyHeader(0, kWriteTimeoutMs, code, replyLength);
        if (result == Ok) {
            answers.AnswerSeen(Now());
            ++stats.lateAnswers;
            if (code == kReplyFollows) {
                drain.lineBytes += replyLength + kFrameSumBytes;
                LetReplyDataPass(replyLength);
            }
        } else if (result == TimedOut && Now() >= until) {
            break; // their time is past
        }
        // A damaged frame, or babble: the answers may still come in time.
    }
    // Whatever has not come is written off, also when a stop cut the wait
    // short: no later call may take one of them for its own. A wait cut
    // short says nothing of the device, nor of the line.
    const uint32_t lost = answers.WriteOff(!callStop.stopped && stats.lateAnswers == lateBefore);
    if (!callStop.stopped)
        stats.lostAnswers += lost;
}

void CRpc::DiscardStaleInput()
{
    uint8_t scratch[64];
    uint32_t dropped = 0;
    while (dropped < static_cast<uint32_t>(IComm::kMostDiscardedBytes)) {
        const int32_t got = channel->Read(scratch, sizeof scratch, 0);
        if (got <= 0)
            break;
        dropped += static_cast<uint32_t>(got);
    }
    stats.skippedBytes += dropped;
    stats.bytesRead += dropped;
}

int CRpc::Call(uint8_t procedure, CRpcMessage& message)
{
    return Exchange(procedure, message, nullptr);
}

int CRpc::CallForKnownAnswer(uint8_t procedure, CRpcMessage& message,
                             const std::vector<uint8_t>& answerStart)
{
    return Exchange(procedure, message, &answerStart);
}

void CRpc::BeginWaits()
{
    callStop.stopped = false;
    callStop.inForceBefore = stop.InForce();
    callStop.limit = stop.InForce() ? Now() + Milliseconds(kStoppingWaitMs) : Time::max();
}

void CRpc::SettleOwedAnswers()
{
    BeginWaits();
    AwaitOwedAnswers();
}

int CRpc::BringInStep(const Probe& probe)
{
    for (int probes = 0; probes < kMostProbes; ++probes) {
        SettleOwedAnswers();
        if (answers.InStep())
            return Ok;
        const int probed = probe();
        if (probed != Ok)
            return probed;
    }
    SettleOwedAnswers();
    return answers.InStep() ? Ok : TimedOut;
}

int CRpc::Exchange(uint8_t procedure, CRpcMessage& message, const std::vector<uint8_t>* known)
{
    ++stats.calls;
    BeginWaits();
    const uint32_t argumentLength = message.Length();
    AwaitOwedAnswers();
    DiscardStaleInput();
    answers.CallBegins();
    knownAnswer = known;

    const uint8_t callAttempts = answers.AttemptsFor(retries);
    uint8_t attempts = 0;
    int requestRepeats = 0;
    int result = Ok;
    for (;;) {
        SendRequest(procedure, message);
        result = ReceiveReply(message);
        if (result == kAskedAgain) {
            ++stats.askedAgain;
            if (++requestRepeats > kMaxRequestRepeats) {
                result = BadReplyCode;
                break;
            }
            continue;
        }
        if (result != ChecksumMismatch && result != TimedOut)
            break;
        // Within this call an answer that comes late still answers it: the
        // repeated request is the same. Only later calls must not hear it.
        answers.WaitEnded(Now());
        if (callStop.stopped)
            break;
        ++(result == TimedOut ? stats.timedOut : stats.damagedReplies);
        if (++attempts >= callAttempts)
            break;
        message.Truncate(argumentLength);
    }
    knownAnswer = nullptr;
    answers.CallEnded();
    return result;
}
