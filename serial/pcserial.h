#pragma once
// The serial port as the byte channel of an upload: one CSerialStream,
// opened at the caller's speed with 8 data bits, no parity and 1 stop bit.
//
// Writes are gathered and handed to the port in one piece at the next Read
// (or Flush): the RPC link writes a request's sync word and checksums one
// byte at a time, and each of those would otherwise be a system call of its
// own (and, behind a USB adapter, a transfer of its own). Every byte still
// reaches the port before the link waits for the reply.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "serial/comm.h"
#include "serial/serialstream.h"

class CPCSerial : public IComm
{
public:
    // More than the largest request (a 2,048-byte chunk in its frames);
    // a longer run of writes goes out in pieces of about this size.
    static constexpr std::size_t kMaxGathered = 4096;

    // Does not touch the operating system.
    CPCSerial() = default;
    // Hands on what is still gathered, then closes the port; a failure of
    // either is traced and dropped.
    ~CPCSerial() override;
    CPCSerial(const CPCSerial&) = delete;
    CPCSerial& operator=(const CPCSerial&) = delete;

    // Sets 8-N-1 and `speed`, then opens the port; returns 0. Failures pass
    // on as SerialStreamError: 3 for a speed of 0 or less (nothing opened),
    // 4 no such port, 5 held by another program, 2 anything else. When the
    // port opened but refused its settings, it stays open until destruction.
    int32_t Open(std::string portName, int32_t speed);

    // Takes the bytes for the port and returns `length`; the time-out is not
    // used (writes drain at line speed). A closed port is refused at once
    // (code 3); a failure of the port itself surfaces when the bytes are
    // handed on, at the next Read or Flush.
    int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) override;
    // Hands on the gathered bytes, then reads.
    int32_t Read(void* data, int32_t length, uint16_t timeoutMs) override;
    // Hands the gathered bytes to the port now; they are dropped if that fails.
    void Flush();
    // See CSerialStream::SetWriteGiveUp.
    void SetWriteGiveUp(std::function<bool()> giveUp) { stream.SetWriteGiveUp(std::move(giveUp)); }

    // The system's monotonic clock.
    Time Now() const override;
    // Hands on the gathered bytes first.
    Time OutputDoneAt() override;
    Time TransferTime(uint32_t bytes) const override { return stream.TransferTime(bytes); }

private:
    CSerialStream stream;
    std::vector<uint8_t> gathered;
};
