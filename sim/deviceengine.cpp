#include "sim/deviceengine.h"

#include <optional>
#include <utility>

#include "serial/invariant.h"
#include "sim/wire.h"

namespace sim {

namespace {

constexpr size_t kMaxReplyLength = 0xFFFF; // M travels in 16 bits

// A damaged checksum is the right one plus one: wrong whatever the payload.
void DamageChecksum(std::vector<uint8_t>& frame)
{
    frame[frame.size() - kChecksumLength] += 1;
}

// A fault that keeps the request from running decides the answer itself:
// true, with `answer` set (Ignore for silence).
bool FaultDecidesAnswer(const Fault& fault, Outcome& answer)
{
    switch (fault.kind) {
    case Fault::Kind::AskAgain:
        answer = Outcome::Refuse(ReplyCode::kSendAgain);
        return true;
    case Fault::Kind::UnknownCode:
        answer = Outcome::Refuse(fault.code);
        return true;
    case Fault::Kind::Silent:
        answer = Outcome::Ignore();
        return true;
    default:
        return false;
    }
}

} // namespace

DeviceEngine::DeviceEngine() : reader(kDefaultMaxArgumentLength) {}

void DeviceEngine::SetHandler(uint8_t procedure, Handler handler)
{
    if (handler)
        handlers[procedure] = std::move(handler);
    else
        handlers.erase(procedure);
}

void DeviceEngine::SetMaxArgumentLength(uint32_t length)
{
    reader.SetMaxArgumentLength(length);
}

void DeviceEngine::ClockAt(Time at)
{
    if (at <= now)
        return;
    now = at;
    if (state == DeviceState::Off && now >= switchOnAt)
        ChangeState(DeviceState::Booting);
}

void DeviceEngine::ChangeState(DeviceState to)
{
    const DeviceState from = state;
    if (from == to)
        return;
    state = to;
    if (stateListener)
        stateListener(from, to);
}

void DeviceEngine::StartBooting()
{
    if (state == DeviceState::Answering)
        ChangeState(DeviceState::Booting);
}

void DeviceEngine::Boot()
{
    if (state == DeviceState::Booting)
        ChangeState(DeviceState::Answering);
}

void DeviceEngine::SetSilent(bool silent)
{
    if (silent && state != DeviceState::Off)
        ChangeState(DeviceState::Silent);
    else if (!silent && state == DeviceState::Silent)
        ChangeState(DeviceState::Answering);
}

void DeviceEngine::SwitchOff(Time offFor)
{
    LineIdle();
    switchOnAt = now + offFor;
    ChangeState(DeviceState::Off);
}

void DeviceEngine::TakeTurn(const Turn& turn)
{
    switch (turn.kind) {
    case Turn::Kind::FallSilent:
        SetSilent(true);
        break;
    case Turn::Kind::SwitchOff:
        SwitchOff(turn.offFor);
        break;
    }
}

void DeviceEngine::Feed(const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (state == DeviceState::Off) {
            stats.unheardBytes += count - i;
            return;
        }
        const RequestReader::Event event = reader.Feed(bytes[i]);
        if (event != RequestReader::Event::None)
            OnRequestEnded(event);
    }
}

void DeviceEngine::LineIdle()
{
    if (reader.Abandon())
        ++stats.abandonedRequests;
    RecordSkippedBytes();
}

void DeviceEngine::Babble(std::vector<uint8_t> bytes)
{
    if (!bytes.empty())
        SendFrame(FrameKind::Noise, std::move(bytes), true, std::chrono::milliseconds(0));
}

bool DeviceEngine::TakeOutput(OutputChunk& chunk)
{
    if (output.empty())
        return false;
    chunk = std::move(output.front());
    output.pop_front();
    return true;
}

void DeviceEngine::ClearRecords()
{
    frames.Clear();
    calls.Clear();
    stats = EngineStats{};
}

void DeviceEngine::OnRequestEnded(RequestReader::Event event)
{
    RecordSkippedBytes();
    switch (event) {
    case RequestReader::Event::BadHeaderSum:
        ++stats.badHeaderSums;
        Record(FrameRecord{Direction::HostToDevice, FrameKind::RequestHeader,
                           reader.HeaderBytes(), false});
        AnswerDamagedRequest();
        break;
    case RequestReader::Event::BadArgumentSum:
        ++stats.badArgumentSums;
        RecordRequestFrames(true, false);
        AnswerDamagedRequest();
        break;
    case RequestReader::Event::Oversize:
        ++stats.oversizeRequests;
        RecordRequestFrames(true, true);
        Serve();
        break;
    case RequestReader::Event::Complete:
        ++stats.requests;
        RecordRequestFrames(true, true);
        Serve();
        break;
    case RequestReader::Event::None:
        break;
    }
}

void DeviceEngine::RecordRequestFrames(bool headerIntact, bool argumentsIntact)
{
    Record(FrameRecord{Direction::HostToDevice, FrameKind::RequestHeader, reader.HeaderBytes(),
                       headerIntact});
    Record(FrameRecord{Direction::HostToDevice, FrameKind::RequestArguments,
                       reader.ArgumentFrameBytes(), argumentsIntact});
}

void DeviceEngine::RecordSkippedBytes()
{
    stats.skippedBytes += reader.TakeSkippedCount();
    std::vector<uint8_t> skipped = reader.TakeSkipped();
    if (!skipped.empty())
        Record(FrameRecord{Direction::HostToDevice, FrameKind::Skipped, std::move(skipped), true});
}

void DeviceEngine::AnswerDamagedRequest()
{
    if (state != DeviceState::Answering || damagedRequests == DamagedRequests::Ignore)
        return;
    const Fault fault = misbehaviours.NextFault();
    Outcome answer = Outcome::Refuse(ReplyCode::kSendAgain);
    FaultDecidesAnswer(fault, answer);
    if (answer.kind != Outcome::Kind::Ignore)
        SendReply(answer, fault, nullptr);
    else
        CountFault(fault, false);
}

void DeviceEngine::Serve()
{
    CallRecord call;
    call.procedure = reader.Procedure();
    call.argumentLength = reader.ArgumentLength();
    call.arguments = reader.Arguments();
    if (const std::optional<Turn> turn = misbehaviours.Heard(call.procedure))
        TakeTurn(*turn);
    if (state != DeviceState::Answering) {
        // A device switched off by this very request never heard it.
        if (state != DeviceState::Off && unanswered)
            unanswered(call);
        Record(std::move(call));
        return;
    }

    Fault fault = misbehaviours.NextFault();
    call.fault = fault.kind;
    Outcome outcome;
    if (!FaultDecidesAnswer(fault, outcome))
        outcome = Dispatch(call);

    if (outcome.kind == Outcome::Kind::Ignore && fault.LetsRequestRun()) {
        // Nothing went out, so the fault is still owed to the next reply.
        misbehaviours.KeepFault(std::move(fault));
        call.fault = Fault::Kind::None;
    } else if (outcome.kind != Outcome::Kind::Ignore) {
        SendReply(outcome, fault, &call);
    } else {
        CountFault(fault, false);
    }
    Record(std::move(call));
}

Outcome DeviceEngine::Dispatch(CallRecord& call)
{
    if (!reader.ArgumentsStored())
        return Outcome::Refuse(ReplyCode::kRequestTooLarge);
    const auto handler = handlers.find(call.procedure);
    if (handler == handlers.end())
        return Outcome::Refuse(ReplyCode::kUnknownProcedure);
    call.carriedOut = true;
    return handler->second(call.arguments);
}

void DeviceEngine::SendReply(const Outcome& outcome, const Fault& fault, CallRecord* call)
{
    const bool withData = outcome.kind == Outcome::Kind::Reply;
    PLEMO_INVARIANT(outcome.data.size() <= kMaxReplyLength);
    const std::vector<uint8_t> data = withData ? outcome.data : std::vector<uint8_t>{};
    CountFault(fault, withData);

    if (fault.kind == Fault::Kind::Noise)
        SendFrame(FrameKind::Noise, fault.bytes, true, std::chrono::milliseconds(0));
    if (fault.kind == Fault::Kind::Dropped)
        return;

    const std::chrono::milliseconds delay =
        fault.kind == Fault::Kind::Late ? fault.delay : std::chrono::milliseconds(0);
    std::vector<uint8_t> header =
        ReplyHeaderFrame(outcome.code, static_cast<uint16_t>(data.size()));
    const bool headerIntact = fault.kind != Fault::Kind::DamagedHeaderSum;
    if (!headerIntact)
        DamageChecksum(header);
    SendFrame(FrameKind::ReplyHeader, std::move(header), headerIntact, delay);
    if (withData) {
        std::vector<uint8_t> frame = DataFrame(data);
        const bool dataIntact = fault.kind != Fault::Kind::DamagedDataSum;
        if (!dataIntact)
            DamageChecksum(frame);
        SendFrame(FrameKind::ReplyData, std::move(frame), dataIntact, delay);
    }
    ++stats.replies;
    if (call != nullptr) {
        call->answered = true;
        call->replyCode = outcome.code;
        call->reply = data;
    }
}

void DeviceEngine::CountFault(const Fault& fault, bool withData)
{
    FaultCounts& counts = stats.faults;
    switch (fault.kind) {
    case Fault::Kind::None:
        break;
    case Fault::Kind::Noise:
        ++counts.noiseBursts;
        counts.noiseBytes += fault.bytes.size();
        break;
    case Fault::Kind::DamagedHeaderSum:
        ++counts.damagedHeaderSums;
        break;
    case Fault::Kind::DamagedDataSum:
        // A reply without a data frame has no data sum to damage.
        if (withData)
            ++counts.damagedDataSums;
        break;
    case Fault::Kind::Dropped:
        ++counts.droppedReplies;
        break;
    case Fault::Kind::AskAgain:
        ++counts.askedAgain;
        break;
    case Fault::Kind::UnknownCode:
        ++counts.unknownCodes;
        break;
    case Fault::Kind::Late:
        ++counts.lateReplies;
        break;
    case Fault::Kind::Silent:
        ++counts.silenced;
        break;
    }
}

void DeviceEngine::SendFrame(FrameKind kind, std::vector<uint8_t> frame, bool intact,
                             std::chrono::milliseconds delay)
{
    output.push_back(OutputChunk{frame, delay});
    Record(FrameRecord{Direction::DeviceToHost, kind, std::move(frame), intact});
}

void DeviceEngine::Record(FrameRecord frame)
{
    frames.Add(std::move(frame), [](const FrameRecord& f) { return f.bytes.size(); });
}

void DeviceEngine::Record(CallRecord call)
{
    calls.Add(std::move(call), [](const CallRecord& c) { return c.arguments.size() + c.reply.size(); });
}

} // namespace sim
