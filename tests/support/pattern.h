#pragma once
// Test data whose bytes differ from their neighbours, so that a block written
// to the wrong place, twice or not at all shows in a comparison.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testdata {

inline std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed = 1)
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
