#pragma once
// Learning of serial ports that come and go, from the system: on Linux
// udev's monitor (udevd's events once its rules have run, the kernel's own
// where no udevd runs); elsewhere nothing tells, and the caller looks at the
// candidates again at its interval. Opens no port.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

class PortWatch
{
public:
    PortWatch();
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // Whether the system tells of ports coming and going.
    bool Told() const;
    // Waits at most `limit`; true when a serial port came or went meanwhile.
    bool Wait(std::chrono::milliseconds limit);

private:
    struct Monitor;
    std::unique_ptr<Monitor> monitor;
};

// What the port `name` leads to now, from the system's device tables only
// (opens nothing); none when it is not there. It changes when the device is
// made anew, as a plugged-in adapter's node (or a test rig's link) is; on
// Windows it is the DOS device's target, the same on every plug-in.
std::optional<std::string> PortNode(const std::string& name);
