#pragma once
// Finding the machine's serial ports: every candidate device name is opened
// and closed once, and the ports met are reported in candidate order.
#include <cstdint>
#include <string>
#include <vector>

struct SerialPortInfo
{
    std::string name;     // the candidate device name as tried
    bool inUse = false;   // the port exists but another program holds it
    bool isModem = false; // a modem answered the probe (only when asked for)
};

// The device names a serial port of this machine can have, in the order
// ports are offered: on Windows "\\.\com1" to "\\.\com50"; on Linux the USB
// serial adapters /dev/ttyUSB0-24, then /dev/ttyACM0-24. Never the built-in
// /dev/ttyS* lines, one of which is usually the system console.
std::vector<std::string> GetCandidatePortNames();

// Tries every candidate name. A port that opens is listed as free (and, with
// testForModem, probed for a modem; without it, no byte is sent anywhere); a
// port another program holds is listed as inUse; missing and broken ones are
// left out. Throws SerialStreamError (code 2) only when the final close of
// its stream fails.
std::vector<SerialPortInfo> DiscoverSerialPorts(bool testForModem);

// The same over a given list of names, in that order.
std::vector<SerialPortInfo> DiscoverSerialPorts(const std::vector<std::string>& candidateNames,
                                                bool testForModem);

// Why a port that exists refused to open (listed inUse): another program
// holds it, or this user may not open it.
struct PortRefusal
{
    enum class Reason
    {
        HeldByAnotherProgram,
        NoPermission,
    };
    Reason reason = Reason::HeldByAnotherProgram;
    long holderPid = 0;      // the holding process where the system shows it, else 0
    std::string holderName;  // its program name, where known
    std::string group;       // NoPermission: the group allowed to open the port, where known
    bool groupNeedsNewLogin = false; // the user is in `group`, but not yet in this login
};

// Looks into the system's tables only: opens no port, sends nothing.
PortRefusal ExplainRefusedPort(const std::string& portName);

// What a person recognises a USB serial port by, from the system's own
// device tables; a field is empty where the system does not say (a built-in
// line, a pseudo-terminal, a machine without udev's links, Windows). Reads
// files only: opens no port.
struct PortIdentity
{
    std::string manufacturer; // the USB device's own strings
    std::string product;
    std::string serialNumber;
    std::string stableName;   // a name that outlives re-plugging (/dev/serial/by-id/...)
};
PortIdentity IdentifyPort(const std::string& portName);

// Milliseconds from an arbitrary start, wrapping at 2^32: the time stamps of
// discovery's trace lines.
uint32_t DiscoveryTicks();
