#pragma once
// A USB serial adapter at the host's end of the line, as an FTDI chip runs
// it: what comes in from the line waits in the adapter until a packet is
// full (62 bytes of payload) or its latency timer has run out since the
// last byte came in. A reply of a dozen bytes therefore reaches the host
// the timer after its last byte, on every call.
#include <chrono>
#include <cstddef>

namespace sim {

class AdapterLatency
{
public:
    static constexpr size_t kPacketPayload = 62;

    // 0 ms: no adapter in the way, bytes reach the host as they cross.
    explicit AdapterLatency(std::chrono::milliseconds timer = std::chrono::milliseconds{0})
        : timer(timer)
    {
    }

    bool Holds() const { return timer.count() > 0; }
    std::chrono::milliseconds Timer() const { return timer; }

    // Groups `count` bytes, the i-th in from the line at `arrivalOf(i)` (in
    // order), into the packets the adapter sends, and calls
    // `send(size, sentAt)` for each in turn until it returns false. A packet
    // that is not full goes out the timer after its last byte: the caller
    // must know every byte that comes in before then.
    template <class Moment, class ArrivalOf, class Send>
    void Packets(size_t count, ArrivalOf arrivalOf, Send send) const
    {
        size_t next = 0;
        while (next < count) {
            Moment last = arrivalOf(next++);
            size_t size = 1;
            while (size < kPacketPayload && next < count && arrivalOf(next) < last + timer) {
                last = arrivalOf(next++);
                ++size;
            }
            if (!send(size, size == kPacketPayload ? last : Moment(last + timer)))
                return;
        }
    }

private:
    std::chrono::milliseconds timer;
};

} // namespace sim
