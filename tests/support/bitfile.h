#pragma once
// Builds ".bit" files inside the tests and benchmarks, field by field, so
// that every byte a test feeds the reader is visible in the test itself; and
// the flash content an upload of such a file must leave, worked out from the
// fields alone, without the product's reader or bit reversal.
#include <cstdint>
#include <string>
#include <vector>

namespace bitfile {

using Bytes = std::vector<uint8_t>;

inline void AppendBigEndian(Bytes& out, uint32_t value, int width)
{
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

// A text field as the file holds it: 2-byte length, then the bytes.
inline void AppendField(Bytes& out, const Bytes& content)
{
    AppendBigEndian(out, static_cast<uint32_t>(content.size()), 2);
    out.insert(out.end(), content.begin(), content.end());
}

// The text and its terminating NUL, as a standard file stores names.
inline Bytes Text(const std::string& text)
{
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

struct Fields
{
    Bytes first = {0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00};
    Bytes designName = Text("counts.ncd;UserID=0xFFFFFFFF"); // 29 bytes with its NUL
    Bytes partName = Text("3s50tq144");
    Bytes date = Text("2024/05/17");
    Bytes time = Text("12:34:56");
    Bytes data = {0x01, 0x80, 0x12, 0xAA};
};

// The header up to and including the 'd' field.
inline Bytes Header(const Fields& f)
{
    Bytes out;
    AppendField(out, f.first);
    AppendBigEndian(out, 1, 2); // a standard file's 00 01 before the key 'a'
    out.push_back('a');
    AppendField(out, f.designName);
    out.push_back('b');
    AppendField(out, f.partName);
    out.push_back('c');
    AppendField(out, f.date);
    out.push_back('d');
    AppendField(out, f.time);
    return out;
}

// A whole file: the header, then 'e', the 4-byte count and the data.
inline Bytes File(const Fields& f)
{
    Bytes out = Header(f);
    out.push_back('e');
    AppendBigEndian(out, static_cast<uint32_t>(f.data.size()), 4);
    out.insert(out.end(), f.data.begin(), f.data.end());
    return out;
}

inline std::string AsString(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// --- What the cartridge's flash holds afterwards ------------------------------

// A ".bit" file becomes one 128 KiB image at this address: erased bytes up
// to the data, the data with each byte's bits reversed, erased bytes, and an
// 88-byte record of the header fields at the image's end.
constexpr uint32_t kImageAddress = 0x3C0000;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kImageDataOffset = 0x380;
constexpr uint32_t kRecordSize = 88;
// The most configuration data the image has room for.
constexpr uint32_t kLargestData = kImageSize - kImageDataOffset - kRecordSize;

// Every byte with its bits in the opposite order.
Bytes BitReversed(const Bytes& bytes);

// The whole 128 KiB image for the file File(f) makes. The record holds the
// four texts in slots of 32, 16, 16 and 16 bytes (zero-filled), the data's
// length, the 16-bit sum of (stored byte + 1) over the data, and FE CA.
Bytes FlashImage(const Fields& f);

// What a ".frm" file leaves from flash address 0: the file, and an erased
// byte behind an odd last one.
Bytes FirmwareImage(const Bytes& file);

} // namespace bitfile
