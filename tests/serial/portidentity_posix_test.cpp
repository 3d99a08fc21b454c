// A port's identity read from a sysfs tree and a by-id folder built here, as
// the kernel lays them out for a USB adapter (the terminal below the
// interface below the device) and a CDC device (the terminal's device is the
// interface), and as a built-in line has them (no USB device at all).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <stdlib.h>

#include "serial/portidentity-posix.h"

namespace {

namespace fs = std::filesystem;

class FakeSysfs : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/plemo-sysfs-XXXXXX";
        root = mkdtemp(pattern);
        const fs::path usb = root / "devices/pci0000:00/usb1/1-1";
        Device(usb, {{"idVendor", "0403"}, {"manufacturer", "FTDI"},
                     {"product", "FT232R USB UART"}, {"serial", "A10K3XYZ"}});
        Terminal("ttyUSB3", usb / "1-1:1.0/ttyUSB3");
        const fs::path acm = root / "devices/pci0000:00/usb1/1-2";
        Device(acm, {{"idVendor", "1d6b"}, {"manufacturer", "Plemo"}, {"product", "Cartridge"}});
        Terminal("ttyACM1", acm / "1-2:1.0");
        Terminal("ttyS1", root / "devices/platform/serial8250");
        // udev's links lead back to the device node, relative or not.
        fs::create_directories(root / "dev/serial/by-id");
        fs::create_symlink("../../ttyUSB3", root / "dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
        fs::create_symlink("/dev/ttyACM1", root / "dev/serial/by-id/usb-Plemo_Cartridge-if00");
    }
    void TearDown() override { fs::remove_all(root); }

    void Device(const fs::path& folder, std::initializer_list<std::pair<const char*, const char*>> files)
    {
        fs::create_directories(folder);
        for (const auto& [name, value] : files)
            std::ofstream(folder / name) << value << "\n";
    }
    void Terminal(const char* name, const fs::path& device)
    {
        fs::create_directories(device);
        fs::create_directories(root / "class/tty" / name);
        fs::create_symlink(device, root / "class/tty" / name / "device");
    }
    PortIdentity Identify(const std::string& port, const char* byId = "dev/serial/by-id")
    {
        return IdentifyPortIn(port, root.string(), (root / byId).string());
    }

    fs::path root;
};

TEST_F(FakeSysfs, AUsbAdapterHasItsDescriptorStringsAndItsStableName)
{
    const PortIdentity adapter = Identify((root / "dev/ttyUSB3").string());
    EXPECT_EQ(adapter.manufacturer, "FTDI");
    EXPECT_EQ(adapter.product, "FT232R USB UART");
    EXPECT_EQ(adapter.serialNumber, "A10K3XYZ");
    EXPECT_EQ(adapter.stableName, (root / "dev/serial/by-id/usb-FTDI_FT232R-if00-port0").string());

    const PortIdentity device = Identify("/dev/ttyACM1");
    EXPECT_EQ(device.manufacturer, "Plemo");
    EXPECT_EQ(device.serialNumber, "");
    EXPECT_EQ(device.stableName, (root / "dev/serial/by-id/usb-Plemo_Cartridge-if00").string());
}

TEST_F(FakeSysfs, ABuiltInLineAnUnknownNameAndAMachineWithoutUdevGiveWhatThereIs)
{
    const PortIdentity builtIn = Identify("/dev/ttyS1");
    EXPECT_EQ(builtIn.manufacturer + builtIn.product + builtIn.serialNumber + builtIn.stableName, "");
    const PortIdentity unknown = Identify("/tmp/cart");
    EXPECT_EQ(unknown.manufacturer + unknown.stableName, "");
    const PortIdentity withoutUdev = Identify("/dev/ttyUSB3", "no-such-folder");
    EXPECT_EQ(withoutUdev.product, "FT232R USB UART");
    EXPECT_EQ(withoutUdev.stableName, "");
}

} // namespace
