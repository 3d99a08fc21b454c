#include "sim/line.h"

#include <cstdint>

namespace sim {

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000ull;

} // namespace

std::chrono::nanoseconds LineSpeed::WireNanoseconds(uint64_t bytes) const
{
    if (Unpaced())
        return std::chrono::nanoseconds::zero();
    const uint64_t bits = bytes * kBitsPerByte;
    return std::chrono::nanoseconds((bits * kNanosecondsPerSecond + baud - 1) / baud);
}

uint64_t LineSpeed::BytesCrossedIn(std::chrono::nanoseconds elapsed) const
{
    if (Unpaced())
        return UINT64_MAX;
    if (elapsed <= std::chrono::nanoseconds::zero())
        return 0;
    // Beyond an hour the count is plainly "everything"; the cap keeps the
    // arithmetic inside 64 bits.
    const auto capped = std::min<std::chrono::nanoseconds>(elapsed, std::chrono::hours(1));
    return static_cast<uint64_t>(capped.count()) * baud / (kBitsPerByte * kNanosecondsPerSecond);
}

void Cable::PullAfter(uint64_t bytes)
{
    armed = bytes > 0;
    bytesLeft = bytes;
    if (bytes == 0)
        pulled = true;
}

void Cable::PlugIn()
{
    pulled = false;
    armed = false;
}

size_t Cable::Pass(size_t count)
{
    if (!armed)
        return count;
    if (count < bytesLeft) {
        bytesLeft -= count;
        return count;
    }
    armed = false;
    pulled = true;
    return static_cast<size_t>(bytesLeft);
}

} // namespace sim
