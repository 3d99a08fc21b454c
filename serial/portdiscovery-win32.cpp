// Where serial ports live on Windows, and discovery's clock.
#include "serial/portdiscovery.h"

#include <cstdio>

#include <windows.h>

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 50;

} // namespace

std::vector<std::string> GetCandidatePortNames()
{
    std::vector<std::string> names;
    for (int number = kFirstPort; number <= kLastPort; ++number) {
        char text[16];
        std::snprintf(text, sizeof text, "\\\\.\\com%d", number);
        names.emplace_back(text);
    }
    return names;
}

PortIdentity IdentifyPort(const std::string&)
{
    return {};
}

uint32_t DiscoveryTicks()
{
    return ::GetTickCount();
}
