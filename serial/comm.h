#pragma once
// The byte channel every layer above the serial port talks to.
//
// Result conventions, relied on by the RPC link:
//  - Write takes all `length` bytes for the line and returns `length`; a
//    failure is thrown (SerialStreamError), never returned. A channel may
//    hold written bytes back to send them together, but every one of them
//    is on its way before the next Read starts to wait.
//  - Read stores 0..`length` bytes and returns how many. It takes what has
//    already arrived, then waits for the missing bytes only, at most
//    `timeoutMs` in total (0: do not wait at all). An expired time-out is not
//    an error: it shows as a count smaller than `length`.
#include <cstdint>

class IComm
{
public:
    virtual int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) = 0;
    virtual int32_t Read(void* data, int32_t length, uint16_t timeoutMs) = 0;
    virtual ~IComm() = default;
};
