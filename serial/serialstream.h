#pragma once
// A buffered byte stream over one serial port.
//
// The stream keeps the port's device name and line settings, checks settings
// before they reach the port, and reads through a 512-byte ring buffer: what
// has already arrived is taken with one non-blocking poll, and only the bytes
// still missing are waited for, straight into the caller's memory. The RPC
// link reads its sync words and checksums one byte per call; the ring buffer
// serves those from memory instead of one system call each.
//
// Every failure is thrown as SerialStreamError (serial/serialstreamerror.h),
// after a "Throwing from" trace line (serial/trace.h).
//
// The five operations that talk to the operating system (OpenPort, ClosePort,
// ApplyLineSettings, PortRead, PortWrite) live in one source per platform,
// serialstream-posix.cpp or serialstream-win32.cpp, chosen by the build.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "serial/comm.h"
#include "serial/serialstreamerror.h"
#include "serial/trace.h"

class CSerialStream
{
public:
    // How often the stream has asked the operating system for each kind of
    // work. Tests and benchmarks read these to tell which reads the ring
    // buffer served from memory.
    struct PortCallCounts
    {
        int64_t reads = 0;        // PortRead calls (each one read() or ReadFile at least)
        int64_t writes = 0;       // PortWrite calls with bytes to send
        int64_t lineSettings = 0; // ApplyLineSettings calls
    };

    // Closed, no name, 9600 baud, 8 data bits, no parity, 1 stop bit. Turns
    // the trace off; does not touch the operating system.
    CSerialStream();
    // Closes the port. A failing close is traced and dropped: a destructor
    // has nobody to report it to.
    ~CSerialStream();
    CSerialStream(const CSerialStream&) = delete;
    CSerialStream& operator=(const CSerialStream&) = delete;

    // Closes the port if it is open (dropping any bytes still buffered from
    // it), then opens the named device and applies the stored line settings.
    // Returns true; failures throw: 4 no such device, 5 refused (another
    // program holds it), 2 anything else. When only the line settings are
    // refused, the port stays open.
    bool Open(std::string portName);
    // Drops buffered bytes and closes the port; does nothing when closed.
    void Close();

    // Speed in baud, > 0 (else code 3). Reaches an open port at once; the
    // current speed again changes nothing and touches nothing.
    void SetSpeed(int32_t newSpeed);
    // Data bits 4..8, parity letter E/M/N/O/S in either case, stop bits 1 or
    // 2 (else code 3, nothing changed). The same values again (the letter
    // compared exactly) change nothing and touch nothing.
    void SetLineFormat(int32_t newDataBits, char newParity, int32_t newStopBits);

    // Sends all `length` bytes or throws: 3 when the port is not open or
    // `length` is negative, 2 when the system fails or the port has not
    // taken them all by the write's deadline: when they would have left the
    // line behind the bytes written before them, plus the stall allowance.
    void Write(const void* data, int32_t length);
    // How much longer than the line needs a write may take before the port
    // counts as dead (5 s unless set): a line without flow control drains at
    // its speed, so only a port whose far end no longer takes bytes, or a
    // driver that no longer sends them, can hold a write up.
    void SetWriteStallAllowance(std::chrono::milliseconds allowance) { stallAllowance = allowance; }
    // Asked after every 50 ms a write has waited for room in vain (POSIX):
    // true ends the write at once, failed as at its deadline. A cancel cuts
    // the wait on a far end that stopped taking bytes short this way; on a
    // line that takes them, room comes sooner. Empty: the deadline decides.
    void SetWriteGiveUp(std::function<bool()> giveUp) { writeGiveUp = std::move(giveUp); }
    // Stores up to `length` bytes at `data` and returns how many. Takes what
    // has arrived, then waits for the missing bytes only: `timeoutMs` 0 not
    // at all, > 0 at most that long in total, < 0 without limit. Throws 1
    // when the port is not open, 3 for a negative `length`, 2 when the
    // system fails or the line is gone (a pulled adapter, a hung-up peer).
    int32_t Read(void* data, int32_t length, int32_t timeoutMs);

    // Drops every byte that has arrived so far. Stops after IComm::kMostDiscardedBytes
    // bytes even if more keep coming, so a babbling device cannot hold it.
    void DiscardInput();
    // Sends "AT" three times and tells whether "OK" comes back within 100 ms
    // of the last one. The port must be open.
    bool ProbeModem();

    // When the bytes written so far will all have left the port, on the
    // system's monotonic clock: a reply cannot come before then.
    std::chrono::steady_clock::time_point OutputDoneAt() const { return outputDoneAt; }
    // How long the line takes to carry `bytes` at the current settings.
    std::chrono::microseconds TransferTime(uint32_t bytes) const;

    bool IsOpen() const { return streamValid; }
    const std::string& Name() const { return name; }
    const PortCallCounts& PortCalls() const { return portCalls; }

    // What the open did to a USB adapter's latency timer, for the close to
    // undo (POSIX; serial/adapterlatency-posix.h).
    enum class AdapterLatency : uint8_t
    {
        AsFound, // untouched: the driver cannot, may not, or already did
        Lowered, // the open set the driver's low-latency flag
    };

    static constexpr int32_t kBufferSize = 512;
    // Enough for any modem's chatter, far less than a device that never stops
    // sends before the user would give up on the probe.
    static constexpr std::chrono::milliseconds kDefaultWriteStallAllowance{5000};

private:
    // When the line will have carried `length` more bytes, written now,
    // behind those still on their way.
    std::chrono::steady_clock::time_point LineClearAfter(int32_t length) const;

    // Ring buffer.
    void TakeFromBuffer(uint8_t* destination, int32_t count);
    void AppendToBuffer(const uint8_t* source, int32_t count);

    // Platform layer: one source per operating system.
    void OpenPort();
    void ClosePort();
    void ApplyLineSettings();
    int32_t PortRead(void* data, int32_t length, int32_t timeoutMs);
    void PortWrite(const void* data, int32_t length);

    std::intptr_t handle;   // file descriptor or HANDLE; meaningful while streamValid
    std::string name;
    int32_t speed;
    int32_t dataBits;
    char parity;
    int32_t stopBits;
    bool streamValid;
    uint8_t buffer[kBufferSize];
    int32_t bufferStart;    // oldest undelivered byte, 0..511
    int32_t bufferLen;      // undelivered bytes, 0..512
    PortCallCounts portCalls;
    std::chrono::steady_clock::time_point outputDoneAt{};
    AdapterLatency adapterLatency = AdapterLatency::AsFound;
    std::chrono::milliseconds stallAllowance{kDefaultWriteStallAllowance};
    std::function<bool()> writeGiveUp;
};
