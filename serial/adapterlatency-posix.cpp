#include "serial/adapterlatency-posix.h"

#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include "serial/trace.h"

#ifdef __linux__

namespace {

// One trace line for a call the driver refused.
void TraceRefusal(const std::string& portName, const char* what, const char* call, int error)
{
    TraceLog("Low latency on %s: %s (%s: %s)\n", portName.c_str(), what, call,
             std::strerror(error));
}

} // namespace

CSerialStream::AdapterLatency LowerAdapterLatency(int fd, const std::string& portName)
{
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        TraceRefusal(portName, "not available, the driver's timing stays", "TIOCGSERIAL", errno);
        return CSerialStream::AdapterLatency::AsFound;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        TraceLog("Low latency on %s: already set, left as found\n", portName.c_str());
        return CSerialStream::AdapterLatency::AsFound;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) {
        TraceRefusal(portName, "refused, the driver's timing stays", "TIOCSSERIAL", errno);
        return CSerialStream::AdapterLatency::AsFound;
    }
    TraceLog("Low latency on %s: set until the port closes\n", portName.c_str());
    return CSerialStream::AdapterLatency::Lowered;
}

void RestoreAdapterLatency(int fd, CSerialStream::AdapterLatency latency,
                           const std::string& portName)
{
    if (latency != CSerialStream::AdapterLatency::Lowered)
        return;
    // Read anew: only the flag this stream set goes back, whatever else
    // changed meanwhile.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        TraceRefusal(portName, "not restored", "TIOCGSERIAL", errno);
        return;
    }
    serial.flags &= ~ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
        TraceRefusal(portName, "not restored", "TIOCSSERIAL", errno);
}

#else

// Other POSIX systems have no serial flags of this kind.
CSerialStream::AdapterLatency LowerAdapterLatency(int, const std::string& portName)
{
    TraceLog("Low latency on %s: not available on this system\n", portName.c_str());
    return CSerialStream::AdapterLatency::AsFound;
}

void RestoreAdapterLatency(int, CSerialStream::AdapterLatency, const std::string&) {}

#endif
