// What the host puts on a clean line is fixed: the cartridge's reply style
// may differ, the requests may not, and a change to how the host tells
// answers apart or recovers from damage must cost a clean line nothing. The
// digests below are those of the requests every earlier release sent.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/bitfile.h"
#include "tests/flash/cartridgeline.h"
#include "tests/support/replystyles.h"

namespace flashtest {
namespace {

// FNV-1a, 64 bits: enough to tell two request streams apart.
uint64_t Digest(const Bytes& bytes)
{
    uint64_t hash = 0xCBF29CE484222325u;
    for (const uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001B3u;
    }
    return hash;
}

constexpr size_t kBitstreamRequestBytes = 136914;
constexpr uint64_t kBitstreamDigest = 1138713852811604184u;
constexpr size_t kFirmwareRequestBytes = 21002;
constexpr uint64_t kFirmwareDigest = 13812083796637978991u;

// The requests of one upload of `content` from a file named `name` (the
// name travels in a text), made in a folder of the test's own.
Bytes RequestsOfUpload(const std::string& styleName, const std::string& name,
                       const Bytes& content)
{
    const std::string folder = ::testing::TempDir() + "cleanwire-" + styleName;
    std::filesystem::create_directories(folder);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
    }
    CartridgeLine line(styletest::Style(styleName));
    const int result = name.find(".bit") != std::string::npos
                           ? line.host.UploadBitstream(name.c_str())
                           : line.host.UploadFirmware(0, name.c_str(), true);
    std::filesystem::current_path(before);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(result, 0);
    return line.channel.HostToDevice();
}

class CleanLine : public styletest::StyledTest
{
};

TEST_P(CleanLine, BitstreamRequestsAreTheSameInEveryReplyStyle)
{
    bitfile::Fields design;
    design.data = Pattern(3000, 5);
    const Bytes requests = RequestsOfUpload(GetParam(), "design.bit", bitfile::File(design));
    EXPECT_EQ(requests.size(), kBitstreamRequestBytes);
    EXPECT_EQ(Digest(requests), kBitstreamDigest);
}

TEST_P(CleanLine, FirmwareRequestsAreTheSameInEveryReplyStyle)
{
    const Bytes requests = RequestsOfUpload(GetParam(), "firmware.frm", Pattern(20000, 3));
    EXPECT_EQ(requests.size(), kFirmwareRequestBytes);
    EXPECT_EQ(Digest(requests), kFirmwareDigest);
}

PLEMO_FOR_EACH_REPLY_STYLE(CleanLine);

} // namespace
} // namespace flashtest
