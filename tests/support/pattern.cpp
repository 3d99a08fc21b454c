#include "tests/support/pattern.h"

namespace testdata {

std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

} // namespace testdata
