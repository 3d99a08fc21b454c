#pragma once
// Random damage to the bytes crossing the line in one direction: some bytes
// get a bit flipped, some are lost. The same seed gives the same damage, so
// a failing stress run can be repeated exactly.
#include <cstdint>
#include <random>
#include <vector>

namespace sim {

class LineNoise
{
public:
    struct Rates
    {
        double corrupt = 0.0; // chance per byte that one of its bits flips
        double drop = 0.0;    // chance per byte that it never arrives
    };

    LineNoise() = default; // a clean line
    LineNoise(Rates rates, uint32_t seed);

    // Damages `bytes` in place.
    void Apply(std::vector<uint8_t>& bytes);
    bool Enabled() const { return rates.corrupt > 0.0 || rates.drop > 0.0; }

    uint64_t CorruptedBytes() const { return corrupted; }
    uint64_t DroppedBytes() const { return dropped; }

private:
    // A number in [0, 1) from the generator alone, so that a seed means the
    // same damage with every standard library.
    double Chance();

    Rates rates;
    std::mt19937 generator;
    uint64_t corrupted = 0;
    uint64_t dropped = 0;
};

} // namespace sim
