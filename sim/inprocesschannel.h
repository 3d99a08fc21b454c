#pragma once
// A byte channel that connects the host's code straight to a simulated
// device in the same process, with no port and no clock.
//
// What the host writes is fed to the device at once; the device's reply
// bytes queue up for the host's reads. A read that cannot be satisfied comes
// back short AT ONCE: the time-out is reported without any waiting, so that
// retry paths run in microseconds. Late replies (Fault::Late) are held back
// until such a time-out has been reported.
//
// The cable can be pulled on demand: every later Read and Write then throws
// SerialStreamError, as a serial port that disappeared does.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "serial/comm.h"
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

    explicit InProcessChannel(DeviceEngine& device);

    int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) override;
    int32_t Read(void* data, int32_t length, uint16_t timeoutMs) override;

    void PullCable() { cablePulled = true; }
    // Pulls the cable once the host has written `bytes` more bytes: the device
    // receives exactly those, and the write that goes beyond them throws.
    void PullCableAfter(uint64_t bytes);
    void PlugCableBackIn();
    bool CablePulled() const { return cablePulled; }

    void SetNoiseToDevice(LineNoise noise) { noiseToDevice = std::move(noise); }
    void SetNoiseToHost(LineNoise noise) { noiseToHost = std::move(noise); }
    const LineNoise& NoiseToDevice() const { return noiseToDevice; }
    const LineNoise& NoiseToHost() const { return noiseToHost; }

    const Counters& GetCounters() const { return counters; }
    void ResetCounters() { counters = Counters{}; }
    // Every byte the host wrote, and every byte that reached the host's side
    // of the line (read or still waiting), in order.
    const std::vector<uint8_t>& HostToDevice() const { return hostToDevice; }
    const std::vector<uint8_t>& DeviceToHost() const { return deviceToHost; }
    void ClearWireLog();
    // Bytes that have arrived and wait for the host to read them.
    size_t Waiting() const { return arrived.size(); }

private:
    void ThrowIfCablePulled() const;
    void FeedDevice(const uint8_t* bytes, size_t count);
    // Moves the device's output onto the line, keeping late chunks back.
    void CollectDeviceOutput();
    void Deliver(std::vector<uint8_t> bytes);
    void OnTimeout();

    DeviceEngine& device;
    bool cablePulled = false;
    bool pullArmed = false;
    uint64_t bytesBeforePull = 0;
    LineNoise noiseToDevice;
    LineNoise noiseToHost;
    std::deque<uint8_t> arrived;
    std::deque<std::vector<uint8_t>> heldBack;
    Counters counters;
    std::vector<uint8_t> hostToDevice;
    std::vector<uint8_t> deviceToHost;
};

} // namespace sim
