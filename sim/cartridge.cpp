#include "sim/cartridge.h"

#include <algorithm>

#include "sim/argumentreader.h"

namespace sim {

namespace {

std::vector<uint8_t> LittleEndian(uint32_t value)
{
    std::vector<uint8_t> bytes;
    AppendU32(bytes, value);
    return bytes;
}

} // namespace

Cartridge::Cartridge(uint32_t bufferSize)
    : buffer(std::clamp<uint32_t>(bufferSize, 1, kMaxBufferSize), 0)
{
    Plug(Procedure::kLoadBuffer, &Cartridge::LoadBuffer);
    Plug(Procedure::kProgramRange, &Cartridge::ProgramRange);
    Plug(Procedure::kEraseRange, &Cartridge::EraseRange);
    Plug(Procedure::kCloseRange, &Cartridge::CloseRange);
    Plug(Procedure::kOpenRange, &Cartridge::OpenRange);
    Plug(Procedure::kGetBufferSize, &Cartridge::GetBufferSize);
    Plug(Procedure::kGetBufferChecksum, &Cartridge::GetBufferChecksum);
    Plug(Procedure::kFinishUpload, &Cartridge::FinishUpload);
    Plug(Procedure::kPrintText, &Cartridge::PrintText);
    Plug(Procedure::kHandshake, &Cartridge::Handshake);
    Plug(Procedure::kSetTransferState, &Cartridge::SetTransferState);
    engine.SetStateListener([this](DeviceState from, DeviceState to) { OnStateChange(from, to); });
    engine.SetUnansweredListener([this](const CallRecord& heard) { NotAnswering(heard); });
}

void Cartridge::Plug(uint8_t procedure, Serve serve)
{
    engine.SetHandler(procedure, [this, procedure, serve](const Arguments& arguments) {
        ProcedureCall call;
        call.procedure = procedure;
        Outcome outcome = (this->*serve)(arguments, call);
        if (outcome.kind == Outcome::Kind::Reply)
            outcome.data = shaper.Shape(procedure, std::move(outcome.data));
        call.ignored = outcome.kind == Outcome::Kind::Ignore;
        call.refused = outcome.kind == Outcome::Kind::Refuse;
        Record(std::move(call));
        return outcome;
    });
}

void Cartridge::Record(ProcedureCall call)
{
    if (callObserver)
        callObserver(call);
    calls.Add(std::move(call), [](const ProcedureCall& c) { return c.bytes.size(); });
}

std::vector<ProcedureCall> Cartridge::CallsOf(uint8_t procedure) const
{
    std::vector<ProcedureCall> matching;
    for (const ProcedureCall& call : calls.Entries()) {
        if (call.procedure == procedure)
            matching.push_back(call);
    }
    return matching;
}

// --- Boot ---------------------------------------------------------------------

void Cartridge::BootAfterHandshakes(uint32_t count)
{
    handshakesBeforeBoot = count;
    handshakesToBoot = count;
    if (count == 0)
        engine.Boot();
    else
        engine.StartBooting();
}

void Cartridge::LoseVolatileState()
{
    std::fill(buffer.begin(), buffer.end(), 0);
    flash.CloseAll();
    engine.LineIdle();
}

void Cartridge::Reset()
{
    LoseVolatileState();
    BootAfterHandshakes(handshakesBeforeBoot);
}

void Cartridge::RestartAt(uint8_t procedure, uint32_t call, DeviceEngine::Time offFor)
{
    engine.PlanTurn(procedure, call, Turn::SwitchOff(offFor));
}

// Back on after a switch-off: as from a Reset, and silent until at least one
// handshake.
void Cartridge::OnStateChange(DeviceState from, DeviceState to)
{
    if (from != DeviceState::Off || to != DeviceState::Booting)
        return;
    ++restarts;
    LoseVolatileState();
    handshakesToBoot = std::max<uint32_t>(handshakesBeforeBoot, 1);
}

void Cartridge::NotAnswering(const CallRecord& heard)
{
    ProcedureCall call;
    call.procedure = heard.procedure;
    call.ignored = true;
    if (call.procedure == Procedure::kHandshake) {
        ArgumentReader reader(heard.arguments);
        uint32_t magic = 0;
        if (reader.U32(magic))
            call.values = {magic};
        if (engine.State() == DeviceState::Booting && handshakesToBoot > 0)
            --handshakesToBoot;
        if (handshakesToBoot == 0)
            engine.Boot();
    }
    Record(std::move(call));
}

// --- Answers --------------------------------------------------------------------

Outcome Cartridge::Answer(ProcedureCall& call, int32_t status, const Arguments& extra)
{
    call.hasStatus = true;
    call.status = status;
    std::vector<uint8_t> reply = LittleEndian(static_cast<uint32_t>(status));
    reply.insert(reply.end(), extra.begin(), extra.end());
    return Outcome::Reply(reply);
}

void Cartridge::ForceStatus(uint8_t procedure, int32_t status, int count)
{
    for (int i = 0; i < count; ++i)
        forcedStatuses[procedure].push_back(status);
}

bool Cartridge::TakeForcedStatus(uint8_t procedure, int32_t& status)
{
    auto forced = forcedStatuses.find(procedure);
    if (forced == forcedStatuses.end() || forced->second.empty())
        return false;
    status = forced->second.front();
    forced->second.pop_front();
    return true;
}

void Cartridge::ReportActualBufferSize()
{
    sizeAnswer = SizeAnswer::Actual;
}

void Cartridge::ReportBufferSize(uint32_t size)
{
    sizeAnswer = SizeAnswer::Chosen;
    chosenSize = size;
}

void Cartridge::ReportNoBufferSize()
{
    sizeAnswer = SizeAnswer::None;
}

// --- Procedures ---------------------------------------------------------------------

Outcome Cartridge::LoadBuffer(const Arguments& arguments, ProcedureCall& call)
{
    ArgumentReader reader(arguments);
    uint32_t offset = 0;
    if (!reader.U32(offset) || !reader.CountedBytes(call.bytes) || !reader.AtEnd())
        return Outcome::Refuse();
    const auto count = static_cast<uint32_t>(call.bytes.size());
    call.values = {offset, count};
    if (uint64_t{offset} + count > buffer.size())
        return Outcome::Refuse();
    std::copy(call.bytes.begin(), call.bytes.end(), buffer.begin() + offset);
    return Outcome::Reply();
}

Outcome Cartridge::ProgramRange(const Arguments& arguments, ProcedureCall& call)
{
    return RangeOperation(arguments, call, [this](uint32_t address, uint32_t length) {
        if (length > buffer.size())
            return int32_t{CartridgeStatus::kBeyondBuffer};
        return flash.Program(address, buffer.data(), length);
    });
}

Outcome Cartridge::RangeOperation(const Arguments& arguments, ProcedureCall& call,
                                  const RangeAction& action)
{
    ArgumentReader reader(arguments);
    uint32_t address = 0;
    uint32_t length = 0;
    if (!reader.U32(address) || !reader.U32(length) || !reader.AtEnd())
        return Outcome::Refuse();
    call.values = {address, length};
    int32_t status = 0;
    if (TakeForcedStatus(call.procedure, status))
        return Answer(call, status);
    return Answer(call, action(address, length));
}

Outcome Cartridge::FlashRangeOperation(const Arguments& arguments, ProcedureCall& call,
                                       int32_t (FlashModel::*operation)(uint32_t, uint32_t))
{
    return RangeOperation(arguments, call, [this, operation](uint32_t address, uint32_t length) {
        return (flash.*operation)(address, length);
    });
}

Outcome Cartridge::EraseRange(const Arguments& arguments, ProcedureCall& call)
{
    return FlashRangeOperation(arguments, call, &FlashModel::Erase);
}

Outcome Cartridge::CloseRange(const Arguments& arguments, ProcedureCall& call)
{
    return FlashRangeOperation(arguments, call, &FlashModel::Close);
}

Outcome Cartridge::OpenRange(const Arguments& arguments, ProcedureCall& call)
{
    return FlashRangeOperation(arguments, call, &FlashModel::Open);
}

Outcome Cartridge::GetBufferSize(const Arguments& arguments, ProcedureCall& call)
{
    if (!arguments.empty())
        return Outcome::Refuse();
    switch (sizeAnswer) {
    case SizeAnswer::None:
        return Outcome::Reply();
    case SizeAnswer::Chosen:
        call.values = {chosenSize};
        return Outcome::Reply(LittleEndian(chosenSize));
    case SizeAnswer::Actual:
        break;
    }
    call.values = {BufferSize()};
    return Outcome::Reply(LittleEndian(BufferSize()));
}

Outcome Cartridge::GetBufferChecksum(const Arguments& arguments, ProcedureCall& call)
{
    ArgumentReader reader(arguments);
    uint32_t length = 0;
    if (!reader.U32(length) || !reader.AtEnd())
        return Outcome::Refuse();
    call.values = {length};
    int32_t status = 0;
    const bool forced = TakeForcedStatus(call.procedure, status);
    if (!forced && length > buffer.size())
        return Answer(call, CartridgeStatus::kBeyondBuffer, {0, 0});

    uint16_t sum = ByteSum(buffer.data(), std::min<size_t>(length, buffer.size()));
    if (corruptChecksums > 0) {
        --corruptChecksums;
        sum = static_cast<uint16_t>(sum + 1);
    }
    std::vector<uint8_t> sumBytes;
    AppendU16(sumBytes, sum);
    return Answer(call, status, sumBytes);
}

Outcome Cartridge::FinishUpload(const Arguments& arguments, ProcedureCall& call)
{
    ArgumentReader reader(arguments);
    uint32_t value = 0;
    if (!reader.U32(value) || !reader.AtEnd())
        return Outcome::Refuse();
    call.values = {value};
    finishValues.push_back(value);
    return Outcome::Reply();
}

Outcome Cartridge::PrintText(const Arguments& arguments, ProcedureCall& call)
{
    ArgumentReader reader(arguments);
    std::vector<uint8_t> text;
    if (!reader.CountedBytes(text) || !reader.AtEnd())
        return Outcome::Refuse();
    call.values = {static_cast<uint32_t>(text.size())};
    // The text ends at its NUL; a text without one is shown whole.
    text.erase(std::find(text.begin(), text.end(), 0), text.end());
    screenText.append(text.begin(), text.end());
    if (screenText.size() > kMaxScreenText)
        screenText.erase(0, screenText.size() - kMaxScreenText);
    call.bytes = std::move(text);
    return Outcome::Reply();
}

Outcome Cartridge::Handshake(const Arguments& arguments, ProcedureCall& call)
{
    ArgumentReader reader(arguments);
    uint32_t magic = 0;
    if (!reader.U32(magic) || !reader.AtEnd())
        return Outcome::Refuse();
    call.values = {magic};
    int32_t status = 0;
    if (TakeForcedStatus(call.procedure, status))
        return Answer(call, status);
    if (magic != kMagicMode1 && magic != kMagicMode2)
        return Answer(call, CartridgeStatus::kUnknownMagic);
    handshakeMode = magic == kMagicMode1 ? 1 : 2;
    return Answer(call, 0);
}

Outcome Cartridge::SetTransferState(const Arguments& arguments, ProcedureCall& call)
{
    ArgumentReader reader(arguments);
    TransferState state;
    if (!reader.U8(state.active) || !reader.U8(state.failed) || !reader.AtEnd())
        return Outcome::Refuse();
    call.values = {state.active, state.failed};
    transferStates.push_back(state);
    return Outcome::Reply();
}

} // namespace sim
