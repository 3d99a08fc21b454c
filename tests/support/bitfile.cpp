#include "tests/support/bitfile.h"

#include <algorithm>

namespace bitfile {

namespace {

constexpr uint8_t kErased = 0xFF;

void PutLittleEndian(Bytes& out, std::size_t at, uint32_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutSlot(Bytes& record, std::size_t at, const Bytes& text, std::size_t room)
{
    std::copy_n(text.begin(), std::min(text.size(), room), record.begin() + at);
}

} // namespace

Bytes BitReversed(const Bytes& bytes)
{
    Bytes out(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
        for (int bit = 0; bit < 8; ++bit)
            out[i] = static_cast<uint8_t>(out[i] | (((bytes[i] >> bit) & 1u) << (7 - bit)));
    return out;
}

Bytes FlashImage(const Fields& f)
{
    Bytes image(kImageSize, kErased);
    const Bytes stored = BitReversed(f.data);
    std::copy(stored.begin(), stored.end(), image.begin() + kImageDataOffset);
    uint16_t sum = 0;
    for (uint8_t byte : stored)
        sum = static_cast<uint16_t>(sum + byte + 1);

    Bytes record(kRecordSize, 0x00);
    PutSlot(record, 0, f.designName, 32);
    PutSlot(record, 32, f.partName, 16);
    PutSlot(record, 48, f.date, 16);
    PutSlot(record, 64, f.time, 16);
    PutLittleEndian(record, 80, static_cast<uint32_t>(f.data.size()), 4);
    PutLittleEndian(record, 84, sum, 2);
    PutLittleEndian(record, 86, 0xCAFE, 2);
    std::copy(record.begin(), record.end(), image.end() - kRecordSize);
    return image;
}

Bytes FirmwareImage(const Bytes& file)
{
    Bytes image = file;
    if (image.size() % 2 != 0)
        image.push_back(kErased);
    return image;
}

} // namespace bitfile
