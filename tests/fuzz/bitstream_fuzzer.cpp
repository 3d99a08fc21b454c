// Any bytes as a ".bit" file, read as an upload reads it (into the image's
// 130,088-byte data area) and in header-only mode.
//
// Properties:
//  - the result is 0 or -1, and the record's marker is 0xCAFE either way;
//  - on success N fits the room, the caller's count is N, and the stored
//    bytes are the N bytes behind 'e' and the 4-byte count, each
//    bit-reversed, summed by the +1 rule; nothing beyond them is written;
//  - on failure the caller's count is untouched;
//  - header-only mode touches neither the count nor the checksum, and reads
//    the same text fields as a full read that succeeds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "flash/bitstream.h"
#include "flash/flashxferhost.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

// What an upload gives the reader: the image between its data offset and
// the record at its end.
constexpr uint32_t kRoom = CFlashXferHost::kImageRecordOffset - CFlashXferHost::kImageDataOffset;
static_assert(kRoom == 130088, "the data area of a bitstream image");

// Bytes the reader must not write keep these values.
constexpr uint8_t kUntouchedByte = 0x5A;
constexpr uint32_t kUntouchedCount = 0xDEADBEEF;
constexpr uint16_t kUntouchedChecksum = 0xBEEF;

BitstreamHeader UntouchedHeader()
{
    BitstreamHeader header;
    std::memset(&header, kUntouchedByte, sizeof header);
    header.dataLength = kUntouchedCount;
    header.checksum = kUntouchedChecksum;
    header.marker = 0;
    return header;
}

bool SameTextFields(const BitstreamHeader& a, const BitstreamHeader& b)
{
    return std::memcmp(a.designName, b.designName, sizeof a.designName) == 0 &&
           std::memcmp(a.partName, b.partName, sizeof a.partName) == 0 &&
           std::memcmp(a.date, b.date, sizeof a.date) == 0 &&
           std::memcmp(a.time, b.time, sizeof a.time) == 0;
}

// One memcmp rather than a loop: every comparison in this file is
// instrumented for the fuzzer, and a byte-by-byte scan of the room would
// take most of the time of a run.
bool AllUntouched(const std::vector<uint8_t>& data, std::size_t from)
{
    static const std::vector<uint8_t> untouched(kRoom, kUntouchedByte);
    return from >= data.size() ||
           std::memcmp(data.data() + from, untouched.data(), data.size() - from) == 0;
}

struct FullRead
{
    int result = 0;
    BitstreamHeader header = UntouchedHeader();
};

void CheckStoredData(const std::string& file, std::size_t consumed,
                     const std::vector<uint8_t>& data, const BitstreamHeader& header)
{
    const uint32_t count = header.dataLength;
    // 'e', the big-endian count, then the data: the reader stopped right
    // behind the data's last byte.
    FUZZ_CHECK(consumed >= count + 5u && consumed <= file.size());
    const std::size_t start = consumed - count;
    FUZZ_CHECK(static_cast<uint8_t>(file[start - 5]) == 'e');
    uint32_t stated = 0;
    for (std::size_t i = start - 4; i < start; ++i)
        stated = stated << 8 | static_cast<uint8_t>(file[i]);
    FUZZ_CHECK(stated == count);

    uint16_t checksum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        FUZZ_CHECK(data[i] == ReverseBits(static_cast<uint8_t>(file[start + i])));
        checksum = static_cast<uint16_t>(checksum + data[i] + 1);
    }
    FUZZ_CHECK(header.checksum == checksum);
    FUZZ_CHECK(AllUntouched(data, count));
}

FullRead ReadWhole(const std::string& file)
{
    std::istringstream in(file, std::ios::binary);
    std::vector<uint8_t> data(kRoom, kUntouchedByte);
    uint32_t count = kRoom;
    FullRead read;
    read.result = ParseBitstream(in, data.data(), &count, &read.header);

    FUZZ_CHECK(read.result == 0 || read.result == -1);
    FUZZ_CHECK(read.header.marker == BitstreamHeader::kMarker);
    if (read.result != 0) {
        FUZZ_CHECK(count == kRoom);
        // A count beyond the room is refused before any data is stored.
        if (read.header.dataLength > kRoom) {
            FUZZ_CHECK(read.header.checksum == kUntouchedChecksum);
            FUZZ_CHECK(AllUntouched(data, 0));
        }
        return read;
    }
    FUZZ_CHECK(read.header.dataLength <= kRoom);
    FUZZ_CHECK(count == read.header.dataLength);
    const std::streamoff consumed = in.tellg();
    FUZZ_CHECK(consumed >= 0);
    CheckStoredData(file, static_cast<std::size_t>(consumed), data, read.header);
    return read;
}

// Header-only mode, asked for either way: without a data buffer, or
// without a count.
void ReadHeaderOnly(const std::string& file, const FullRead& whole, bool withoutData)
{
    std::istringstream in(file, std::ios::binary);
    std::vector<uint8_t> data(withoutData ? 0 : 64, kUntouchedByte);
    BitstreamHeader header = UntouchedHeader();
    uint32_t count = kUntouchedCount;
    const int result = withoutData ? ParseBitstream(in, nullptr, &count, &header)
                                   : ParseBitstream(in, data.data(), nullptr, &header);

    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(header.marker == BitstreamHeader::kMarker);
    FUZZ_CHECK(count == kUntouchedCount);
    FUZZ_CHECK(AllUntouched(data, 0));
    FUZZ_CHECK(header.dataLength == kUntouchedCount);
    FUZZ_CHECK(header.checksum == kUntouchedChecksum);
    if (whole.result == 0) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(SameTextFields(header, whole.header));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const std::string file(reinterpret_cast<const char*>(bytes), size);
    const FullRead whole = ReadWhole(file);
    ReadHeaderOnly(file, whole, true);
    ReadHeaderOnly(file, whole, false);
    return 0;
}
