// Why a serial port refused to open, on Windows: a COM port opens for one
// program at a time, and the system does not tell which one holds it.
#include "serial/portdiscovery.h"

PortRefusal ExplainRefusedPort(const std::string&)
{
    return PortRefusal{};
}
