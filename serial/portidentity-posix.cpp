// A port's identity on Linux. The terminal's sysfs entry leads to the device
// behind it; for a USB port (an adapter's ttyUSB, a CDC device's ttyACM) one
// of that device's parents is the USB device, which holds its descriptor
// strings. udev adds the stable names as links in /dev/serial/by-id; where
// it does not run (a container, a small system) there are none.
#include "serial/portidentity-posix.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, or "" where there is none.
std::string Attribute(const fs::path& folder, const char* name)
{
    std::ifstream in(folder / name);
    std::string value;
    std::getline(in, value);
    return value;
}

// The USB device a terminal belongs to: the nearest parent with a vendor id.
fs::path UsbDeviceOf(const fs::path& terminal)
{
    std::error_code error;
    fs::path device = fs::canonical(terminal / "device", error);
    if (error)
        return {};
    for (; device.has_relative_path(); device = device.parent_path()) {
        if (fs::exists(device / "idVendor", error))
            return device;
    }
    return {};
}

// The by-id link that leads to `portName`, if any.
std::string StableName(const std::string& portName, const std::string& byIdFolder)
{
    std::error_code error;
    const fs::path port = fs::path(portName).lexically_normal();
    for (fs::directory_iterator entry(byIdFolder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code linkError;
        fs::path target = fs::read_symlink(entry->path(), linkError);
        if (linkError)
            continue;
        if (target.is_relative())
            target = entry->path().parent_path() / target;
        if (target.lexically_normal() == port)
            return entry->path().string();
    }
    return {};
}

} // namespace

PortIdentity IdentifyPortIn(const std::string& portName, const std::string& sysRoot,
                            const std::string& byIdFolder)
{
    PortIdentity identity;
    const fs::path usb =
        UsbDeviceOf(fs::path(sysRoot) / "class/tty" / fs::path(portName).filename());
    if (!usb.empty()) {
        identity.manufacturer = Attribute(usb, "manufacturer");
        identity.product = Attribute(usb, "product");
        identity.serialNumber = Attribute(usb, "serial");
    }
    identity.stableName = StableName(portName, byIdFolder);
    return identity;
}

PortIdentity IdentifyPort(const std::string& portName)
{
    return IdentifyPortIn(portName, "/sys", "/dev/serial/by-id");
}
