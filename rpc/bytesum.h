#pragma once
// The 16-bit byte sum that guards every frame of the protocol and the
// cartridge's transfer buffer: the bytes added as unsigned values, modulo
// 65,536.
#include <cstdint>

inline uint16_t ByteSum(const uint8_t* bytes, uint32_t count)
{
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}
