#pragma once
// The simulated cartridge: its procedures over a flash model and a transfer
// buffer, served through a DeviceEngine.
//
// Tests, benchmarks and the cartridge simulator program share it. It can be
// told to misbehave (answer a status once, report a wrong buffer size, give
// a wrong checksum) and keeps a record of every call it understood.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/boundedlog.h"
#include "sim/deviceengine.h"
#include "sim/flashmodel.h"
#include "sim/procedurecall.h"
#include "sim/procedures.h"
#include "sim/replystyle.h"

namespace sim {

namespace CartridgeStatus {
constexpr int32_t kBeyondBuffer = -19;  // a length past the transfer buffer
constexpr int32_t kUnknownMagic = -20;  // a handshake with neither magic number
} // namespace CartridgeStatus

struct TransferState
{
    uint8_t active = 0;
    uint8_t failed = 0;
    bool operator==(const TransferState& other) const
    {
        return active == other.active && failed == other.failed;
    }
};

class Cartridge
{
public:
    static constexpr uint32_t kDefaultBufferSize = 4096;
    // Real cartridges have a few KiB of RAM; this leaves room for experiments
    // while keeping a mistyped size from taking the machine's memory.
    static constexpr uint32_t kMaxBufferSize = 1u << 20;
    static constexpr uint32_t kMagicMode1 = 0xC001F00D;
    static constexpr uint32_t kMagicMode2 = 0xBAADF00D;
    // The screen keeps the most recent text only.
    static constexpr size_t kMaxScreenText = 64u << 10;
    static constexpr size_t kMaxCallRecords = 1u << 17;
    static constexpr size_t kMaxCallRecordBytes = 32u << 20;

    using CallObserver = std::function<void(const ProcedureCall&)>;

    // bufferSize is clamped to 1..kMaxBufferSize.
    explicit Cartridge(uint32_t bufferSize = kDefaultBufferSize);
    Cartridge(const Cartridge&) = delete;
    Cartridge& operator=(const Cartridge&) = delete;

    DeviceEngine& Engine() { return engine; }
    FlashModel& Flash() { return flash; }
    const FlashModel& Flash() const { return flash; }

    // --- Power and boot (the engine's DeviceState) ---------------------------------
    // Until booted the cartridge answers nothing; each handshake it ignores
    // counts, and after `count` of them it boots (0: at once, the default).
    void BootAfterHandshakes(uint32_t count);
    // Boots it now, however many handshakes it was still waiting for.
    void Boot() { engine.Boot(); }
    // A power cycle: the transfer buffer and open ranges are lost, a
    // half-received request is dropped, the flash keeps its content, and the
    // cartridge boots again as configured.
    void Reset();

    // Switched off at the `call`-th request of `procedure` (1: the first),
    // which it never hears: the cartridge hears nothing for `offFor` on the
    // clock its carrier tells its engine (DeviceEngine::ClockAt), then comes
    // back as from a Reset and answers nothing until a handshake finds it
    // booted (the first handshake it hears boots it, unless
    // BootAfterHandshakes asks for more). Once.
    void RestartAt(uint8_t procedure, uint32_t call, DeviceEngine::Time offFor);
    bool SwitchedOff() const { return engine.State() == DeviceState::Off; }
    uint32_t Restarts() const { return restarts; }

    // --- Replies ------------------------------------------------------------
    // The shape of the reply data from now on (exact by default).
    void SetReplyStyle(const ReplyStyle& style) { shaper = ReplyShaper(style); }
    const ReplyStyle& GetReplyStyle() const { return shaper.Style(); }

    // --- Transfer buffer ---------------------------------------------------
    uint32_t BufferSize() const { return static_cast<uint32_t>(buffer.size()); }
    const std::vector<uint8_t>& Buffer() const { return buffer; }
    // What GetBufferSize answers: the real size (default), a chosen value,
    // or a reply without any size.
    void ReportActualBufferSize();
    void ReportBufferSize(uint32_t size);
    void ReportNoBufferSize();

    // --- Misbehaviour on demand -----------------------------------------------
    // The next `count` calls of `procedure` (one with a status) answer
    // `status` without doing their work.
    void ForceStatus(uint8_t procedure, int32_t status, int count = 1);
    // The next `count` checksums are answered off by one.
    void CorruptChecksum(int count = 1) { corruptChecksums += count; }
    // From the first request of `procedure` on, the cartridge hears every
    // request and answers none: a cartridge that dies, say, as a block is
    // committed (OpenRange).
    void FallSilentAt(uint8_t procedure) { engine.PlanTurn(procedure, 1, Turn::FallSilent()); }
    bool FallenSilent() const { return engine.State() == DeviceState::Silent; }

    // --- What the cartridge was told ---------------------------------------
    const std::string& ScreenText() const { return screenText; }
    const std::vector<uint32_t>& FinishValues() const { return finishValues; }
    const std::vector<TransferState>& TransferStates() const { return transferStates; }
    // 1 or 2: the mode of the last handshake answered; 0: none yet.
    int HandshakeMode() const { return handshakeMode; }
    const std::deque<ProcedureCall>& Calls() const { return calls.Entries(); }
    std::vector<ProcedureCall> CallsOf(uint8_t procedure) const;
    void ClearCalls() { calls.Clear(); }
    // Called for every call recorded (the simulator prints from it).
    void SetCallObserver(CallObserver observer) { callObserver = std::move(observer); }

private:
    using Arguments = std::vector<uint8_t>;
    using Serve = Outcome (Cartridge::*)(const Arguments&, ProcedureCall&);

    void Plug(uint8_t procedure, Serve serve);
    // A request heard while not answering: recorded, and a handshake counts
    // towards the boot.
    void NotAnswering(const CallRecord& heard);
    void OnStateChange(DeviceState from, DeviceState to);
    // What a power cycle loses.
    void LoseVolatileState();
    Outcome Answer(ProcedureCall& call, int32_t status, const Arguments& extra = {});
    bool TakeForcedStatus(uint8_t procedure, int32_t& status);
    void Record(ProcedureCall call);

    Outcome LoadBuffer(const Arguments& arguments, ProcedureCall& call);
    Outcome ProgramRange(const Arguments& arguments, ProcedureCall& call);
    Outcome EraseRange(const Arguments& arguments, ProcedureCall& call);
    Outcome CloseRange(const Arguments& arguments, ProcedureCall& call);
    Outcome OpenRange(const Arguments& arguments, ProcedureCall& call);
    // The four range procedures take (address, length) and answer a status.
    using RangeAction = std::function<int32_t(uint32_t address, uint32_t length)>;
    Outcome RangeOperation(const Arguments& arguments, ProcedureCall& call,
                           const RangeAction& action);
    Outcome FlashRangeOperation(const Arguments& arguments, ProcedureCall& call,
                                int32_t (FlashModel::*operation)(uint32_t, uint32_t));
    Outcome GetBufferSize(const Arguments& arguments, ProcedureCall& call);
    Outcome GetBufferChecksum(const Arguments& arguments, ProcedureCall& call);
    Outcome FinishUpload(const Arguments& arguments, ProcedureCall& call);
    Outcome PrintText(const Arguments& arguments, ProcedureCall& call);
    Outcome Handshake(const Arguments& arguments, ProcedureCall& call);
    Outcome SetTransferState(const Arguments& arguments, ProcedureCall& call);

    DeviceEngine engine;
    FlashModel flash;
    std::vector<uint8_t> buffer;

    uint32_t handshakesBeforeBoot = 0;
    uint32_t handshakesToBoot = 0; // still to be ignored while booting

    enum class SizeAnswer { Actual, Chosen, None };
    SizeAnswer sizeAnswer = SizeAnswer::Actual;
    uint32_t chosenSize = 0;
    std::map<uint8_t, std::deque<int32_t>> forcedStatuses;
    int corruptChecksums = 0;
    uint32_t restarts = 0;
    ReplyShaper shaper;

    std::string screenText;
    std::vector<uint32_t> finishValues;
    std::vector<TransferState> transferStates;
    int handshakeMode = 0;
    BoundedLog<ProcedureCall> calls{kMaxCallRecords, kMaxCallRecordBytes};
    CallObserver callObserver;
};

} // namespace sim
