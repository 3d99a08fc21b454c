#include "sim/linenoise.h"

namespace sim {

LineNoise::LineNoise(Rates rates, uint32_t seed) : rates(rates), generator(seed) {}

double LineNoise::Chance()
{
    return static_cast<double>(generator()) / 4294967296.0;
}

void LineNoise::Apply(std::vector<uint8_t>& bytes)
{
    if (!Enabled())
        return;
    std::vector<uint8_t> arrived;
    arrived.reserve(bytes.size());
    for (uint8_t byte : bytes) {
        if (Chance() < rates.drop) {
            ++dropped;
            continue;
        }
        if (Chance() < rates.corrupt) {
            ++corrupted;
            byte = static_cast<uint8_t>(byte ^ 1u << (generator() % 8));
        }
        arrived.push_back(byte);
    }
    bytes.swap(arrived);
}

} // namespace sim
