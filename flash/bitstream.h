#pragma once
// Reader for FPGA configuration files in the ".bit" layout: a short header of
// length-prefixed fields tagged with the key letters 'a' to 'e', followed by
// the configuration data.
//
//   2 bytes   big-endian length L of a first field, then L bytes (skipped)
//   'a'       2-byte length n, n bytes: design name   (room 32)
//   'b'       2-byte length n, n bytes: part name     (room 16)
//   'c'       2-byte length n, n bytes: date          (room 16)
//   'd'       2-byte length n, n bytes: time          (room 16)
//   'e'       4-byte count N, N bytes: configuration data
//
// Bytes between a field's end and the next key letter are skipped. The text
// fields land in a BitstreamHeader; the data is bit-reversed into the
// caller's buffer. Every function is free and keeps no state; none prints or
// throws. Failures are -1.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>

// The header fields of a ".bit" file as the device keeps them: the last 88
// bytes of the flash image. A storage format, so its bytes come from
// StoredBytes(), never from the struct's memory.
struct BitstreamHeader
{
    static constexpr std::size_t kStoredSize = 88;
    static constexpr uint16_t kMarker = 0xCAFE;

    uint8_t designName[32];
    uint8_t partName[16];
    uint8_t date[16];
    uint8_t time[16];
    uint32_t dataLength; // N, the byte count of the configuration data
    uint16_t checksum;   // sum of (stored byte + 1) over the N stored bytes
    uint16_t marker;     // always kMarker

    // The record's 88 bytes, integers least significant byte first.
    std::array<uint8_t, kStoredSize> StoredBytes() const;
};

static_assert(sizeof(BitstreamHeader) == BitstreamHeader::kStoredSize,
              "the stored record is exactly 88 bytes, without padding");
static_assert(offsetof(BitstreamHeader, dataLength) == 80 &&
                  offsetof(BitstreamHeader, checksum) == 84 &&
                  offsetof(BitstreamHeader, marker) == 86,
              "the record's integers sit where the device looks for them");

// Reads a whole ".bit" file from `in`, positioned at its first byte.
// `*dataLength` holds the room at `data` on entry and N after success; the
// configuration data is stored bit-reversed. With `data` or `dataLength`
// null only the four text fields are read (header-only mode). `marker` is
// set whatever the outcome. 0 on success, -1 on any failure.
int ParseBitstream(std::istream& in, uint8_t* data, uint32_t* dataLength, BitstreamHeader* header);

// `len` (0..4) bytes as an unsigned big-endian integer; nothing when the
// stream ends before the last of them. A longer `len` is a programming error.
std::optional<uint32_t> ReadBigEndian(std::istream& in, unsigned len);

// Discards bytes up to and including the first one equal to `key`.
// 0, or -1 when the stream ends first.
int SkipToKey(std::istream& in, uint8_t key);

// A 2-byte big-endian length n, then n bytes into `slot`. -1 when n exceeds
// `room` (nothing more read) or the stream ends early (the bytes read so far
// stay in the slot).
int ReadField(std::istream& in, uint8_t* slot, uint32_t room);

// The byte with its bit order reversed: bit i becomes bit 7 - i.
uint8_t ReverseBits(uint8_t byte);
