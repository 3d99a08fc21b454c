#include "rpc/rpcmessage.h"

#include <cstring>
#include <new>

CRpcMessage::CRpcMessage(uint32_t capacity)
    : data(new uint8_t[capacity]), capacity(capacity)
{
}

CRpcMessage::~CRpcMessage()
{
    delete[] data;
}

void CRpcMessage::Reset()
{
    length = 0;
    position = 0;
}

int CRpcMessage::Grow(uint16_t newCapacity)
{
    if (newCapacity < length)
        return -1;
    uint8_t* grown = new (std::nothrow) uint8_t[newCapacity];
    if (grown == nullptr)
        return -1;
    if (length != 0)
        std::memcpy(grown, data, length);
    delete[] data;
    data = grown;
    capacity = newCapacity;
    return 0;
}

int CRpcMessage::Reserve(uint32_t count)
{
    const uint32_t need = length + count;
    if (count > kMaxLength || need > kMaxLength)
        return -1;
    if (need <= capacity)
        return 0;
    return Grow(static_cast<uint16_t>(need));
}

void CRpcMessage::Truncate(uint32_t newLength)
{
    if (newLength < length)
        length = newLength;
    if (position > length)
        position = length;
}

int CRpcMessage::PutLittleEndian(uint32_t value, uint32_t width)
{
    if (Reserve(width) != 0)
        return -1;
    for (uint32_t i = 0; i < width; ++i)
        data[length++] = static_cast<uint8_t>(value >> (8 * i));
    return 0;
}

int CRpcMessage::PutU8(uint8_t value)
{
    return PutLittleEndian(value, 1);
}

int CRpcMessage::PutU16(uint16_t value)
{
    return PutLittleEndian(value, 2);
}

int CRpcMessage::PutU32(uint32_t value)
{
    return PutLittleEndian(value, 4);
}

int CRpcMessage::PutBytes(const void* source, uint16_t count)
{
    // Refuse up front what could never fit, so that nothing is appended.
    if (length + 2u + count > kMaxLength)
        return -1;
    if (PutU16(count) != 0)
        return -1;
    if (Reserve(count) != 0)
        return -1;
    if (count != 0)
        std::memcpy(data + length, source, count);
    length += count;
    return 0;
}

int CRpcMessage::Get(uint8_t* bytes, uint32_t count)
{
    if (length - position < count)
        return -1;
    std::memcpy(bytes, data + position, count);
    position += count;
    return 0;
}

int CRpcMessage::GetU8(uint8_t& value)
{
    return Get(&value, 1);
}

int CRpcMessage::GetU16(uint16_t& value)
{
    uint8_t bytes[2];
    if (Get(bytes, 2) != 0)
        return -1;
    value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return 0;
}

int CRpcMessage::GetU32(uint32_t& value)
{
    uint8_t bytes[4];
    if (Get(bytes, 4) != 0)
        return -1;
    value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return 0;
}
