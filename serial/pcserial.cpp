#include "serial/pcserial.h"

#include <utility>

CPCSerial::~CPCSerial()
{
    try {
        stream.Close();
    } catch (const SerialStreamError& error) {
        // The port's handle is given back even when closing fails; the upload
        // that used it has already ended, so there is nobody left to tell.
        TraceLog("Dropped failure to close %s, code %d\n", stream.Name().c_str(),
                 static_cast<int>(error.code));
    }
}

int32_t CPCSerial::Open(std::string portName, int32_t speed)
{
    stream.SetLineFormat(8, 'n', 1);
    stream.SetSpeed(speed);
    stream.Open(std::move(portName));
    return 0;
}

int32_t CPCSerial::Write(const void* data, int32_t length, uint16_t /*timeoutMs*/)
{
    stream.Write(data, length);
    return length;
}

int32_t CPCSerial::Read(void* data, int32_t length, uint16_t timeoutMs)
{
    return stream.Read(data, length, static_cast<int32_t>(timeoutMs));
}
