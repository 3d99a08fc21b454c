#include "sim/inprocesschannel.h"

#include <algorithm>

#include "serial/serialstreamerror.h"
#include "sim/deviceengine.h"

namespace sim {

namespace {

void AppendToLog(std::vector<uint8_t>& log, const uint8_t* bytes, size_t count)
{
    const size_t room = InProcessChannel::kMaxWireLog - std::min(log.size(),
                                                                 InProcessChannel::kMaxWireLog);
    log.insert(log.end(), bytes, bytes + std::min(count, room));
}

} // namespace

InProcessChannel::InProcessChannel(DeviceEngine& device) : device(device) {}

void InProcessChannel::PullCableAfter(uint64_t bytes)
{
    pullArmed = true;
    bytesBeforePull = bytes;
    if (bytes == 0)
        cablePulled = true;
}

void InProcessChannel::PlugCableBackIn()
{
    cablePulled = false;
    pullArmed = false;
}

void InProcessChannel::ClearWireLog()
{
    hostToDevice.clear();
    deviceToHost.clear();
}

void InProcessChannel::ThrowIfCablePulled() const
{
    if (cablePulled)
        throw SerialStreamError{SerialStreamError::SystemError};
}

int32_t InProcessChannel::Write(const void* data, int32_t length, uint16_t /*timeoutMs*/)
{
    ThrowIfCablePulled();
    ++counters.writes;
    if (length <= 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t count = static_cast<size_t>(length);
    const bool pullsNow = pullArmed && count >= bytesBeforePull;
    if (pullsNow)
        count = static_cast<size_t>(bytesBeforePull);
    else if (pullArmed)
        bytesBeforePull -= count;

    FeedDevice(bytes, count);
    if (pullsNow) {
        cablePulled = true;
        pullArmed = false;
        if (count < static_cast<size_t>(length))
            ThrowIfCablePulled();
    }
    return length;
}

void InProcessChannel::FeedDevice(const uint8_t* bytes, size_t count)
{
    counters.bytesWritten += count;
    AppendToLog(hostToDevice, bytes, count);
    std::vector<uint8_t> onLine(bytes, bytes + count);
    noiseToDevice.Apply(onLine);
    device.Feed(onLine);
    CollectDeviceOutput();
}

int32_t InProcessChannel::Read(void* data, int32_t length, uint16_t timeoutMs)
{
    ThrowIfCablePulled();
    ++counters.reads;
    if (length <= 0)
        return 0;
    CollectDeviceOutput();
    const size_t count = std::min(arrived.size(), static_cast<size_t>(length));
    std::copy_n(arrived.begin(), count, static_cast<uint8_t*>(data));
    arrived.erase(arrived.begin(), arrived.begin() + static_cast<std::ptrdiff_t>(count));
    counters.bytesRead += count;

    if (count < static_cast<size_t>(length)) {
        if (timeoutMs == 0)
            ++counters.emptyPolls;
        else
            OnTimeout();
    }
    return static_cast<int32_t>(count);
}

void InProcessChannel::OnTimeout()
{
    ++counters.timeouts;
    // The host waited its time-out: the line was quiet that long, and
    // whatever was held back arrives now, just too late.
    device.LineIdle();
    CollectDeviceOutput();
    while (!heldBack.empty()) {
        Deliver(std::move(heldBack.front()));
        heldBack.pop_front();
    }
}

void InProcessChannel::CollectDeviceOutput()
{
    OutputChunk chunk;
    while (device.TakeOutput(chunk)) {
        // Bytes on a line keep their order: nothing overtakes a held chunk.
        if (chunk.late || !heldBack.empty())
            heldBack.push_back(std::move(chunk.bytes));
        else
            Deliver(std::move(chunk.bytes));
    }
}

void InProcessChannel::Deliver(std::vector<uint8_t> bytes)
{
    noiseToHost.Apply(bytes);
    AppendToLog(deviceToHost, bytes.data(), bytes.size());
    arrived.insert(arrived.end(), bytes.begin(), bytes.end());
}

} // namespace sim
