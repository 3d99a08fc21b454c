#pragma once
// The cartridge's procedure numbers.
#include <cstdint>

namespace sim {

namespace Procedure {
constexpr uint8_t kLoadBuffer = 0;        // u32 offset, u16 count, count bytes -> nothing
constexpr uint8_t kProgramRange = 1;      // u32 address, u32 length -> u32 status
constexpr uint8_t kEraseRange = 2;        // u32 address, u32 length -> u32 status
constexpr uint8_t kCloseRange = 3;        // u32 address, u32 length -> u32 status
constexpr uint8_t kOpenRange = 4;         // u32 address, u32 length -> u32 status
constexpr uint8_t kGetBufferSize = 6;     // -> u32 size
constexpr uint8_t kGetBufferChecksum = 8; // u32 length -> u32 status, u16 sum
constexpr uint8_t kFinishUpload = 9;      // u32 value -> nothing
constexpr uint8_t kPrintText = 11;        // u16 count, count bytes (NUL included) -> nothing
constexpr uint8_t kHandshake = 12;        // u32 magic -> u32 status
constexpr uint8_t kSetTransferState = 13; // u8 active, u8 failed -> nothing
} // namespace Procedure

// The name a procedure is shown by, or "procedure N" for numbers it lacks.
const char* ProcedureName(uint8_t procedure);

} // namespace sim
