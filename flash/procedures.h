#pragma once
// The cartridge's procedures that the host calls, and what the host does
// with each: the one table every call, failure text and trace line reads.
#include <cstdint>

// The device's procedure numbers (5, 7 and 10 are not used by the host).
enum class Procedure : uint8_t
{
    LoadBuffer = 0,
    ProgramRange = 1,
    EraseRange = 2,
    CloseRange = 3,
    OpenRange = 4,
    GetBufferSize = 6,
    GetBufferChecksum = 8,
    FinishUpload = 9,
    PrintText = 11,
    Handshake = 12,
    SetTransferState = 13,
};

// Whether the host reads a procedure's answer. One it reads goes out only
// once every earlier answer is in, so that the answer taken is its own; one
// it ignores may go out whatever the link has written off. A handshake is
// read, yet only a cartridge that is there answers it, and which of the
// polls it answered does not matter.
enum class AnswerUse : uint8_t
{
    Ignored,
    Read,
    ReadFromAnyPoll,
};

// How often the host makes a call when the link cannot complete it: once,
// or up to the host's own attempt count.
enum class HostAttempts : uint8_t
{
    Once,
    Repeated,
};

// Whether a procedure acts on what the transfer buffer holds: it may go out
// only while the host vouches for the buffer (checked, and nothing of the
// host's own loaded over it since).
enum class BufferUse : uint8_t
{
    None,
    ProgramsFromIt,
};

struct ProcedureFacts
{
    Procedure procedure;
    const char* name;
    AnswerUse answer;
    HostAttempts attempts;
    BufferUse buffer = BufferUse::None;
};

const ProcedureFacts& FactsOf(Procedure procedure);
inline const char* NameOf(Procedure procedure)
{
    return FactsOf(procedure).name;
}
inline uint8_t NumberOf(Procedure procedure)
{
    return static_cast<uint8_t>(procedure);
}
