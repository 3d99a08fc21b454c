// Serial ports coming and going on Linux, from udev's monitor of the tty
// subsystem.
#include "serial/portwatch.h"

#include <string>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libudev.h>

#include "serial/trace.h"

struct PortWatch::Monitor
{
    udev* context = nullptr;
    udev_monitor* events = nullptr;
    ~Monitor()
    {
        if (events != nullptr)
            udev_monitor_unref(events);
        if (context != nullptr)
            udev_unref(context);
    }
};

namespace {

// udevd's events come once its rules have set the node's group and links;
// without udevd (a container, a small system) only the kernel tells.
const char* EventSource()
{
    return ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
}

} // namespace

PortWatch::PortWatch() : monitor(std::make_unique<Monitor>())
{
    const char* source = EventSource();
    monitor->context = udev_new();
    if (monitor->context != nullptr)
        monitor->events = udev_monitor_new_from_netlink(monitor->context, source);
    if (monitor->events == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor->events, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor->events) < 0) {
        TraceLog("port watch: no %s events; looking at the ports at intervals only\n", source);
        monitor.reset();
    }
}

PortWatch::~PortWatch() = default;

bool PortWatch::Told() const
{
    return monitor != nullptr;
}

bool PortWatch::Wait(std::chrono::milliseconds limit)
{
    if (monitor == nullptr) {
        ::poll(nullptr, 0, static_cast<int>(limit.count()));
        return false;
    }
    pollfd events{udev_monitor_get_fd(monitor->events), POLLIN, 0};
    if (::poll(&events, 1, static_cast<int>(limit.count())) <= 0)
        return false;
    // Every event waiting is taken: one look at the ports answers them all.
    bool came = false;
    while (udev_device* device = udev_monitor_receive_device(monitor->events)) {
        came = true;
        const char* action = udev_device_get_action(device);
        const char* node = udev_device_get_devnode(device);
        TraceLog("port watch: told of %s %s\n", action != nullptr ? action : "?",
                 node != nullptr ? node : udev_device_get_sysname(device));
        udev_device_unref(device);
    }
    return came;
}

// The name's own inode (a link made anew has another) and the device's.
std::optional<std::string> PortNode(const std::string& name)
{
    struct stat link {};
    struct stat device {};
    if (::lstat(name.c_str(), &link) != 0 || ::stat(name.c_str(), &device) != 0)
        return std::nullopt;
    return std::to_string(link.st_ino) + ":" + std::to_string(device.st_ino) + ":" +
           std::to_string(device.st_rdev);
}
