#pragma once
// Reading a port's identity from a given sysfs and by-id folder: the tests'
// own trees stand in for /sys and /dev/serial/by-id.
#include <string>

#include "serial/portdiscovery.h"

// `sysRoot` holds class/tty/<name>/device; `byIdFolder` the stable links
// (it may be missing, as it is without udev).
PortIdentity IdentifyPortIn(const std::string& portName, const std::string& sysRoot,
                            const std::string& byIdFolder);
