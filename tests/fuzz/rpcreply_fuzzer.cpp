// Any bytes from the device, as the replies to the link's requests
// (replyscript.h): the link is driven through CRpc::Call over the in-process
// channel to a simulated device that puts the scripted bytes on the line
// whenever it hears a request.
//
// Properties:
//  - every call ends, with 0, -1, -2, -3 or -4, after at most its attempts
//    plus the bounded number of "send again" repeats;
//  - every request the device hears is framed correctly and carries the
//    call's procedure and arguments unchanged;
//  - the message never passes the protocol's limit and its arguments are
//    never overwritten;
//  - on success the reply stands behind the arguments, the read position at
//    its first byte, and it is the data of an intact reply frame that the
//    device sent in answer to one of this call's requests (a late answer to
//    an earlier attempt of the same call answers it too);
//  - -1 and -2 come only from an intact reply header that says so;
//  - on the line's clock every call ends within the bound its attempts,
//    repeats and owed answers allow, whatever the bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "sim/deviceengine.h"
#include "sim/inprocesschannel.h"
#include "sim/wire.h"
#include "tests/fuzz/fuzzcheck.h"
#include "tests/fuzz/replyscript.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kProcedure = 6;

// The device: it hears each request through the simulated cartridge's own
// receiver and answers it with the next scripted reply, verbatim.
class ReplayingDevice
{
public:
    explicit ReplayingDevice(std::vector<Bytes> replies) : replies(std::move(replies))
    {
        engine.SetHandler(kProcedure, [this](const Bytes&) { return ReplyToRequest(); });
    }

    sim::DeviceEngine& Engine() { return engine; }
    size_t RequestsHeard() const { return heard; }
    // What the device put on the line since it heard its `from`-th request.
    Bytes RepliesSince(size_t from) const
    {
        Bytes line;
        for (size_t i = from; i < heard && i < replies.size(); ++i)
            line.insert(line.end(), replies[i].begin(), replies[i].end());
        return line;
    }

private:
    sim::Outcome ReplyToRequest()
    {
        const Bytes reply = heard < replies.size() ? replies[heard] : Bytes{};
        ++heard;
        engine.Babble(reply);
        // The scripted bytes are the whole answer: the engine adds nothing.
        return sim::Outcome::Ignore();
    }

    sim::DeviceEngine engine;
    std::vector<Bytes> replies;
    size_t heard = 0;
};

Bytes Arguments(uint8_t length, int call)
{
    Bytes arguments(length);
    for (size_t i = 0; i < arguments.size(); ++i)
        arguments[i] = static_cast<uint8_t>(i * 7 + call);
    return arguments;
}

bool Contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// Whether `line` holds an intact reply header that `accepts` approves of.
template <class Accepts>
bool HasIntactHeader(const Bytes& line, Accepts accepts)
{
    const size_t headerLength = sizeof sim::kSyncBytes + sim::kHeaderPayloadLength +
                                sim::kChecksumLength;
    for (size_t at = 0; at + headerLength <= line.size(); ++at) {
        const uint8_t code = line[at + 4];
        const uint16_t length = static_cast<uint16_t>(line[at + 5] | line[at + 6] << 8);
        const Bytes frame = sim::ReplyHeaderFrame(code, length);
        const auto start = line.begin() + static_cast<std::ptrdiff_t>(at);
        if (std::equal(frame.begin(), frame.end(), start) && accepts(code, length))
            return true;
    }
    return false;
}

void CheckRequestsHeard(const sim::DeviceEngine& engine, size_t from, const Bytes& arguments)
{
    const auto& calls = engine.Calls();
    for (size_t i = from; i < calls.size(); ++i) {
        FUZZ_CHECK(calls[i].procedure == kProcedure);
        FUZZ_CHECK(calls[i].arguments == arguments);
    }
}

void CheckSuccess(CRpcMessage& message, const Bytes& arguments, const Bytes& answers)
{
    FUZZ_CHECK(message.Length() >= arguments.size());
    const uint32_t replyLength = message.Length() - static_cast<uint32_t>(arguments.size());
    FUZZ_CHECK(message.Unread() == replyLength);
    const Bytes reply(message.Data() + arguments.size(), message.Data() + message.Length());

    Bytes frames = sim::ReplyHeaderFrame(sim::ReplyCode::kReplyFollows,
                                         static_cast<uint16_t>(replyLength));
    const Bytes data = sim::DataFrame(reply);
    frames.insert(frames.end(), data.begin(), data.end());
    FUZZ_CHECK(Contains(answers, frames));

    uint8_t first = 0;
    if (replyLength > 0) {
        FUZZ_CHECK(message.GetU8(first) == 0);
        FUZZ_CHECK(first == reply[0]);
    } else {
        FUZZ_CHECK(message.GetU8(first) != 0);
    }
}

void CheckFailure(int result, const CRpcMessage& message, const Bytes& arguments,
                  const Bytes& answers)
{
    if (result == CRpc::BadReplyCode) {
        // 0xFE included: a request refused more often than the link's bound
        // ends the call the same way.
        FUZZ_CHECK(HasIntactHeader(answers, [](uint8_t code, uint16_t) {
            return code != sim::ReplyCode::kReplyFollows;
        }));
    }
    if (result == CRpc::MessageTooLarge) {
        FUZZ_CHECK(message.Length() == arguments.size());
        FUZZ_CHECK(HasIntactHeader(answers, [&](uint8_t code, uint16_t length) {
            return code == sim::ReplyCode::kReplyFollows &&
                   arguments.size() + length > CRpcMessage::kMaxLength;
        }));
    }
}

// The longest a call may take on the line's clock: every request (attempts
// and repeats) waits at most the time-out plus the line time of a hunt's
// worth of babble and the largest reply; the answers owed by earlier calls
// are waited for at most one such window each.
IComm::Time CallBound(const sim::InProcessChannel& channel, uint8_t retries)
{
    const IComm::Time attempt =
        std::chrono::milliseconds(CRpc::kDefaultTimeoutMs) +
        channel.TransferTime(CRpc::kMaxSyncHuntBytes + CRpc::kHeaderFrameBytes +
                             CRpcMessage::kMaxLength + 2) +
        std::chrono::milliseconds(CRpc::kWhileWaitingIntervalMs);
    const int64_t requests = std::max<int>(retries, 1) + CRpc::kMaxRequestRepeats;
    return attempt * (requests + AnswerBook::kMostCounted + 1);
}

void MakeCall(CRpc& link, ReplayingDevice& device, sim::InProcessChannel& channel, int call,
              uint8_t argumentLength, uint8_t retries)
{
    const Bytes arguments = Arguments(argumentLength, call);
    CRpcMessage message(256);
    for (uint8_t byte : arguments)
        message.PutU8(byte);
    const size_t heardBefore = device.RequestsHeard();
    const size_t recordsBefore = device.Engine().Calls().size();
    const IComm::Time started = channel.Now();

    const int result = link.Call(kProcedure, message);

    FUZZ_CHECK(channel.Now() - started <= CallBound(channel, retries));
    FUZZ_CHECK(result <= 0 && result >= -4);
    const size_t attempts = std::max<size_t>(retries, 1);
    const size_t heard = device.RequestsHeard() - heardBefore;
    FUZZ_CHECK(heard >= 1 && heard <= attempts + CRpc::kMaxRequestRepeats);
    CheckRequestsHeard(device.Engine(), recordsBefore, arguments);
    FUZZ_CHECK(message.Capacity() <= CRpcMessage::kMaxLength);
    FUZZ_CHECK(std::equal(arguments.begin(), arguments.end(), message.Data()));

    const Bytes answers = device.RepliesSince(heardBefore);
    if (result == CRpc::Ok)
        CheckSuccess(message, arguments, answers);
    else
        CheckFailure(result, message, arguments, answers);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    // Stale bytes are dropped before each request only up to the link's
    // bound; beyond it they are babble for the sync hunt, and a reply from
    // an earlier script entry could legitimately be taken.
    if (size > static_cast<size_t>(IComm::kMostDiscardedBytes))
        return 0;
    const fuzzinput::ReplyScript script = fuzzinput::ReplyScript::Decode(bytes, size);
    ReplayingDevice device(script.replies);
    // An unpaced line: the scripted bytes are all there at once, so that what
    // an earlier call's junk still had on its way never reaches a later call.
    sim::InProcessChannel channel(device.Engine(), 0);
    CRpc link(&channel, script.retries);
    for (int call = 0; call < script.calls; ++call)
        MakeCall(link, device, channel, call, script.argumentLength, script.retries);
    return 0;
}
