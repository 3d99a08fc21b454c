#pragma once
// The byte buffer in which a procedure call's arguments are packed and its
// reply is unpacked. Integers are stored least significant byte first,
// whatever the host's byte order. A message never holds more than 65,535
// bytes: that is what the 16-bit length on the wire can carry.
#include <cstdint>

class CRpc;

class CRpcMessage
{
public:
    static constexpr uint32_t kMaxLength = 0xFFFF;

    explicit CRpcMessage(uint32_t capacity);
    ~CRpcMessage();
    CRpcMessage(const CRpcMessage&) = delete;
    CRpcMessage& operator=(const CRpcMessage&) = delete;

    // Empties the message; the array and its capacity are kept for reuse.
    void Reset();
    // Replaces the array by one of exactly `newCapacity` bytes, keeping the
    // content. 0, or -1 (message unchanged) when it cannot be allocated or
    // would not hold the content.
    int Grow(uint16_t newCapacity);

    // Appends; 0, or -1 with nothing appended when the message cannot grow.
    int PutU8(uint8_t value);
    int PutU16(uint16_t value);
    int PutU32(uint32_t value);
    // The count as with PutU16, then the bytes themselves.
    int PutBytes(const void* source, uint16_t count);

    // Reads at the read position; -1 (value and position untouched) when
    // fewer bytes are left than the value needs.
    int GetU8(uint8_t& value);
    int GetU16(uint16_t& value);
    int GetU32(uint32_t& value);

    uint16_t Length() const { return static_cast<uint16_t>(length); }
    const uint8_t* Data() const { return data; }
    uint8_t* Data() { return data; }
    uint32_t Capacity() const { return capacity; }
    uint32_t Unread() const { return length - position; }

private:
    // What the RPC link does to a message while it receives a reply into it.
    friend class CRpc;
    // Makes room for `count` more bytes, growing to exactly the need.
    // -1 when the need passes kMaxLength or the allocation fails.
    int Reserve(uint32_t count);
    // Received bytes are appended from here on; the get operations start at
    // the first of them.
    void BeginAppend() { position = length; }
    uint8_t* End() { return data + length; }
    void Advance(uint32_t count) { length += count; }
    // Drops everything from `newLength` on (a failed reply before a resend).
    void Truncate(uint32_t newLength);

    int Get(uint8_t* bytes, uint32_t count);
    int PutLittleEndian(uint32_t value, uint32_t width);

    uint8_t* data;
    uint32_t length = 0;
    uint32_t position = 0;
    uint32_t capacity;
};
