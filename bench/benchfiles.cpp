#include "bench/benchfiles.h"

#include <filesystem>
#include <fstream>

namespace bench {

namespace {

constexpr uint32_t kImageDataOffset = 0x380;
constexpr uint32_t kRecordSize = 88;
constexpr uint16_t kRecordMarker = 0xCAFE;
constexpr uint8_t kErased = 0xFF;

// The text fields and the room the record gives each of them.
const std::string kDesignName = "bench_design.ncd;UserID=0xFFFF";
const std::string kPartName = "3s50tq144";
const std::string kDate = "2024/01/01";
const std::string kTime = "00:00:00";
constexpr uint32_t kDesignRoom = 32;
constexpr uint32_t kShortRoom = 16;

void AppendBigEndian(Bytes& out, uint32_t value, int width)
{
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void AppendLittleEndian(Bytes& out, uint32_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A text field as the file holds it, with its NUL: 2-byte length, bytes.
void AppendField(Bytes& out, const std::string& text)
{
    AppendBigEndian(out, static_cast<uint32_t>(text.size() + 1), 2);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

// The field in its slot of the record: the text, its NUL, zeros after.
void AppendSlot(Bytes& out, const std::string& text, uint32_t room)
{
    Bytes slot(room, 0);
    std::copy(text.begin(), text.end(), slot.begin());
    out.insert(out.end(), slot.begin(), slot.end());
}

uint8_t Reversed(uint8_t byte)
{
    uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (byte & (1u << bit))
            reversed = static_cast<uint8_t>(reversed | 1u << (7 - bit));
    return reversed;
}

std::string TempPath(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / name).string();
}

void WriteFile(const std::string& path, const Bytes& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

} // namespace

Bytes Pattern(uint32_t size, uint32_t seed)
{
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

Bytes BitstreamFile(uint32_t dataLength, uint32_t seed)
{
    Bytes file;
    const Bytes first = {0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00};
    AppendBigEndian(file, static_cast<uint32_t>(first.size()), 2);
    file.insert(file.end(), first.begin(), first.end());
    AppendBigEndian(file, 1, 2);
    file.push_back('a');
    AppendField(file, kDesignName);
    file.push_back('b');
    AppendField(file, kPartName);
    file.push_back('c');
    AppendField(file, kDate);
    file.push_back('d');
    AppendField(file, kTime);
    file.push_back('e');
    AppendBigEndian(file, dataLength, 4);
    const Bytes data = Pattern(dataLength, seed);
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

Bytes BitstreamImage(uint32_t dataLength, uint32_t seed)
{
    Bytes image(kBitstreamImageSize, kErased);
    const Bytes data = Pattern(dataLength, seed);
    uint16_t checksum = 0;
    for (uint32_t i = 0; i < dataLength; ++i) {
        const uint8_t stored = Reversed(data[i]);
        image[kImageDataOffset + i] = stored;
        checksum = static_cast<uint16_t>(checksum + stored + 1);
    }
    Bytes record;
    AppendSlot(record, kDesignName, kDesignRoom);
    AppendSlot(record, kPartName, kShortRoom);
    AppendSlot(record, kDate, kShortRoom);
    AppendSlot(record, kTime, kShortRoom);
    AppendLittleEndian(record, dataLength, 4);
    AppendLittleEndian(record, checksum, 2);
    AppendLittleEndian(record, kRecordMarker, 2);
    std::copy(record.begin(), record.end(), image.end() - kRecordSize);
    return image;
}

Bytes FirmwareFile(uint32_t size, uint32_t seed)
{
    return Pattern(size, seed);
}

Bytes FirmwareImage(const Bytes& file)
{
    Bytes image = file;
    if (image.size() % 2 != 0)
        image.push_back(kErased);
    return image;
}

UploadCase MakeBitstreamCase(const std::string& name, uint32_t dataLength, uint32_t seed)
{
    UploadCase upload;
    upload.bitstream = true;
    upload.path = TempPath(name);
    upload.address = kBitstreamAddress;
    upload.image = BitstreamImage(dataLength, seed);
    WriteFile(upload.path, BitstreamFile(dataLength, seed));
    return upload;
}

UploadCase MakeFirmwareCase(const std::string& name, uint32_t size, uint32_t seed)
{
    UploadCase upload;
    upload.path = TempPath(name);
    const Bytes file = FirmwareFile(size, seed);
    upload.image = FirmwareImage(file);
    WriteFile(upload.path, file);
    return upload;
}

void RemoveCaseFile(const UploadCase& upload)
{
    std::error_code ignored;
    std::filesystem::remove(upload.path, ignored);
}

} // namespace bench
