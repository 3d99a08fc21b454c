#include "bench/campaignchannel.h"

#include <algorithm>
#include <vector>

namespace bench {

CampaignChannel::CampaignChannel(IComm& inner, uint32_t seed)
    : inner(inner), generator(seed), started(inner.Now())
{
}

void CampaignChannel::SetDamagePerByte(double toDevice, double toHost)
{
    damageToDevice = toDevice;
    damageToHost = toHost;
}

bool CampaignChannel::Chance(double probability)
{
    return probability > 0.0 &&
           std::uniform_real_distribution<double>(0.0, 1.0)(generator) < probability;
}

void CampaignChannel::MaybeDamage(uint8_t* bytes, int32_t count, double rate, bool& budgetUsed)
{
    for (int32_t i = 0; i < count && !budgetUsed; ++i) {
        if (!Chance(rate))
            continue;
        bytes[i] = static_cast<uint8_t>(bytes[i] ^ 1u << (generator() % 8));
        budgetUsed = true;
        ++damaged;
    }
}

int32_t CampaignChannel::Write(const void* data, int32_t length, uint16_t timeoutMs)
{
    // The first write after a read starts a new request (and its reply).
    if (lastWasRead) {
        requestDamaged = false;
        replyDamaged = false;
        lastWasRead = false;
        ++requests;
    }
    if (writeHook)
        writeHook(writes);
    ++writes;
    bytesWritten += static_cast<uint64_t>(std::max(length, 0));
    if (damageToDevice <= 0.0 || length <= 0)
        return inner.Write(data, length, timeoutMs);
    const auto* source = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> onLine(source, source + length);
    MaybeDamage(onLine.data(), length, damageToDevice, requestDamaged);
    inner.Write(onLine.data(), length, timeoutMs);
    return length;
}

int32_t CampaignChannel::Read(void* data, int32_t length, uint16_t timeoutMs)
{
    lastWasRead = true;
    ++reads;
    const int32_t count = inner.Read(data, length, timeoutMs);
    bytesRead += static_cast<uint64_t>(count);
    if (count < length && timeoutMs > 0)
        ++timedOutReads;
    MaybeDamage(static_cast<uint8_t*>(data), count, damageToHost, replyDamaged);
    return count;
}

double CampaignChannel::LineSeconds() const
{
    return std::chrono::duration<double>(inner.Now() - started).count();
}

void CampaignChannel::MarkCancelPoint()
{
    const double now = LineSeconds();
    longestStretch = std::max(longestStretch, now - lastCancelPoint);
    lastCancelPoint = now;
}

} // namespace bench
