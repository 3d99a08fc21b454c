#include "flash/lineintegrity.h"

#include <algorithm>
#include <cmath>

void LineIntegrity::Begin(const CRpc::Stats& link)
{
    start = link;
    chunk = kLargestChunk;
    damagedRun = 0;
    cleanRun = 0;
}

double LineIntegrity::DamageRate(const CRpc::Stats& link) const
{
    const CRpc::Stats seen = link.Since(start);
    // Only the cartridge's word that a request arrived damaged tells of the
    // direction in which damage can pass into its buffer; damaged replies
    // are the host's own to see, and never reach the buffer.
    if (seen.askedAgain == 0)
        return 0.0;
    // Once it has said so, a request left unanswered is more likely one the
    // line damaged (a cartridge may say nothing to some) than one it lost.
    const uint64_t events = seen.askedAgain + seen.timedOut;
    const uint64_t carried = std::max<uint64_t>(seen.bytesSent + seen.bytesRead, 1);
    return static_cast<double>(events) / static_cast<double>(carried);
}

std::vector<uint32_t> LineIntegrity::Checkpoints(const std::vector<uint32_t>& chunkStarts,
                                                 uint32_t count, double rate) const
{
    std::vector<uint32_t> points;
    if (rate <= 0.0 || count == 0)
        return points;
    // n·s·r²/32 ≤ kMostUnseenPerBlock, s even and at least kShortestRun.
    const double longest = 32.0 * kMostUnseenPerBlock / (static_cast<double>(count) * rate * rate);
    const auto run = static_cast<uint32_t>(
        std::max<double>(kShortestRun, std::min<double>(std::floor(longest / 2) * 2, count)));
    for (std::size_t i = 0; i < chunkStarts.size(); ++i) {
        const uint32_t end = i + 1 < chunkStarts.size() ? chunkStarts[i + 1] : count;
        for (uint32_t point = chunkStarts[i] + run; point < end; point += run)
            points.push_back(point);
    }
    return points;
}

void LineIntegrity::ChunkSent(bool damaged)
{
    if (damaged) {
        cleanRun = 0;
        if (++damagedRun >= kDamagedToShrink && chunk > kSmallestChunk) {
            chunk /= 2;
            damagedRun = 0;
        }
        return;
    }
    damagedRun = 0;
    if (++cleanRun >= kCleanToGrow && chunk < kLargestChunk) {
        chunk *= 2;
        cleanRun = 0;
    }
}

void LineIntegrity::ChunkFailed()
{
    chunk = std::max(chunk / 2, kSmallestChunk);
    damagedRun = 0;
    cleanRun = 0;
}

bool LineIntegrity::WorthWritingAgain(uint32_t count, double rate) const
{
    const double run = std::min<double>(count, kLargestChunk);
    return count * run * rate * rate / 32.0 > kMostUnseenUnchecked;
}
