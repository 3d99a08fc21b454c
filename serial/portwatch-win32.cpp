// Serial ports coming and going on Windows: nothing here tells (a console
// program has no window for device notifications), so the caller looks at
// the COM names again at its interval.
#include "serial/portwatch.h"

#include <thread>

#include <windows.h>

struct PortWatch::Monitor
{
};

PortWatch::PortWatch() = default;
PortWatch::~PortWatch() = default;

bool PortWatch::Told() const
{
    return false;
}

bool PortWatch::Wait(std::chrono::milliseconds limit)
{
    std::this_thread::sleep_for(limit);
    return false;
}

std::optional<std::string> PortNode(const std::string& name)
{
    // "\\.\com5" is the DOS device "com5".
    const std::string device = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    char target[1024] = {};
    if (::QueryDosDeviceA(device.c_str(), target, sizeof target) == 0)
        return std::nullopt;
    return std::string(target);
}
