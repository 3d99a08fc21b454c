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

InProcessChannel::InProcessChannel(DeviceEngine& device, uint32_t baud) : device(device), line(baud)
{
}

IComm::Time InProcessChannel::TransferTime(uint32_t bytes) const
{
    return line.speed.WireTime<Time>(bytes);
}

void InProcessChannel::ClearWireLog()
{
    hostToDevice.clear();
    deviceToHost.clear();
}

void InProcessChannel::ThrowIfCablePulled() const
{
    if (line.cable.Pulled())
        throw SerialStreamError{SerialStreamError::SystemError};
}

int32_t InProcessChannel::Write(const void* data, int32_t length, uint16_t /*timeoutMs*/)
{
    ThrowIfCablePulled();
    ++counters.writes;
    if (length <= 0)
        return 0;
    const size_t crossing = line.cable.Pass(static_cast<size_t>(length));
    FeedDevice(static_cast<const uint8_t*>(data), crossing);
    if (crossing < static_cast<size_t>(length))
        ThrowIfCablePulled();
    return length;
}

// The device is fed at once, but hears the bytes when the last of them has
// crossed the line: its answer leaves from that moment.
void InProcessChannel::FeedDevice(const uint8_t* bytes, size_t count)
{
    counters.bytesWritten += count;
    AppendToLog(hostToDevice, bytes, count);
    const Time start = std::max(now, line.toDevice.FreeAt());
    const Time heard = line.toDevice.Transmit(count, now);
    std::vector<uint8_t> onLine(bytes, bytes + count);
    noiseToDevice.Apply(onLine);
    if (line.quiet.FallsQuietBy(start))
        device.LineIdle();
    line.quiet.BytesUntil(heard);
    device.ClockAt(heard);
    device.Feed(onLine);
    CollectDeviceOutput(heard);
}

void InProcessChannel::CollectDeviceOutput(Time at)
{
    OutputChunk chunk;
    while (device.TakeOutput(chunk)) {
        noiseToHost.Apply(chunk.bytes);
        if (chunk.bytes.empty())
            continue;
        AppendToLog(deviceToHost, chunk.bytes.data(), chunk.bytes.size());
        // Bytes on a line keep their order: nothing overtakes a late chunk.
        const Time start = std::max(at + turnaround + chunk.delay, line.toHost.FreeAt());
        line.toHost.Transmit(chunk.bytes.size(), start);
        outbound.push_back(Departure{start, std::move(chunk.bytes)});
    }
}

void InProcessChannel::AdvanceTo(Time to)
{
    if (to <= now)
        return;
    // A request that broke off is dropped once the line has been quiet.
    if (line.quiet.FallsQuietBy(to))
        device.LineIdle();
    now = to;
    device.ClockAt(now);
    if (clockHook)
        clockHook(now);
    CollectDeviceOutput(now);
}

size_t InProcessChannel::Crossed() const
{
    size_t arrived = 0;
    for (const Departure& departure : outbound) {
        if (departure.start > now)
            break;
        const size_t left = departure.bytes.size() - departure.taken;
        const auto crossed = static_cast<size_t>(std::min<uint64_t>(
            departure.bytes.size(), line.speed.BytesCrossed(now - departure.start)));
        const size_t ready = crossed > departure.taken ? crossed - departure.taken : 0;
        arrived += ready;
        if (ready < left)
            break;
    }
    return arrived;
}

std::vector<IComm::Time> InProcessChannel::CrossingTimes() const
{
    std::vector<Time> times;
    for (const Departure& departure : outbound)
        for (size_t i = departure.taken; i < departure.bytes.size(); ++i)
            times.push_back(departure.start + TransferTime(static_cast<uint32_t>(i + 1)));
    return times;
}

template <class Send>
void InProcessChannel::AdapterPackets(Send send) const
{
    const std::vector<Time> crossing = CrossingTimes();
    adapter.Packets<Time>(crossing.size() - handedOn,
                          [&](size_t i) { return crossing[handedOn + i]; }, send);
}

size_t InProcessChannel::Arrived() const
{
    if (!adapter.Holds())
        return Crossed();
    size_t arrived = handedOn;
    AdapterPackets([&](size_t size, Time sentAt) {
        if (sentAt > now)
            return false;
        arrived += size;
        return true;
    });
    return arrived;
}

IComm::Time InProcessChannel::ArrivalOf(size_t count) const
{
    if (adapter.Holds() && count <= handedOn)
        return now;
    if (adapter.Holds()) {
        Time at = Time::max();
        size_t handed = handedOn;
        AdapterPackets([&](size_t size, Time sentAt) {
            handed += size;
            if (handed < count)
                return true;
            at = sentAt;
            return false;
        });
        return at;
    }
    for (const Departure& departure : outbound) {
        const size_t left = departure.bytes.size() - departure.taken;
        if (count <= left)
            return departure.start + TransferTime(static_cast<uint32_t>(departure.taken + count));
        count -= left;
    }
    return Time::max();
}

size_t InProcessChannel::Waiting() const
{
    size_t waiting = 0;
    for (const Departure& departure : outbound)
        waiting += departure.bytes.size() - departure.taken;
    return waiting;
}

size_t InProcessChannel::Take(uint8_t* data, size_t count)
{
    // Only bytes the adapter has handed on are taken.
    handedOn = adapter.Holds() ? Arrived() - count : 0;
    size_t taken = 0;
    while (taken < count && !outbound.empty()) {
        Departure& head = outbound.front();
        const size_t piece = std::min(count - taken, head.bytes.size() - head.taken);
        std::copy_n(head.bytes.begin() + static_cast<std::ptrdiff_t>(head.taken), piece,
                    data + taken);
        head.taken += piece;
        taken += piece;
        if (head.taken == head.bytes.size())
            outbound.pop_front();
    }
    return taken;
}

int32_t InProcessChannel::Read(void* data, int32_t length, uint16_t timeoutMs)
{
    ThrowIfCablePulled();
    ++counters.reads;
    if (length <= 0)
        return 0;
    const auto wanted = static_cast<size_t>(length);
    CollectDeviceOutput(now);
    if (timeoutMs > 0 && Arrived() < wanted) {
        // The clock runs until the bytes are there or the time is up; the
        // device may speak meanwhile (a clock hook), so it runs in steps.
        const Time limit = now + std::chrono::milliseconds(timeoutMs);
        while (Arrived() < wanted && now < limit)
            AdvanceTo(std::min(limit, ArrivalOf(wanted)));
    }
    const size_t count = Take(static_cast<uint8_t*>(data), std::min(Arrived(), wanted));
    counters.bytesRead += count;
    if (count < wanted)
        ++(timeoutMs == 0 ? counters.emptyPolls : counters.timeouts);
    return static_cast<int32_t>(count);
}

} // namespace sim
