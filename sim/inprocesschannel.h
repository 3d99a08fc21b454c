#pragma once
// A byte channel that connects the host's code straight to a simulated
// device in the same process, with no port and a simulated clock.
//
// The line is modelled as a real one runs (38,400 baud, 8N1, unless told
// otherwise): the host's bytes cross it one after the other, the device
// answers once it has heard a whole request, and its reply crosses back
// byte by byte. Time passes only while the host waits in a Read (or a test
// lets it pass with Idle): a ten-second time-out costs no real time at all,
// yet every deadline of the host sees the moments a real line would show.
// A late reply (Fault::Late) leaves its delay later; nothing overtakes it.
// A USB adapter's latency timer can hold the replies at the host's end
// (sim/adapterlatency.h).
//
// The cable can be pulled on demand: every later Read and Write then throws
// SerialStreamError, as a serial port that disappeared does.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "serial/comm.h"
#include "sim/adapterlatency.h"
#include "sim/line.h"
#include "sim/linenoise.h"

namespace sim {

class DeviceEngine;

class InProcessChannel : public IComm
{
public:
    struct Counters
    {
        uint64_t reads = 0;
        uint64_t writes = 0;
        uint64_t timeouts = 0;     // short reads that were allowed to wait
        uint64_t emptyPolls = 0;   // short reads with a time-out of 0
        uint64_t bytesWritten = 0; // by the host
        uint64_t bytesRead = 0;    // by the host
    };

    // Enough of each direction for any test; a longer run keeps only the start.
    static constexpr size_t kMaxWireLog = 16u << 20;

    // baud 0: a line that carries bytes without delay.
    explicit InProcessChannel(DeviceEngine& device, uint32_t baud = LineSpeed::kDefaultBaud);

    int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) override;
    int32_t Read(void* data, int32_t length, uint16_t timeoutMs) override;
    Time Now() const override { return now; }
    Time OutputDoneAt() override { return std::max(now, line.toDevice.FreeAt()); }
    Time TransferTime(uint32_t bytes) const override;

    // Lets `duration` pass on the line without the host reading.
    void Idle(Time duration) { AdvanceTo(now + duration); }
    // How long the device takes from a request's last byte to its answer.
    void SetTurnaround(Time turnaround) { this->turnaround = turnaround; }
    // Puts a USB adapter with this latency timer at the host's end (0: none).
    void SetAdapterLatency(std::chrono::milliseconds timer) { adapter = AdapterLatency(timer); }
    // Runs at every moment the clock reaches (a device that goes silent at
    // a given time, a user who clicks): `at` is the new time.
    void SetClockHook(std::function<void(Time at)> hook) { clockHook = std::move(hook); }

    void PullCable() { line.cable.Pull(); }
    // Pulls the cable once the host has written `bytes` more bytes: the device
    // receives exactly those, and the write that goes beyond them throws.
    void PullCableAfter(uint64_t bytes) { line.cable.PullAfter(bytes); }
    void PlugCableBackIn() { line.cable.PlugIn(); }
    bool CablePulled() const { return line.cable.Pulled(); }

    void SetNoiseToDevice(LineNoise noise) { noiseToDevice = std::move(noise); }
    void SetNoiseToHost(LineNoise noise) { noiseToHost = std::move(noise); }
    const LineNoise& NoiseToDevice() const { return noiseToDevice; }
    const LineNoise& NoiseToHost() const { return noiseToHost; }

    const Counters& GetCounters() const { return counters; }
    void ResetCounters() { counters = Counters{}; }
    // Every byte the host wrote, and every byte the device put on the line
    // towards the host (read or not), in order.
    const std::vector<uint8_t>& HostToDevice() const { return hostToDevice; }
    const std::vector<uint8_t>& DeviceToHost() const { return deviceToHost; }
    void ClearWireLog();
    // Bytes the device has sent that the host has not read yet, on the way
    // or arrived.
    size_t Waiting() const;

private:
    // Bytes on their way to the host; byte i is there once i + 1 bytes
    // have crossed since `start`.
    struct Departure
    {
        Time start;
        std::vector<uint8_t> bytes;
        size_t taken = 0;
    };

    void ThrowIfCablePulled() const;
    void FeedDevice(const uint8_t* bytes, size_t count);
    // Puts the device's output on the line as it is produced at `at`.
    void CollectDeviceOutput(Time at);
    void AdvanceTo(Time to);
    // Bytes there for the host at the current time.
    size_t Arrived() const;
    // Of the bytes not read yet, how many have crossed the line by now, and
    // when each one does.
    size_t Crossed() const;
    std::vector<Time> CrossingTimes() const;
    // The adapter's packets of the bytes it has not handed on yet, in turn,
    // until `send(size, sentAt)` returns false.
    template <class Send>
    void AdapterPackets(Send send) const;
    // When the `count`-th byte still to be read gets there; Time::max() when
    // the device has not sent that many.
    Time ArrivalOf(size_t count) const;
    size_t Take(uint8_t* data, size_t count);

    DeviceEngine& device;
    Line<Time, Time> line;
    Time now{0};
    Time turnaround{0};
    std::function<void(Time)> clockHook;
    std::deque<Departure> outbound;
    AdapterLatency adapter;
    // Of the bytes not read yet, how many the adapter has handed on (from
    // the first): the next packet begins after them.
    size_t handedOn = 0;

    LineNoise noiseToDevice;
    LineNoise noiseToHost;
    Counters counters;
    std::vector<uint8_t> hostToDevice;
    std::vector<uint8_t> deviceToHost;
};

} // namespace sim
