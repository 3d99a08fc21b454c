#include "sim/argumentreader.h"

namespace sim {

bool ArgumentReader::Take(size_t count, const uint8_t*& bytes)
{
    if (arguments.size() - position < count)
        return false;
    bytes = arguments.data() + position;
    position += count;
    return true;
}

bool ArgumentReader::U8(uint8_t& value)
{
    const uint8_t* bytes = nullptr;
    if (!Take(1, bytes))
        return false;
    value = bytes[0];
    return true;
}

bool ArgumentReader::U16(uint16_t& value)
{
    const uint8_t* bytes = nullptr;
    if (!Take(2, bytes))
        return false;
    value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return true;
}

bool ArgumentReader::U32(uint32_t& value)
{
    const uint8_t* bytes = nullptr;
    if (!Take(4, bytes))
        return false;
    value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | bytes[i];
    return true;
}

bool ArgumentReader::CountedBytes(std::vector<uint8_t>& out)
{
    uint16_t count = 0;
    const uint8_t* bytes = nullptr;
    if (!U16(count) || !Take(count, bytes))
        return false;
    out.assign(bytes, bytes + count);
    return true;
}

} // namespace sim
