#include "sim/randomfaults.h"

#include "sim/wire.h"

namespace sim {

namespace {

// The first byte of the sync word never appears in the noise, so that no
// burst can hold a false start of a reply and every noise byte is one that
// the host must skip.
constexpr uint8_t kSyncStart = kSyncBytes[0];

} // namespace

RandomFaults::RandomFaults(const FaultRates& rates) : rates(rates), generator(rates.seed) {}

// 53 random bits as a fraction: the same sequence with every standard library.
double RandomFaults::Uniform()
{
    return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

std::vector<uint8_t> RandomFaults::NoiseBytes()
{
    std::vector<uint8_t> bytes(rates.noiseBytes);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(generator() % 255);
        if (byte >= kSyncStart)
            ++byte;
    }
    return bytes;
}

Fault RandomFaults::Next()
{
    double draw = Uniform();
    const auto within = [&draw](double rate) {
        if (draw < rate)
            return true;
        draw -= rate;
        return false;
    };
    if (within(rates.corruptReply))
        return Fault::DamagedDataSum();
    if (within(rates.corruptHeader))
        return Fault::DamagedHeaderSum();
    if (within(rates.lateReply))
        return Fault::Late(rates.lateness);
    if (within(rates.askAgain))
        return Fault::AskAgain();
    if (within(rates.noise))
        return Fault::Noise(NoiseBytes());
    if (within(rates.dropReply))
        return Fault::Dropped();
    return Fault::None();
}

} // namespace sim
