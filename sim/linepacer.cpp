#include "sim/linepacer.h"

#include <algorithm>
#include <cstdint>

namespace sim {

LinePacer::Clock::duration LinePacer::WireTime(size_t bytes) const
{
    if (Unpaced())
        return Clock::duration::zero();
    // Rounded up, so that a byte's wire time has always wholly passed by
    // the moment BytesCrossed counts it.
    const auto bits = static_cast<uint64_t>(bytes) * kBitsPerByte;
    const auto nanoseconds = std::chrono::nanoseconds((bits * 1000000000ull + baud - 1) / baud);
    return std::chrono::duration_cast<Clock::duration>(nanoseconds);
}

size_t LinePacer::BytesCrossed(Clock::time_point start, Clock::time_point now) const
{
    if (now <= start)
        return 0;
    // Beyond an hour the count is plainly "everything"; the cap keeps the
    // arithmetic inside 64 bits.
    const auto elapsed = std::min<Clock::duration>(now - start, std::chrono::hours(1));
    const auto nanoseconds = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    if (Unpaced())
        return SIZE_MAX;
    return static_cast<size_t>(nanoseconds * baud / (uint64_t{kBitsPerByte} * 1000000000ull));
}

LinePacer::Clock::time_point LinePacer::Transmit(size_t bytes, Clock::time_point now)
{
    freeAt = std::max(freeAt, now) + WireTime(bytes);
    return freeAt;
}

} // namespace sim
