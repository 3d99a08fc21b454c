#pragma once
// Reads a request's arguments, little-endian, with every read bounds-checked:
// a short or malformed request fails the read instead of reading past it.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class ArgumentReader
{
public:
    explicit ArgumentReader(const std::vector<uint8_t>& arguments) : arguments(arguments) {}

    bool U8(uint8_t& value);
    bool U16(uint16_t& value);
    bool U32(uint32_t& value);
    // A 16-bit count, then that many bytes.
    bool CountedBytes(std::vector<uint8_t>& bytes);
    // True when every byte has been read: a request with bytes left over is
    // not one the device understands.
    bool AtEnd() const { return position == arguments.size(); }

private:
    bool Take(size_t count, const uint8_t*& bytes);

    const std::vector<uint8_t>& arguments;
    size_t position = 0;
};

} // namespace sim
