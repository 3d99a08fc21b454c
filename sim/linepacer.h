#pragma once
// The time bytes take on a serial line. A pseudo-terminal delivers
// everything at once and ignores its speed setting; a real line at 38,400
// baud, 8N1, moves 3,840 bytes a second in each direction (ten bit times a
// byte: start, eight data, stop). The pacer says when a byte that was handed
// to the line has really gone across; the line is busy until then, so bytes
// queue behind each other.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sim {

class LinePacer
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr uint32_t kDefaultBaud = 38400;
    static constexpr uint32_t kBitsPerByte = 10; // 8N1

    // baud 0: a line without delay (full speed).
    explicit LinePacer(uint32_t baud = kDefaultBaud) : baud(baud) {}

    bool Unpaced() const { return baud == 0; }
    Clock::duration WireTime(size_t bytes) const;
    // Puts `bytes` on the line at `now` (or when it is next free) and returns
    // the moment the last of them has crossed.
    Clock::time_point Transmit(size_t bytes, Clock::time_point now);
    // When the line is free for the next byte.
    Clock::time_point FreeAt() const { return freeAt; }
    // How many bytes put on the line at `start` have wholly crossed by `now`.
    size_t BytesCrossed(Clock::time_point start, Clock::time_point now) const;
    void Reset() { freeAt = Clock::time_point{}; }

private:
    uint32_t baud;
    Clock::time_point freeAt{};
};

} // namespace sim
