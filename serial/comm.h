#pragma once
// The byte channel every layer above the serial port talks to.
//
// Result conventions, relied on by the RPC link:
//  - Write takes all `length` bytes for the line and returns `length`; a
//    failure is thrown (SerialStreamError), never returned. A channel may
//    hold written bytes back to send them together, but every one of them
//    is on its way before the next Read starts to wait, or when
//    OutputDoneAt is asked.
//  - Read stores 0..`length` bytes and returns how many. It takes what has
//    already arrived, then waits for the missing bytes only, at most
//    `timeoutMs` in total (0: do not wait at all). An expired time-out is not
//    an error: it shows as a count smaller than `length`.
//
// Time. A channel keeps the clock of its line: the system's monotonic clock
// for a real port, the simulated line's own for a simulated one. The link
// measures every wait on it, so a simulated line can make a ten-second
// time-out pass in no time at all.
#include <chrono>
#include <cstdint>

class IComm
{
public:
    // A moment on the channel's clock, counted from a start of its own; it
    // never goes back.
    using Time = std::chrono::microseconds;

    // The most input dropped at once without a wait: a device only speaks
    // when spoken to, so anything beyond this is babble, left to whatever
    // reads next to bound.
    static constexpr int32_t kMostDiscardedBytes = 64 * 1024;

    virtual int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) = 0;
    virtual int32_t Read(void* data, int32_t length, uint16_t timeoutMs) = 0;
    virtual ~IComm() = default;

    virtual Time Now() const = 0;
    // When the last byte written so far will have left the port: the moment
    // the device can have heard a whole request, so the moment a reply's
    // time-out starts. A port whose writes return only once the bytes are
    // on the line says "now".
    virtual Time OutputDoneAt() = 0;
    // How long the line takes to carry `bytes` one way.
    virtual Time TransferTime(uint32_t bytes) const = 0;
};
