#include "cli/fileinfo.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <QFile>
#include <QFileInfo>

#include "cli/exitstatus.h"
#include "cli/progress.h"
#include "flash/bitstream.h"
#include "flash/flashxferhost.h"

namespace plemoflash {

namespace {

using Kind = CUploadSession::Kind;

constexpr char kKindHint[] =
    "the name must contain .bit (a bitstream) or .frm (a firmware image), in lower case";

// Why the file cannot be read; empty when it can.
std::string ReadProblem(const std::string& path)
{
    const QString name = QString::fromStdString(path);
    const QFileInfo info(name);
    if (!info.exists())
        return "no such file";
    if (info.isDir())
        return "it is a folder";
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString().toStdString();
    return {};
}

// What the reader makes of a ".bit" file, with the room the upload gives it.
struct BitstreamFacts
{
    // Zeroed: the slots' bytes beyond their fields stay 0, as in an upload.
    BitstreamHeader fields{}; // the header alone
    BitstreamHeader record{}; // the whole file, as the image's record would hold it
    bool headerRead = false;
    bool dataRead = false;
};

BitstreamFacts ReadBitstream(const std::string& path)
{
    BitstreamFacts facts;
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    facts.headerRead = ParseBitstream(file, nullptr, nullptr, &facts.fields) == 0;
    file.clear();
    file.seekg(0);
    std::vector<uint8_t> data(CFlashXferHost::kImageDataRoom);
    uint32_t room = CFlashXferHost::kImageDataRoom;
    facts.dataRead = facts.headerRead && ParseBitstream(file, data.data(), &room, &facts.record) == 0;
    return facts;
}

uint64_t FileSize(const std::string& path)
{
    return static_cast<uint64_t>(QFileInfo(QString::fromStdString(path)).size());
}

// Why the reader refuses the file; empty when it takes it.
std::string BitstreamProblem(const BitstreamFacts& facts)
{
    if (!facts.headerRead)
        return "its header (the design, part, date and time fields) is missing, too long or cut "
               "short";
    if (facts.dataRead)
        return {};
    const uint32_t length = facts.record.dataLength;
    if (length == 0)
        return "its configuration data (the 'e' field) is missing or cut short";
    if (length > CFlashXferHost::kImageDataRoom)
        return "its configuration data (" + Grouped(length) +
               " bytes) does not fit the 128 KiB flash image (room for " +
               Grouped(CFlashXferHost::kImageDataRoom) + " bytes)";
    return "its configuration data is cut short (" + Grouped(length) +
           " bytes announced, fewer in the file)";
}

// A text slot as far as its field goes, unprintable bytes shown as \xNN.
std::string SlotText(const uint8_t* slot, std::size_t room)
{
    std::string text;
    for (std::size_t i = 0; i < room && slot[i] != 0; ++i) {
        if (slot[i] >= 0x20 && slot[i] < 0x7F) {
            text += static_cast<char>(slot[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", slot[i]);
            text += escaped;
        }
    }
    return text;
}

std::string Hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

uint64_t Chunks(uint64_t bytes)
{
    return (bytes + CFlashXferHost::kChunkSize - 1) / CFlashXferHost::kChunkSize;
}

void PrintBitstreamInfo(const BitstreamFacts& facts, std::FILE* out)
{
    const BitstreamHeader& fields = facts.fields;
    if (facts.headerRead) {
        std::fprintf(out, "design:    %s\n", SlotText(fields.designName, sizeof fields.designName).c_str());
        std::fprintf(out, "part:      %s\n", SlotText(fields.partName, sizeof fields.partName).c_str());
        std::fprintf(out, "date:      %s\n", SlotText(fields.date, sizeof fields.date).c_str());
        std::fprintf(out, "time:      %s\n", SlotText(fields.time, sizeof fields.time).c_str());
    }
    if (!facts.dataRead)
        return;
    const BitstreamHeader& header = facts.record;
    const uint32_t room = CFlashXferHost::kImageDataRoom;
    std::fprintf(out, "data:      %s bytes, fits the 128 KiB image (room for %s bytes, %s to spare)\n",
                 Grouped(header.dataLength).c_str(), Grouped(room).c_str(),
                 Grouped(room - header.dataLength).c_str());
    std::fprintf(out, "checksum:  %s (the record's sum of the stored bytes, each plus one)\n",
                 Hex(header.checksum, 4).c_str());
    std::fprintf(out, "image:     %s bytes at flash address %s, in %s chunks of %s bytes\n",
                 Grouped(CFlashXferHost::kImageSize).c_str(),
                 Hex(CFlashXferHost::kBitstreamAddress, 6).c_str(),
                 Grouped(Chunks(CFlashXferHost::kImageSize)).c_str(),
                 Grouped(CFlashXferHost::kChunkSize).c_str());
}

void PrintFirmwareInfo(uint64_t size, std::FILE* out)
{
    // An odd last byte goes out padded with an erased byte.
    const uint64_t sent = size + (size % 2);
    std::fprintf(out, "size:      %s bytes%s\n", Grouped(size).c_str(),
                 sent != size ? " (sent with one erased byte after it: flash takes even counts)" : "");
    std::fprintf(out, "blocks:    %s chunks of up to %s bytes, written from flash address %s\n",
                 Grouped(Chunks(sent)).c_str(), Grouped(CFlashXferHost::kChunkSize).c_str(),
                 Hex(CUploadSession::kFirmwareStartAddress, 6).c_str());
}

} // namespace

std::string UploadFileProblem(const std::string& path, Kind kind)
{
    if (kind == Kind::Unknown)
        return path + ": cannot tell its kind: " + kKindHint;
    const std::string unreadable = ReadProblem(path);
    if (!unreadable.empty())
        return "cannot read " + path + ": " + unreadable + ": check the path and its permissions";
    if (kind == Kind::Firmware) {
        if (FileSize(path) > INT32_MAX)
            return path + " is larger than the 2 GiB an upload can carry: check the file";
        return {};
    }
    const std::string refused = BitstreamProblem(ReadBitstream(path));
    if (!refused.empty())
        return path + " cannot be uploaded: " + refused +
               ": use the .bit file the FPGA tools wrote (--info shows what was read)";
    return {};
}

int PrintFileInfo(const std::string& path, std::FILE* out, std::FILE* err)
{
    const Kind kind = CUploadSession::KindOf(path);
    const std::string problem = UploadFileProblem(path, kind);
    const std::string unreadable = kind == Kind::Unknown ? std::string() : ReadProblem(path);
    if (kind != Kind::Unknown && unreadable.empty()) {
        std::fprintf(out, "file:      %s (%s, %s bytes)\n", path.c_str(),
                     kind == Kind::Bitstream ? "FPGA bitstream" : "firmware image",
                     Grouped(FileSize(path)).c_str());
        if (kind == Kind::Bitstream)
            PrintBitstreamInfo(ReadBitstream(path), out);
        else
            PrintFirmwareInfo(FileSize(path), out);
    }
    std::fflush(out);
    if (problem.empty())
        return kSucceeded;
    std::fprintf(err, "plemo-flash: %s\n", problem.c_str());
    return kBadUsage;
}

} // namespace plemoflash
