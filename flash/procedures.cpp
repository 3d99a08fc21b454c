#include "flash/procedures.h"

#include <array>
#include <cassert>

namespace {

using A = AnswerUse;
using H = HostAttempts;

// The staging and commit steps repeat as wholes: their own calls go once.
constexpr std::array<ProcedureFacts, 11> kProcedures = {{
    {Procedure::LoadBuffer, "LoadBuffer", A::Ignored, H::Repeated},
    {Procedure::ProgramRange, "ProgramRange", A::Read, H::Once, BufferUse::ProgramsFromIt},
    {Procedure::EraseRange, "EraseRange", A::Read, H::Repeated},
    {Procedure::CloseRange, "CloseRange", A::Read, H::Repeated},
    {Procedure::OpenRange, "OpenRange", A::Read, H::Repeated},
    {Procedure::GetBufferSize, "GetBufferSize", A::Read, H::Once},
    {Procedure::GetBufferChecksum, "GetBufferChecksum", A::Read, H::Once},
    {Procedure::FinishUpload, "FinishUpload", A::Ignored, H::Once},
    {Procedure::PrintText, "PrintText", A::Ignored, H::Once},
    {Procedure::Handshake, "Handshake", A::ReadFromAnyPoll, H::Repeated},
    {Procedure::SetTransferState, "SetTransferState", A::Ignored, H::Once},
}};

} // namespace

const ProcedureFacts& FactsOf(Procedure procedure)
{
    for (const ProcedureFacts& facts : kProcedures) {
        if (facts.procedure == procedure)
            return facts;
    }
    assert(false && "every Procedure value has its row");
    return kProcedures.front();
}
