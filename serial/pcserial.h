#pragma once
// The serial port as the byte channel of an upload: one CSerialStream,
// opened at the caller's speed with 8 data bits, no parity and 1 stop bit.
#include <cstdint>
#include <string>

#include "serial/comm.h"
#include "serial/serialstream.h"

class CPCSerial : public IComm
{
public:
    // Does not touch the operating system.
    CPCSerial() = default;
    // Closes the port; a failing close is traced and dropped.
    ~CPCSerial() override;
    CPCSerial(const CPCSerial&) = delete;
    CPCSerial& operator=(const CPCSerial&) = delete;

    // Sets 8-N-1 and `speed`, then opens the port; returns 0. Failures pass
    // on as SerialStreamError: 3 for a speed of 0 or less (nothing opened),
    // 4 no such port, 5 held by another program, 2 anything else. When the
    // port opened but refused its settings, it stays open until destruction.
    int32_t Open(std::string portName, int32_t speed);

    // Sends every byte or throws; the time-out is not used (writes drain at
    // line speed).
    int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) override;
    int32_t Read(void* data, int32_t length, uint16_t timeoutMs) override;

private:
    CSerialStream stream;
};
