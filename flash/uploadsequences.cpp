// The upload sequences of CFlashXferHost: a whole file into the device's
// flash, with a short trace of the upload shown on the cartridge's screen.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <istream>
#include <optional>
#include <streambuf>
#include <vector>

#include "flash/bitstream.h"
#include "flash/flashxferhost.h"
#include "flash/scopeexit.h"

namespace {

// The trace texts are formatted into an area of this size; a longer path is
// cut so that the line still ends where the device expects it.
constexpr std::size_t kTraceTextSize = 256;

static_assert(CFlashXferHost::kImageSize - CFlashXferHost::kImageRecordOffset ==
                  BitstreamHeader::kStoredSize,
              "the header record fills the image's last bytes exactly");
static_assert(CFlashXferHost::kImageDataRoom == 130088, "room for the configuration data");

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

// Reads bytes already in memory as a stream, without copying them.
class MemoryStreamBuffer : public std::streambuf
{
public:
    MemoryStreamBuffer(const uint8_t* data, uint32_t length)
    {
        // The get area is only read from: nothing is put back into it.
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + length);
    }

protected:
    // Going back to a position from the start, as a file can.
    pos_type seekpos(pos_type position, std::ios_base::openmode) override
    {
        const std::streamoff offset = position;
        if (offset < 0 || offset > egptr() - eback())
            return pos_type(off_type(-1));
        setg(eback(), eback() + offset, egptr());
        return position;
    }
    pos_type seekoff(off_type offset, std::ios_base::seekdir from,
                     std::ios_base::openmode which) override
    {
        if (from == std::ios_base::beg)
            return seekpos(pos_type(offset), which);
        if (from == std::ios_base::cur)
            return seekpos(pos_type(gptr() - eback() + offset), which);
        return seekpos(pos_type(egptr() - eback() + offset), which);
    }
};

// The size of the file behind `file`, which is left at its start; none for
// a file that did not open.
std::optional<uint64_t> FileSize(std::ifstream& file)
{
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    file.seekg(0, std::ios::beg);
    if (!file || end < 0)
        return std::nullopt;
    return static_cast<uint64_t>(end);
}

// Up to the piece's size; 0 at the end of the stream.
uint32_t ReadPiece(std::istream& in, std::vector<uint8_t>& piece)
{
    in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    return static_cast<uint32_t>(in.gcount());
}

bool NothingLeft(std::istream& in)
{
    return in.peek() == std::istream::traits_type::eof();
}

// What tells one state of a file from another: a file rewritten while it
// was read differs in its size or its modification time.
struct FileStamp
{
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    bool operator==(const FileStamp& other) const
    {
        return size == other.size && modified == other.modified;
    }
};

std::optional<FileStamp> StampOf(const char* path)
{
    std::error_code error;
    const std::filesystem::path file = std::filesystem::u8path(path);
    FileStamp stamp;
    stamp.size = std::filesystem::file_size(file, error);
    if (!error)
        stamp.modified = std::filesystem::last_write_time(file, error);
    if (error)
        return std::nullopt;
    return stamp;
}

const char* OutcomeText(int result)
{
    return result < 0 ? "Error\n" : "Success\n";
}

} // namespace

int CFlashXferHost::WriteStream(uint32_t address, std::istream& in, bool erase)
{
    bytesRead = 0;
    if (IsOdd(address))
        return -1;
    uint32_t bufferSize = 0;
    const int asked = AskBufferSize(bufferSize);
    if (asked != Ok)
        return asked;
    // A device without a buffer can take nothing; one whose size is odd
    // would stage odd blocks that no range procedure accepts.
    const bool usable = bufferSize != 0 && bufferSize <= kMaxBufferSize && !IsOdd(bufferSize);
    if (!usable && !(bufferSize == 0 && NothingLeft(in))) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::UnusableReply, NameOf(Procedure::GetBufferSize),
                                      static_cast<int32_t>(bufferSize)));
        return -1;
    }
    if (bufferSize == 0)
        return 0;

    std::vector<uint8_t> piece(bufferSize);
    const Origin origin{address, in.tellg()};
    std::vector<uint32_t> unchecked;
    for (uint32_t count = ReadPiece(in, piece); count != 0; count = ReadPiece(in, piece)) {
        bytesRead += count;
        // A read error is no end of file: what was read may be incomplete.
        if (in.bad())
            return -1;
        if (!PieceFits(address, count))
            return -1;
        const int written = WritePiece(address, piece, count, erase);
        if (written < 0)
            return written;
        if (!lastBlockChecked)
            unchecked.push_back(address);
        address += count;
    }
    if (in.bad())
        return -1;
    return WriteAgainUnchecked(in, origin, unchecked, piece, erase);
}

// Only the last piece can be odd, and it is shorter than the buffer: it
// goes out padded with an erased byte.
int CFlashXferHost::WritePiece(uint32_t address, std::vector<uint8_t>& piece, uint32_t count,
                               bool erase)
{
    if (IsOdd(count))
        piece[count++] = kErasedByte;
    return WriteBlock(address, piece.data(), count, erase);
}

bool CFlashXferHost::PieceFits(uint32_t address, uint32_t count)
{
    return address + uint64_t{count} + (IsOdd(count) ? 1 : 0) <= kAddressSpace;
}

// Blocks confirmed before the line showed damage had no sums of prefixes.
// Once the damage seen makes the chance that one of them hides a pair of
// compensating flips too large, each is written again, checked as the line
// now wants. A stream that cannot go back leaves them as they are.
int CFlashXferHost::WriteAgainUnchecked(std::istream& in, const Origin& origin,
                                        const std::vector<uint32_t>& unchecked,
                                        std::vector<uint8_t>& piece, bool erase)
{
    const double rate = integrity.DamageRate(LinkStats());
    if (unchecked.empty() || origin.position < 0 ||
        !integrity.WorthWritingAgain(static_cast<uint32_t>(piece.size()), rate))
        return 0;
    in.clear();
    writingAgain = true;
    const ScopeExit again([this] { writingAgain = false; });
    for (const uint32_t address : unchecked) {
        if (!in.seekg(origin.position + static_cast<std::streamoff>(address - origin.address)))
            return 0;
        const uint32_t count = ReadPiece(in, piece);
        if (in.bad() || count == 0)
            return -1;
        const int written = WritePiece(address, piece, count, erase);
        if (written < 0)
            return written;
    }
    return 0;
}

int CFlashXferHost::WriteMemory(uint32_t address, const uint8_t* data, uint32_t length, bool erase)
{
    MemoryStreamBuffer buffer(data, length);
    std::istream in(&buffer);
    return WriteStream(address, in, erase);
}

void CFlashXferHost::PrintUploadHeader(const char* path, int32_t fileSize)
{
    char text[kTraceTextSize];
    constexpr int kRoomForPath = static_cast<int>(kTraceTextSize - sizeof "Uploading \n");
    std::snprintf(text, sizeof text, "Uploading %.*s\n", kRoomForPath, path);
    PrintText(text);
    std::snprintf(text, sizeof text, "Filesize is %d\n", static_cast<int>(fileSize));
    PrintText(text);
}

int CFlashXferHost::UploadFirmware(uint32_t address, const char* path, bool erase)
{
    const std::optional<FileStamp> before = StampOf(path);
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    const std::optional<uint64_t> size = FileSize(file);
    // Refused before anything is sent: a file that cannot be read, a size
    // the trace cannot state, or a file that would run past the end of the
    // device's address space.
    if (!before || !size || *size > INT32_MAX || address + *size > kAddressSpace) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::FileUnreadable));
        return -1;
    }

    // An odd last byte goes out padded with an erased byte.
    totalSize = static_cast<int32_t>(*size + (IsOdd(*size) ? 1 : 0));
    bytesSent = 0;
    integrity.Begin(LinkStats());
    PrintUploadHeader(path, static_cast<int32_t>(*size));
    int result = WriteStream(address, file, erase);
    // The file is read piece by piece while it is written: one that a build
    // rewrote meanwhile has left a mix of two files in flash.
    if (result >= 0 && (bytesRead != *size || !(StampOf(path) == before))) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::FileChanged));
        result = -1;
    }
    PrintText("\n");
    PrintText(OutcomeText(result));
    return result;
}

int CFlashXferHost::SendImage(const uint8_t* image)
{
    int result = OpenRange(kBitstreamAddress, kImageSize);
    if (result >= 0)
        result = WriteMemory(kBitstreamAddress, image, kImageSize, true);
    if (result >= 0)
        result = CloseRange(kBitstreamAddress, kImageSize);
    return result;
}

int CFlashXferHost::UploadBitstream(const char* path)
{
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    const std::optional<uint64_t> size = FileSize(file);
    if (!size || *size > INT32_MAX) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::FileUnreadable));
        return -1;
    }

    // The whole image goes out whatever the file's size: that is what the
    // progress counts against.
    totalSize = kImageSize;
    bytesSent = 0;
    integrity.Begin(LinkStats());
    PrintUploadHeader(path, static_cast<int32_t>(*size));

    std::vector<uint8_t> image(kImageSize, kErasedByte);
    // Zeroed so that the text slots' bytes beyond their fields are the same
    // on every upload.
    BitstreamHeader header{};
    uint32_t dataLength = kImageDataRoom;
    const int parsed = ParseBitstream(file, image.data() + kImageDataOffset, &dataLength, &header);
    if (parsed < 0) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::FileRejected, {}, parsed));
        return parsed;
    }
    const std::array<uint8_t, BitstreamHeader::kStoredSize> record = header.StoredBytes();
    std::copy(record.begin(), record.end(), image.begin() + kImageRecordOffset);

    SetTransferState(1, 0);
    const int result = SendImage(image.data());
    PrintText("\n");
    SetTransferState(0, result < 0 ? 1 : 0);
    PrintText(OutcomeText(result));
    return result;
}
