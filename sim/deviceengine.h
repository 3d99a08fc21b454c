#pragma once
// The simulated cartridge's end of the serial line, without the line itself.
//
// The engine is fed the host's bytes and queues its own reply bytes for
// whoever carries them back: an in-process channel in tests, a
// pseudo-terminal in the cartridge simulator. It never touches the operating
// system and keeps no clock of its own: a carrier that knows time tells it
// when the line has been quiet (`LineIdle`) and what time it is (`ClockAt`),
// for a device that does something at a moment (comes back on after a
// restart).
//
// Requests are cut into frames, both checksums are checked (a damaged request
// is answered 0xFE, M = 0, so that the host sends it again), and each intact
// request goes to the handler plugged in for its procedure number. The
// device's state (DeviceState) decides whether it hears and answers at all;
// its misbehaviours (faults for the replies, turns of its state at a
// request) come from one queue. Everything that crosses the line is recorded.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "sim/boundedlog.h"
#include "sim/devicestate.h"
#include "sim/fault.h"
#include "sim/misbehaviours.h"
#include "sim/outcome.h"
#include "sim/records.h"
#include "sim/requestreader.h"

namespace sim {

// Bytes the device puts on the line in one piece.
struct OutputChunk
{
    std::vector<uint8_t> bytes;
    std::chrono::milliseconds delay{0}; // leaves this much later than it would have (a late reply)
};

class DeviceEngine
{
public:
    using Handler = std::function<Outcome(const std::vector<uint8_t>& arguments)>;
    // The carrier's clock: the in-process channel's simulated time, the pty
    // server's monotonic clock.
    using Time = std::chrono::microseconds;
    using FaultSource = Misbehaviours::FaultSource;
    // Told of each change of the device's state.
    using StateListener = std::function<void(DeviceState from, DeviceState to)>;
    // Told of every request heard while the device does not answer (booting, silent).
    using UnansweredListener = std::function<void(const CallRecord& call)>;

    // The largest request is a 2,048-byte chunk behind a 4-byte offset and a
    // 2-byte count; a device keeps a little room beyond that and refuses the
    // rest without storing it.
    static constexpr uint32_t kDefaultMaxArgumentLength = 4096;
    // Records are kept for the most recent traffic only, so that a simulator
    // serving for hours does not grow without end; a whole 4 MiB upload fits.
    static constexpr size_t kMaxFrameRecords = 1u << 18;
    static constexpr size_t kMaxFrameRecordBytes = 32u << 20;
    static constexpr size_t kMaxCallRecords = 1u << 17;
    static constexpr size_t kMaxCallRecordBytes = 32u << 20;

    DeviceEngine();

    // What the device says to a request it heard damaged: "send again"
    // (0xFE), or nothing at all, as a cartridge may.
    enum class DamagedRequests
    {
        AskAgain,
        Ignore,
    };
    void SetDamagedRequests(DamagedRequests answer) { damagedRequests = answer; }

    // Plugs in (or, with an empty handler, removes) a procedure.
    void SetHandler(uint8_t procedure, Handler handler);
    void SetMaxArgumentLength(uint32_t length);

    void Feed(const uint8_t* bytes, size_t count);
    void Feed(const std::vector<uint8_t>& bytes) { Feed(bytes.data(), bytes.size()); }
    // The line has been quiet longer than the device waits between the bytes
    // of one request: a half-received request is dropped.
    void LineIdle();
    // The carrier's clock has reached `at` (it never goes back); told before
    // the bytes that arrive at that moment are fed.
    void ClockAt(Time at);
    Time Now() const { return now; }

    // --- Power and listening (see DeviceState) --------------------------------
    DeviceState State() const { return state; }
    // Answering -> Booting: it answers nothing until Boot().
    void StartBooting();
    // Booting -> Answering.
    void Boot();
    // Answering or Booting -> Silent; `false`: Silent -> Answering. A silent
    // device hears everything and answers nothing, carrying nothing out.
    void SetSilent(bool silent);
    // Any state -> Off for `offFor` on the carrier's clock, then Booting. A
    // device without power hears nothing: the bytes fed meanwhile are lost
    // (counted in Stats().unheardBytes) and a half-received request with them.
    void SwitchOff(Time offFor);
    void SetStateListener(StateListener listener) { stateListener = std::move(listener); }
    void SetUnansweredListener(UnansweredListener listener) { unanswered = std::move(listener); }

    // Unsolicited bytes from the device (babble, a boot banner).
    void Babble(std::vector<uint8_t> bytes);

    bool HasOutput() const { return !output.empty(); }
    // Takes the oldest chunk of output; false when there is none.
    bool TakeOutput(OutputChunk& chunk);

    // --- Misbehaviour ------------------------------------------------------------
    // Faults for the next `count` replies, after those already queued.
    void InjectFault(const Fault& fault, int count = 1) { misbehaviours.AddFault(fault, count); }
    void SetFaultSource(FaultSource source) { misbehaviours.SetFaultSource(std::move(source)); }
    size_t PendingFaults() const { return misbehaviours.PendingFaults(); }
    void ClearFaults() { misbehaviours.ClearFaults(); }
    // `turn` at the `call`-th request of `procedure` heard (1: the first).
    void PlanTurn(uint8_t procedure, uint32_t call, Turn turn)
    {
        misbehaviours.PlanTurn(procedure, call, turn);
    }

    const std::deque<FrameRecord>& Frames() const { return frames.Entries(); }
    const std::deque<CallRecord>& Calls() const { return calls.Entries(); }
    const EngineStats& Stats() const { return stats; }
    void ClearRecords();

private:
    void OnRequestEnded(RequestReader::Event event);
    void RecordRequestFrames(bool headerIntact, bool argumentsIntact);
    void RecordSkippedBytes();
    void Serve();
    void TakeTurn(const Turn& turn);
    void ChangeState(DeviceState to);
    void AnswerDamagedRequest();
    Outcome Dispatch(CallRecord& call);
    void SendReply(const Outcome& outcome, const Fault& fault, CallRecord* call);
    // Counts a fault that took effect on a reply (`withData`: one with a data frame).
    void CountFault(const Fault& fault, bool withData);
    void SendFrame(FrameKind kind, std::vector<uint8_t> frame, bool intact,
                   std::chrono::milliseconds delay);
    void Record(FrameRecord frame);
    void Record(CallRecord call);

    RequestReader reader;
    DamagedRequests damagedRequests = DamagedRequests::AskAgain;
    std::map<uint8_t, Handler> handlers;
    Misbehaviours misbehaviours;
    DeviceState state = DeviceState::Answering;
    Time switchOnAt{0};
    StateListener stateListener;
    UnansweredListener unanswered;
    Time now{0};
    std::deque<OutputChunk> output;
    BoundedLog<FrameRecord> frames{kMaxFrameRecords, kMaxFrameRecordBytes};
    BoundedLog<CallRecord> calls{kMaxCallRecords, kMaxCallRecordBytes};
    EngineStats stats;
};

} // namespace sim
