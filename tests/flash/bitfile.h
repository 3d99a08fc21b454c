#pragma once
// Builds small ".bit" files inside the tests, field by field, so that every
// byte a test feeds the reader is visible in the test itself.
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

} // namespace bitfile
