#include "flash/bitstream.h"

#include <algorithm>
#include <istream>
#include <iterator>

#include "serial/invariant.h"

namespace {

constexpr uint8_t kDesignNameKey = 'a';
constexpr uint8_t kPartNameKey = 'b';
constexpr uint8_t kDateKey = 'c';
constexpr uint8_t kTimeKey = 'd';
constexpr uint8_t kDataKey = 'e';

constexpr unsigned kFieldLengthBytes = 2;
constexpr unsigned kDataCountBytes = 4;

constexpr std::array<uint8_t, 256> MakeReversalTable()
{
    std::array<uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (value & (1u << bit))
                reversed |= 1u << (7 - bit);
        }
        table[value] = static_cast<uint8_t>(reversed);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kReversed = MakeReversalTable();

// One byte, or nothing at the end of the stream.
std::optional<uint8_t> ReadByte(std::istream& in)
{
    const std::istream::int_type c = in.get();
    if (c == std::istream::traits_type::eof())
        return std::nullopt;
    return static_cast<uint8_t>(c);
}

void PutLittleEndian(uint8_t* out, uint32_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The first field is skipped unread. Running past the end of the file here
// is not checked: the search for 'a' fails on it instead.
int SkipFirstField(std::istream& in)
{
    const std::optional<uint32_t> length = ReadBigEndian(in, kFieldLengthBytes);
    if (!length)
        return -1;
    in.ignore(*length);
    return 0;
}

int ReadTextField(std::istream& in, uint8_t key, uint8_t* slot, uint32_t room)
{
    if (SkipToKey(in, key) != 0)
        return -1;
    return ReadField(in, slot, room);
}

int ReadTextFields(std::istream& in, BitstreamHeader& header)
{
    if (ReadTextField(in, kDesignNameKey, header.designName, sizeof header.designName) != 0 ||
        ReadTextField(in, kPartNameKey, header.partName, sizeof header.partName) != 0 ||
        ReadTextField(in, kDateKey, header.date, sizeof header.date) != 0 ||
        ReadTextField(in, kTimeKey, header.time, sizeof header.time) != 0)
        return -1;
    return 0;
}

// Reverses, sums and stores the configuration data in one pass. The record
// keeps N even when it exceeds the room, so a caller can tell what was asked.
int ReadConfigurationData(std::istream& in, uint8_t* data, uint32_t room, BitstreamHeader& header)
{
    if (SkipToKey(in, kDataKey) != 0)
        return -1;
    const std::optional<uint32_t> count = ReadBigEndian(in, kDataCountBytes);
    if (!count)
        return -1;
    header.dataLength = *count;
    if (*count > room)
        return -1;

    header.checksum = 0;
    for (uint32_t i = 0; i < *count; ++i) {
        const std::optional<uint8_t> byte = ReadByte(in);
        if (!byte)
            return -1;
        const uint8_t stored = ReverseBits(*byte);
        // Each byte counts one more than its value, so that a run of 0x00
        // still changes the sum.
        header.checksum = static_cast<uint16_t>(header.checksum + stored + 1);
        data[i] = stored;
    }
    return 0;
}

} // namespace

std::array<uint8_t, BitstreamHeader::kStoredSize> BitstreamHeader::StoredBytes() const
{
    std::array<uint8_t, kStoredSize> bytes{};
    uint8_t* out = bytes.data();
    out = std::copy(std::begin(designName), std::end(designName), out);
    out = std::copy(std::begin(partName), std::end(partName), out);
    out = std::copy(std::begin(date), std::end(date), out);
    std::copy(std::begin(time), std::end(time), out);
    PutLittleEndian(bytes.data() + offsetof(BitstreamHeader, dataLength), dataLength, 4);
    PutLittleEndian(bytes.data() + offsetof(BitstreamHeader, checksum), checksum, 2);
    PutLittleEndian(bytes.data() + offsetof(BitstreamHeader, marker), marker, 2);
    return bytes;
}

uint8_t ReverseBits(uint8_t byte)
{
    return kReversed[byte];
}

std::optional<uint32_t> ReadBigEndian(std::istream& in, unsigned len)
{
    PLEMO_INVARIANT(len<=4);
    uint32_t value = 0;
    for (unsigned i = 0; i < len; ++i) {
        const std::optional<uint8_t> byte = ReadByte(in);
        if (!byte)
            return std::nullopt;
        value = value << 8 | *byte;
    }
    return value;
}

int SkipToKey(std::istream& in, uint8_t key)
{
    for (;;) {
        const std::optional<uint8_t> byte = ReadByte(in);
        if (!byte)
            return -1;
        if (*byte == key)
            return 0;
    }
}

int ReadField(std::istream& in, uint8_t* slot, uint32_t room)
{
    const std::optional<uint32_t> length = ReadBigEndian(in, kFieldLengthBytes);
    if (!length || *length > room)
        return -1;
    for (uint32_t i = 0; i < *length; ++i) {
        const std::optional<uint8_t> byte = ReadByte(in);
        if (!byte)
            return -1;
        slot[i] = *byte;
    }
    return 0;
}

int ParseBitstream(std::istream& in, uint8_t* data, uint32_t* dataLength, BitstreamHeader* header)
{
    PLEMO_INVARIANT(header != nullptr);
    header->marker = BitstreamHeader::kMarker;
    if (SkipFirstField(in) != 0 || ReadTextFields(in, *header) != 0)
        return -1;
    if (data == nullptr || dataLength == nullptr)
        return 0;
    if (ReadConfigurationData(in, data, *dataLength, *header) != 0)
        return -1;
    *dataLength = header->dataLength;
    return 0;
}
