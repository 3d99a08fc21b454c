#pragma once
// A byte channel between the host and another channel that damages bytes,
// lets a caller act between the host's writes (a device reset, say), and
// keeps the clock a real 38,400-baud line would have shown.
//
// Its clock is the inner channel's: the simulated line's in process (where
// a time-out costs no real time, yet shows as it would on a real line), the
// system's over a pseudo-terminal. The longest stretch of that time between
// two cancel points is how long a user could not cancel.
#include <cstdint>
#include <functional>
#include <random>

#include "serial/comm.h"

namespace bench {

class CampaignChannel : public IComm
{
public:
    // Called before each write of the host; `writeIndex` counts from 0.
    using WriteHook = std::function<void(uint64_t writeIndex)>;

    CampaignChannel(IComm& inner, uint32_t seed);

    int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) override;
    int32_t Read(void* data, int32_t length, uint16_t timeoutMs) override;
    Time Now() const override { return inner.Now(); }
    Time OutputDoneAt() override { return inner.OutputDoneAt(); }
    Time TransferTime(uint32_t bytes) const override { return inner.TransferTime(bytes); }

    // Chance per byte that one bit of it flips, with at most one damaged
    // byte per request and per reply: the damage a 16-bit sum always sees.
    void SetDamagePerByte(double toDevice, double toHost);
    void SetWriteHook(WriteHook hook) { writeHook = std::move(hook); }

    // Seconds on the line's clock since this channel was made.
    double LineSeconds() const;
    // A point where the user could cancel (a progress report, a handshake
    // attempt's end); the longest stretch between two of them is kept.
    void MarkCancelPoint();
    double LongestUncancellableSeconds() const { return longestStretch; }

    uint64_t Writes() const { return writes; }
    uint64_t Reads() const { return reads; }
    // Requests the host sent: every first write after a read starts one.
    uint64_t Requests() const { return requests; }
    uint64_t BytesWritten() const { return bytesWritten; }
    uint64_t BytesRead() const { return bytesRead; }
    uint64_t TimedOutReads() const { return timedOutReads; }
    uint64_t DamagedBytes() const { return damaged; }

private:
    bool Chance(double probability);
    void MaybeDamage(uint8_t* bytes, int32_t count, double rate, bool& budgetUsed);

    IComm& inner;
    std::mt19937 generator;
    WriteHook writeHook;
    double damageToDevice = 0.0;
    double damageToHost = 0.0;
    bool requestDamaged = false;
    bool replyDamaged = false;
    bool lastWasRead = true;

    uint64_t writes = 0;
    uint64_t reads = 0;
    uint64_t requests = 0;
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
    uint64_t timedOutReads = 0;
    uint64_t damaged = 0;
    Time started;
    double lastCancelPoint = 0.0;
    double longestStretch = 0.0;
};

} // namespace bench
