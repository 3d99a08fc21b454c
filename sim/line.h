#pragma once
// The serial line between the host and the simulated cartridge, as both of
// the simulator's carriers (the in-process channel, the pty server) run it:
// how long bytes take, when the receiver finds the line quiet, and a cable
// that can be pulled. A carrier keeps its own clock; `Moment` is a point on
// it (a steady_clock time_point, or the time since the line started).
//
// One rounding rule for every count: a moment is rounded up to the clock's
// tick and a number of bytes down, so a byte is never there before its last
// bit has crossed.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sim {

// 8N1 at a baud rate: ten bit times a byte (start, eight data, stop).
class LineSpeed
{
public:
    static constexpr uint32_t kDefaultBaud = 38400;
    static constexpr uint32_t kBitsPerByte = 10;

    // baud 0: a line without delay (full speed).
    explicit LineSpeed(uint32_t baud = kDefaultBaud) : baud(baud) {}

    bool Unpaced() const { return baud == 0; }
    // How long `bytes` take from the first bit of the first to the last bit
    // of the last, rounded up to `Tick`.
    template <class Tick = std::chrono::nanoseconds>
    Tick WireTime(uint64_t bytes) const
    {
        return std::chrono::ceil<Tick>(WireNanoseconds(bytes));
    }
    // How many bytes have wholly crossed `elapsed` after the first began.
    template <class Duration>
    uint64_t BytesCrossed(Duration elapsed) const
    {
        return BytesCrossedIn(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
    }

private:
    std::chrono::nanoseconds WireNanoseconds(uint64_t bytes) const;
    uint64_t BytesCrossedIn(std::chrono::nanoseconds elapsed) const;

    uint32_t baud;
};

// One direction of the line: bytes handed over queue behind those still
// crossing.
template <class Moment, class Tick = typename Moment::duration>
class LineDirection
{
public:
    explicit LineDirection(LineSpeed speed) : speed(speed) {}

    // Puts `bytes` on the line at `now`, or once it is free, and returns the
    // moment the last of them has crossed.
    Moment Transmit(uint64_t bytes, Moment now)
    {
        freeAt = std::max(freeAt, now) + speed.template WireTime<Tick>(bytes);
        return freeAt;
    }
    Moment FreeAt() const { return freeAt; }
    void Reset() { freeAt = Moment{}; }

private:
    LineSpeed speed;
    Moment freeAt{};
};

// The receiver's watch on its line: a request whose bytes stop coming for
// the time-out is dropped, as a device's receiver gives up on a frame that
// broke off. It notices that once for each stretch of quiet.
template <class Moment>
class QuietLine
{
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{100};

    explicit QuietLine(std::chrono::milliseconds timeout = kDefaultTimeout) : timeout(timeout) {}

    // The line carries bytes until `last`.
    void BytesUntil(Moment last)
    {
        lastByte = last;
        noticed = false;
    }
    // True when `now` is the first moment seen with the line quiet for the
    // time-out since its last byte.
    bool FallsQuietBy(Moment now)
    {
        if (noticed || now < lastByte + timeout)
            return false;
        noticed = true;
        return true;
    }
    // When the receiver will find the line quiet; Moment::max() when it has.
    Moment QuietAt() const { return noticed ? Moment::max() : lastByte + timeout; }
    // The line's state went with a pulled cable or a closed port.
    void Forget() { noticed = true; }

private:
    std::chrono::milliseconds timeout;
    Moment lastByte{};
    bool noticed = true;
};

// The cable: pulled on demand, or once the host has sent a given number of
// bytes more (a cable pulled mid-transfer, at a repeatable moment).
class Cable
{
public:
    void Pull() { pulled = true; }
    // The host's next `bytes` bytes still cross; the cable goes with the last.
    void PullAfter(uint64_t bytes);
    void PlugIn();
    bool Pulled() const { return pulled; }
    // Of `count` bytes the host sends, how many cross before the cable goes.
    size_t Pass(size_t count);

private:
    bool pulled = false;
    bool armed = false;
    uint64_t bytesLeft = 0;
};

// The line as a carrier runs it: one speed both ways, the device's watch on
// the quiet line, and the cable.
template <class Moment, class Tick = typename Moment::duration>
struct Line
{
    explicit Line(uint32_t baud, std::chrono::milliseconds quietAfter = QuietLine<Moment>::kDefaultTimeout)
        : speed(baud), toDevice(speed), toHost(speed), quiet(quietAfter)
    {
    }
    // What was on its way either direction is gone.
    void Reset()
    {
        toDevice.Reset();
        toHost.Reset();
        quiet.Forget();
    }

    LineSpeed speed;
    LineDirection<Moment, Tick> toDevice;
    LineDirection<Moment, Tick> toHost;
    QuietLine<Moment> quiet;
    Cable cable;
};

} // namespace sim
