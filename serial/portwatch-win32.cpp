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

// The DOS device table names a COM port the system's drivers made; a port
// mapped otherwise (wine's links under dosdevices) is not in it, so a name
// the table does not know is asked of the device itself: an open without
// access, which sends nothing, told apart from one that finds nothing.
std::optional<std::string> PortNode(const std::string& name)
{
    // "\\.\com5" is the DOS device "com5".
    const std::string device = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    char target[1024] = {};
    if (::QueryDosDeviceA(device.c_str(), target, sizeof target) != 0)
        return std::string(target);
    const HANDLE opened = ::CreateFileA(name.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
        ::CloseHandle(opened);
        return std::string("present");
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        return std::string("present"); // held by another program
    return std::nullopt;
}
