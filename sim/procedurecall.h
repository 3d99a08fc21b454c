#pragma once
// One procedure call as the cartridge understood it: decoded arguments and
// the status it answered.
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ProcedureCall
{
    uint8_t procedure = 0;
    // The numeric arguments in the order they were sent:
    //   LoadBuffer {offset, count}; the range procedures {address, length};
    //   GetBufferChecksum {length}; FinishUpload {value}; PrintText {count};
    //   Handshake {magic}; SetTransferState {active, failed}.
    std::vector<uint32_t> values;
    std::vector<uint8_t> bytes; // LoadBuffer's chunk; PrintText's text without its NUL
    bool hasStatus = false;
    int32_t status = 0;         // the status answered, when hasStatus
    bool ignored = false;       // not answered: the cartridge was not listening
    bool refused = false;       // malformed arguments, refused with a reply code

    // One line for a log, e.g. "ProgramRange(0x3c0000, 4096) -> 0".
    std::string Describe() const;
};

} // namespace sim
