#pragma once
// Test data whose bytes differ from their neighbours, so that a block written
// to the wrong place, twice or not at all shows in a comparison.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testdata {

std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed = 1);

} // namespace testdata
