#include "sim/flashmodel.h"

#include <algorithm>

namespace sim {

FlashModel::FlashModel() : memory(kSize, kErased) {}

bool FlashModel::InsideFlash(uint32_t address, uint32_t length)
{
    return uint64_t{address} + length <= kSize;
}

int32_t FlashModel::Open(uint32_t address, uint32_t length)
{
    if (!InsideFlash(address, length))
        return FlashStatus::kOutsideFlash;
    if (length == 0)
        return FlashStatus::kOk;
    uint32_t start = address;
    uint32_t end = address + length;
    // Swallow every range that overlaps or touches the new one.
    auto it = openRanges.upper_bound(start);
    if (it != openRanges.begin() && std::prev(it)->second >= start)
        --it;
    while (it != openRanges.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = openRanges.erase(it);
    }
    openRanges[start] = end;
    return FlashStatus::kOk;
}

int32_t FlashModel::Close(uint32_t address, uint32_t length)
{
    if (!InsideFlash(address, length))
        return FlashStatus::kOutsideFlash;
    const uint32_t start = address;
    const uint32_t end = address + length;
    auto it = openRanges.upper_bound(start);
    if (it != openRanges.begin())
        --it;
    while (it != openRanges.end() && it->first < end) {
        const uint32_t rangeStart = it->first;
        const uint32_t rangeEnd = it->second;
        if (rangeEnd <= start) {
            ++it;
            continue;
        }
        it = openRanges.erase(it);
        if (rangeStart < start)
            openRanges[rangeStart] = start;
        if (rangeEnd > end)
            openRanges[end] = rangeEnd;
    }
    return FlashStatus::kOk;
}

bool FlashModel::IsOpen(uint32_t address, uint32_t length) const
{
    if (length == 0)
        return true;
    auto it = openRanges.upper_bound(address);
    if (it == openRanges.begin())
        return false;
    --it;
    return it->first <= address && uint64_t{address} + length <= it->second;
}

int32_t FlashModel::CheckWritable(uint32_t address, uint32_t length) const
{
    if (!InsideFlash(address, length))
        return FlashStatus::kOutsideFlash;
    if (!IsOpen(address, length))
        return FlashStatus::kNotOpen;
    return FlashStatus::kOk;
}

int32_t FlashModel::Erase(uint32_t address, uint32_t length)
{
    const int32_t status = CheckWritable(address, length);
    if (status != FlashStatus::kOk)
        return status;
    std::fill_n(memory.begin() + address, length, kErased);
    return FlashStatus::kOk;
}

int32_t FlashModel::Program(uint32_t address, const uint8_t* data, uint32_t length)
{
    const int32_t status = CheckWritable(address, length);
    if (status != FlashStatus::kOk)
        return status;
    uint8_t* cell = memory.data() + address;
    bool verified = true;
    for (uint32_t i = 0; i < length; ++i) {
        cell[i] &= data[i];
        verified = verified && cell[i] == data[i];
    }
    return verified ? FlashStatus::kOk : FlashStatus::kVerifyFailed;
}

void FlashModel::EraseAll()
{
    std::fill(memory.begin(), memory.end(), kErased);
}

std::vector<uint8_t> FlashModel::Read(uint32_t address, uint32_t length) const
{
    if (!InsideFlash(address, length))
        return {};
    return std::vector<uint8_t>(memory.begin() + address, memory.begin() + address + length);
}

bool FlashModel::Holds(uint32_t address, const std::vector<uint8_t>& expected) const
{
    if (!InsideFlash(address, static_cast<uint32_t>(std::min<size_t>(expected.size(), kSize + 1))))
        return false;
    return std::equal(expected.begin(), expected.end(), memory.begin() + address);
}

bool FlashModel::IsErased(uint32_t address, uint32_t length) const
{
    if (!InsideFlash(address, length))
        return false;
    return std::all_of(memory.begin() + address, memory.begin() + address + length,
                       [](uint8_t byte) { return byte == kErased; });
}

bool FlashModel::Load(const std::vector<uint8_t>& image)
{
    if (image.size() > kSize)
        return false;
    std::copy(image.begin(), image.end(), memory.begin());
    return true;
}

} // namespace sim
