#pragma once
// The cartridge's side of the frame format.
//
// Every frame is a payload followed by its 16-bit byte sum (unsigned bytes,
// wrapping, low byte first); a header frame has the sync word 78 5A 3C 1E in
// front. Requests are a header (procedure, argument length N) and the N
// argument bytes; replies a header (reply code, data length M) and, after the
// code 0xFF, the M data bytes.
//
// The device keeps its own copy of these numbers rather than borrowing the
// host's: a wrong constant shared by both ends would pass every test.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr uint8_t kSyncBytes[4] = {0x78, 0x5A, 0x3C, 0x1E};
constexpr size_t kHeaderPayloadLength = 3; // procedure or code (1) + length (2)
constexpr size_t kChecksumLength = 2;

// Reply codes. The host acts on 0xFF and 0xFE; every other code ends its
// call with a failure, so the device uses a few to say why it refused.
namespace ReplyCode {
constexpr uint8_t kReplyFollows = 0xFF;
constexpr uint8_t kSendAgain = 0xFE;
constexpr uint8_t kUnknownProcedure = 0x01;
constexpr uint8_t kRequestTooLarge = 0x02;
constexpr uint8_t kBadArguments = 0x03;
} // namespace ReplyCode

uint16_t ByteSum(const uint8_t* bytes, size_t count);
uint16_t ByteSum(const std::vector<uint8_t>& bytes);

// Appends `value` least significant byte first.
void AppendU16(std::vector<uint8_t>& out, uint16_t value);
void AppendU32(std::vector<uint8_t>& out, uint32_t value);

// A reply header frame: sync word, code, length, and the sum of the three
// payload bytes.
std::vector<uint8_t> ReplyHeaderFrame(uint8_t code, uint16_t length);
// A data frame: the bytes and their sum, without a sync word.
std::vector<uint8_t> DataFrame(const std::vector<uint8_t>& payload);
// A request as a correct host sends it (header and argument frames; the
// header is laid out as a reply's): for tests and seeds.
std::vector<uint8_t> RequestFrames(uint8_t procedure, const std::vector<uint8_t>& arguments);

} // namespace sim
