// Where serial ports live on Linux, and discovery's clock.
#include "serial/portdiscovery.h"

#include <chrono>

namespace {

// USB serial adapters (ttyUSB) and USB modems and CDC devices (ttyACM); a
// cartridge cable is one of these. The built-in ttyS lines are left out:
// they exist whether or not anything is attached, and one is the console.
constexpr const char* kDevicePrefixes[] = {"/dev/ttyUSB", "/dev/ttyACM"};
constexpr int kPortsPerPrefix = 25;

} // namespace

std::vector<std::string> GetCandidatePortNames()
{
    std::vector<std::string> names;
    for (const char* prefix : kDevicePrefixes)
        for (int number = 0; number < kPortsPerPrefix; ++number)
            names.push_back(prefix + std::to_string(number));
    return names;
}

uint32_t DiscoveryTicks()
{
    const auto sinceBoot = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceBoot).count());
}
