#include "sim/procedurecall.h"

#include <cstdio>

#include "sim/procedures.h"

namespace sim {

const char* ProcedureName(uint8_t procedure)
{
    switch (procedure) {
    case Procedure::kLoadBuffer: return "LoadBuffer";
    case Procedure::kProgramRange: return "ProgramRange";
    case Procedure::kEraseRange: return "EraseRange";
    case Procedure::kCloseRange: return "CloseRange";
    case Procedure::kOpenRange: return "OpenRange";
    case Procedure::kGetBufferSize: return "GetBufferSize";
    case Procedure::kGetBufferChecksum: return "GetBufferChecksum";
    case Procedure::kFinishUpload: return "FinishUpload";
    case Procedure::kPrintText: return "PrintText";
    case Procedure::kHandshake: return "Handshake";
    case Procedure::kSetTransferState: return "SetTransferState";
    default: return nullptr;
    }
}

namespace {

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// Addresses and magic numbers read best in hex, counts in decimal.
bool ShownInHex(uint8_t procedure, size_t index)
{
    switch (procedure) {
    case Procedure::kProgramRange:
    case Procedure::kEraseRange:
    case Procedure::kCloseRange:
    case Procedure::kOpenRange:
        return index == 0;
    case Procedure::kFinishUpload:
    case Procedure::kHandshake:
        return true;
    default:
        return false;
    }
}

// Texts end in line breaks; a log line shows them escaped.
std::string Escaped(const std::vector<uint8_t>& text)
{
    std::string shown;
    for (uint8_t c : text) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            shown += code;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

} // namespace

std::string ProcedureCall::Describe() const
{
    const char* name = ProcedureName(procedure);
    std::string line = name != nullptr ? name : "procedure " + std::to_string(procedure);
    line += '(';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0)
            line += ", ";
        line += ShownInHex(procedure, i) ? Hex(values[i]) : std::to_string(values[i]);
    }
    if (procedure == Procedure::kPrintText)
        line += ", \"" + Escaped(bytes) + "\"";
    line += ')';
    if (ignored)
        line += " ignored";
    else if (refused)
        line += " refused";
    else if (hasStatus)
        line += " -> " + std::to_string(status);
    return line;
}

} // namespace sim
