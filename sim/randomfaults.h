#pragma once
// Faults at chosen rates, drawn from a seeded generator: a bad cable or a
// noisy line on demand, the same run after run for the same seed. Plugged
// into a cartridge's engine as its fault source; the engine counts what took
// effect (EngineStats::faults), which is what a host's own counts are
// checked against.
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "sim/fault.h"

namespace sim {

// The share of replies, each 0..1 and at most 1 in all, that get each fault.
struct FaultRates
{
    double corruptReply = 0.0;  // the reply's data sum arrives wrong
    double corruptHeader = 0.0; // the reply header's sum arrives wrong
    double lateReply = 0.0;     // the reply leaves `lateness` later
    double askAgain = 0.0;      // 0xFE instead of the reply; the request is not carried out
    double noise = 0.0;         // `noiseBytes` of noise before the reply
    double dropReply = 0.0;     // the request is carried out, its reply lost
    std::chrono::milliseconds lateness = Fault::kDefaultLateness;
    uint32_t noiseBytes = 8;
    uint64_t seed = 1;

    double Total() const
    {
        return corruptReply + corruptHeader + lateReply + askAgain + noise + dropReply;
    }
};

class RandomFaults
{
public:
    explicit RandomFaults(const FaultRates& rates);
    // The fault for the next reply; Fault::None() for a clean one.
    Fault Next();

private:
    double Uniform();
    std::vector<uint8_t> NoiseBytes();

    FaultRates rates;
    std::mt19937_64 generator;
};

} // namespace sim
