#include "serial/pcserial.h"

#include <algorithm>
#include <utility>

namespace {

// Empties the gathered bytes on every way out of a flush: bytes the port
// refused are not offered to it again.
class ClearOnExit
{
public:
    explicit ClearOnExit(std::vector<uint8_t>& bytes) : bytes(bytes) {}
    ~ClearOnExit() { bytes.clear(); }
    ClearOnExit(const ClearOnExit&) = delete;
    ClearOnExit& operator=(const ClearOnExit&) = delete;

private:
    std::vector<uint8_t>& bytes;
};

} // namespace

CPCSerial::~CPCSerial()
{
    // The upload that used the port has already ended, so there is nobody
    // left to tell of a failure here.
    try {
        Flush();
    } catch (const SerialStreamError& error) {
        TraceLog("Dropped failure to send to %s, code %d\n", stream.Name().c_str(),
                 static_cast<int>(error.code));
    }
    try {
        stream.Close();
    } catch (const SerialStreamError& error) {
        // The port's handle is given back even when closing fails.
        TraceLog("Dropped failure to close %s, code %d\n", stream.Name().c_str(),
                 static_cast<int>(error.code));
    }
}

int32_t CPCSerial::Open(std::string portName, int32_t speed)
{
    // Bytes meant for another port never reach this one.
    gathered.clear();
    stream.SetLineFormat(8, 'n', 1);
    stream.SetSpeed(speed);
    stream.Open(std::move(portName));
    return 0;
}

int32_t CPCSerial::Write(const void* data, int32_t length, uint16_t /*timeoutMs*/)
{
    // The stream refuses a closed port or a negative length itself, with
    // its own error and trace.
    if (!stream.IsOpen() || length < 0) {
        stream.Write(data, length);
        return length;
    }
    const auto count = static_cast<std::size_t>(length);
    if (gathered.size() + count > kMaxGathered)
        Flush();
    if (count >= kMaxGathered) {
        stream.Write(data, length);
        return length;
    }
    if (gathered.capacity() < kMaxGathered)
        gathered.reserve(kMaxGathered);
    const auto* bytes = static_cast<const uint8_t*>(data);
    gathered.insert(gathered.end(), bytes, bytes + count);
    return length;
}

int32_t CPCSerial::Read(void* data, int32_t length, uint16_t timeoutMs)
{
    Flush();
    return stream.Read(data, length, static_cast<int32_t>(timeoutMs));
}

IComm::Time CPCSerial::Now() const
{
    return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now().time_since_epoch());
}

IComm::Time CPCSerial::OutputDoneAt()
{
    Flush();
    return std::max(Now(),
                    std::chrono::duration_cast<Time>(stream.OutputDoneAt().time_since_epoch()));
}

void CPCSerial::Flush()
{
    if (gathered.empty())
        return;
    const ClearOnExit clear(gathered);
    stream.Write(gathered.data(), static_cast<int32_t>(gathered.size()));
}
