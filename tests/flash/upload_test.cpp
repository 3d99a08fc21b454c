// Whole uploads against the simulated cartridge: a ".frm" file lands
// unchanged from address 0, a ".bit" file becomes the 128 KiB image at
// 0x3C0000; the texts on the cartridge's screen, the progress the user sees,
// and how bad files and bad devices end an upload.
#include <algorithm>

#include <gtest/gtest.h>

#include "flash/bitstream.h"
#include "serial/serialstreamerror.h"
#include "tests/support/bitfile.h"
#include "tests/flash/cartridgeline.h"

using flashtest::Bytes;
using flashtest::CartridgeLine;
using flashtest::Pattern;
using flashtest::TempFile;
using Strings = std::vector<std::string>;

namespace {

constexpr uint32_t kImageAddress = 0x3C0000;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kRecordAddress = kImageAddress + kImageSize - 88;

std::string UploadingLine(const TempFile& file)
{
    return std::string("Uploading ") + file.Path() + "\n";
}

Strings Dots(std::size_t count)
{
    return Strings(count, ".");
}

Strings Join(std::initializer_list<Strings> parts)
{
    Strings all;
    for (const Strings& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Every upload here runs against each reply style.
class FirmwareUpload : public styletest::StyledTest
{
};
class BitstreamUpload : public styletest::StyledTest
{
};

} // namespace

// --- Firmware ---------------------------------------------------------------

TEST_P(FirmwareUpload, FileLandsByteForByteFromAddressZero)
{
    CartridgeLine line(Style());
    const Bytes firmware = Pattern(10000);
    TempFile file(firmware);
    EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, firmware));
    EXPECT_TRUE(line.cartridge.Flash().IsErased(10000, 4096));
    EXPECT_EQ(line.Texts(), Join({{UploadingLine(file), "Filesize is 10000\n"},
                                  Dots(5),
                                  {"\n", "Success\n"}}));
    EXPECT_EQ(line.progress, (std::vector<int>{20, 40, 61, 81, 100}));
}

TEST_P(FirmwareUpload, BlocksFollowTheDeviceBufferSize)
{
    CartridgeLine line(Style(), 4096);
    const Bytes firmware = Pattern(5000);
    TempFile file(firmware);
    EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), 0);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kLoadBuffer),
              (Strings{"LoadBuffer(0, 2048)", "LoadBuffer(2048, 2048)", "LoadBuffer(0, 904)"}));
    EXPECT_EQ(line.CallsOf(sim::Procedure::kProgramRange),
              (Strings{"ProgramRange(0x0, 4096) -> 0", "ProgramRange(0x1000, 904) -> 0"}));
    EXPECT_EQ(line.CallsOf(sim::Procedure::kGetBufferSize).size(), 1u);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, firmware));
}

TEST_P(FirmwareUpload, EmptyFileAsksTheBufferSizeAndWritesNothing)
{
    CartridgeLine line(Style());
    TempFile file({});
    EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), 0);
    EXPECT_EQ(line.Texts(), (Strings{UploadingLine(file), "Filesize is 0\n", "\n", "Success\n"}));
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kGetBufferSize).size(), 1u);
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).empty());
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kSetTransferState).empty());
}

TEST_P(FirmwareUpload, OddSizedFileLandsWholeWithAnErasedPadByte)
{
    struct Case
    {
        std::size_t size;
        Strings programmed;
    };
    const Case cases[] = {
        {5001, {"ProgramRange(0x0, 4096) -> 0", "ProgramRange(0x1000, 906) -> 0"}},
        {1, {"ProgramRange(0x0, 2) -> 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        CartridgeLine line(Style(), 4096);
        const Bytes firmware = Pattern(c.size);
        TempFile file(firmware);
        EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), 0);
        EXPECT_TRUE(line.cartridge.Flash().Holds(0, firmware));
        EXPECT_EQ(line.cartridge.Flash().Read(static_cast<uint32_t>(c.size), 1), Bytes{0xFF});
        EXPECT_EQ(line.CallsOf(sim::Procedure::kProgramRange), c.programmed);
        EXPECT_EQ(line.Texts(), Join({{UploadingLine(file),
                                       "Filesize is " + std::to_string(c.size) + "\n"},
                                      Dots(c.programmed.size() == 2 ? 3 : 1),
                                      {"\n", "Success\n"}}));
        EXPECT_EQ(line.progress.empty() ? -1 : line.progress.back(), 100);
    }
}

TEST_P(FirmwareUpload, MissingFileSendsNothing)
{
    CartridgeLine line(Style());
    EXPECT_EQ(line.host.UploadFirmware(0, "/nonexistent/plemo/firmware.frm", true), -1);
    EXPECT_EQ(line.channel.GetCounters().bytesWritten, 0u);
}

TEST_P(FirmwareUpload, OddAddressIsRefusedBeforeTheBufferSizeIsAsked)
{
    CartridgeLine line(Style());
    TempFile file(Pattern(100));
    EXPECT_EQ(line.host.UploadFirmware(1, file.Path(), true), -1);
    EXPECT_EQ(line.Texts(), (Strings{UploadingLine(file), "Filesize is 100\n", "\n", "Error\n"}));
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kGetBufferSize).empty());
}

TEST_P(FirmwareUpload, CancelEndsTheUploadWithAnError)
{
    CartridgeLine line(Style());
    line.CancelAtProgressSignal(3);
    const Bytes firmware = Pattern(10000);
    TempFile file(firmware);
    EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), -1);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kProgramRange), Strings{"ProgramRange(0x0, 4096) -> 0"});
    const Strings texts = line.Texts();
    EXPECT_EQ(Strings(texts.end() - 2, texts.end()), (Strings{"\n", "Error\n"}));
}

TEST_P(FirmwareUpload, UnusableBufferSizeFailsBeforeAnyBlock)
{
    struct Case
    {
        const char* what;
        void (*report)(sim::Cartridge&);
    };
    const Case cases[] = {
        {"no size", [](sim::Cartridge& c) { c.ReportNoBufferSize(); }},
        {"zero", [](sim::Cartridge& c) { c.ReportBufferSize(0); }},
        {"odd", [](sim::Cartridge& c) { c.ReportBufferSize(4095); }},
        {"absurd", [](sim::Cartridge& c) { c.ReportBufferSize(0xFFFFFFF0u); }},
        {"just past the bound",
         [](sim::Cartridge& c) { c.ReportBufferSize(CFlashXferHost::kMaxBufferSize + 2); }},
    };
    TempFile file(Pattern(3000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CartridgeLine line(Style());
        c.report(line.cartridge);
        EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), -1);
        EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).empty());
        EXPECT_EQ(line.Texts().back(), "Error\n");
    }
}

TEST_P(FirmwareUpload, ZeroBufferSizeWithNothingToWriteIsNoFailure)
{
    CartridgeLine line(Style());
    line.cartridge.ReportBufferSize(0);
    TempFile file({});
    EXPECT_EQ(line.host.UploadFirmware(0, file.Path(), true), 0);
}

TEST_P(FirmwareUpload, LongPathIsCutToFitTheTraceLine)
{
    CartridgeLine line(Style());
    // One file per style: the styles' cases may run at once, and a file
    // rewritten during an upload fails it.
    const std::string name = ::testing::TempDir() + GetParam() + std::string(240, 'p') + ".frm";
    {
        std::ofstream out(name, std::ios::binary);
        out << "ab";
    }
    EXPECT_EQ(line.host.UploadFirmware(0, name.c_str(), true), 0);
    std::remove(name.c_str());
    const std::string shown = line.Texts().front();
    EXPECT_EQ(shown.size(), 255u) << "255 characters and the NUL fill the 256-byte text";
    EXPECT_EQ(shown, "Uploading " + name.substr(0, 244) + "\n");
}

TEST_P(FirmwareUpload, PulledCablePassesTheSerialErrorThrough)
{
    CartridgeLine line(Style());
    line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
        if (call.procedure == sim::Procedure::kProgramRange)
            line.channel.PullCable();
    });
    TempFile file(Pattern(3000));
    EXPECT_THROW(line.host.UploadFirmware(0, file.Path(), true), SerialStreamError);
    EXPECT_EQ(line.host.GetTimeout(), 1000);
}

// --- Bitstream --------------------------------------------------------------

namespace {

bitfile::Fields HundredByteDesign()
{
    bitfile::Fields f;
    f.data = Pattern(100, 7);
    return f;
}

} // namespace

TEST_P(BitstreamUpload, CartridgeHoldsExactlyTheImage)
{
    CartridgeLine line(Style());
    const bitfile::Fields f = HundredByteDesign();
    TempFile file(bitfile::File(f), ".bit");
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(kImageAddress, bitfile::FlashImage(f)));
    EXPECT_EQ(line.cartridge.Flash().Read(kRecordAddress + 86, 2), (Bytes{0xFE, 0xCA}));
    EXPECT_TRUE(line.cartridge.Flash().IsErased(0, kImageAddress));
}

TEST_P(BitstreamUpload, DeviceIsAskedExactlyThisSequence)
{
    CartridgeLine line(Style(), 0x10000);
    TempFile file(bitfile::File(HundredByteDesign()), ".bit");
    const std::string fileSize = std::to_string(bitfile::File(HundredByteDesign()).size());
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), 0);

    Strings expected = {
        "PrintText(" + std::to_string(UploadingLine(file).size() + 1) + ", \"Uploading " +
            file.Path() + "\\n\")",
        "PrintText(" + std::to_string(14 + fileSize.size()) + ", \"Filesize is " + fileSize +
            "\\n\")",
        "SetTransferState(1, 0)",
        "OpenRange(0x3c0000, 131072) -> 0",
        "GetBufferSize(65536)",
    };
    for (uint32_t block = 0; block < 2; ++block) {
        const std::string range = block == 0 ? "(0x3c0000, 65536)" : "(0x3d0000, 65536)";
        expected.push_back("SetTransferState(1, 0)");
        for (uint32_t offset = 0; offset < 0x10000; offset += 2048) {
            expected.push_back("PrintText(2, \".\")");
            expected.push_back("LoadBuffer(" + std::to_string(offset) + ", 2048)");
        }
        expected.push_back("GetBufferChecksum(65536) -> 0");
        expected.push_back("OpenRange" + range + " -> 0");
        expected.push_back("EraseRange" + range + " -> 0");
        expected.push_back("GetBufferChecksum(65536) -> 0");
        expected.push_back("ProgramRange" + range + " -> 0");
        expected.push_back("SetTransferState(0, 0)");
    }
    expected.insert(expected.end(), {"CloseRange(0x3c0000, 131072) -> 0", "PrintText(2, \"\\n\")",
                                     "SetTransferState(0, 0)", "PrintText(9, \"Success\\n\")"});
    EXPECT_EQ(line.Calls(), expected);
}

TEST_P(BitstreamUpload, ProgressRunsToExactlyOneHundred)
{
    CartridgeLine line(Style());
    const Bytes small = bitfile::File(HundredByteDesign());
    ASSERT_LT(small.size(), 1000u) << "a file far smaller than the image it becomes";
    TempFile file(small, ".bit");
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), 0);
    ASSERT_EQ(line.progress.size(), 64u);
    EXPECT_TRUE(std::is_sorted(line.progress.begin(), line.progress.end()));
    EXPECT_GT(line.progress.front(), 0);
    EXPECT_EQ(line.progress.back(), 100);
    EXPECT_EQ(line.Texts()[1], "Filesize is " + std::to_string(small.size()) + "\n");
}

TEST_P(BitstreamUpload, LargestDataThatLeavesTheRecordWholeIsAccepted)
{
    CartridgeLine line(Style());
    bitfile::Fields f;
    f.data = Pattern(130088, 3);
    TempFile file(bitfile::File(f), ".bit");
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(kImageAddress, bitfile::FlashImage(f)));
}

TEST_P(BitstreamUpload, DataThatWouldOverrunTheRecordIsRefusedBeforeAnyWrite)
{
    CartridgeLine line(Style());
    bitfile::Fields f;
    f.data = Pattern(130089, 3);
    TempFile file(bitfile::File(f), ".bit");
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), -1);
    EXPECT_EQ(line.Texts().size(), 2u) << "only the two trace lines";
    EXPECT_EQ(line.cartridge.Calls().size(), 2u);
    EXPECT_TRUE(line.cartridge.Flash().IsErased(kImageAddress, kImageSize));
}

TEST_P(BitstreamUpload, FileWithoutDataKeyEndsAfterTheTraceLines)
{
    CartridgeLine line(Style());
    TempFile file(bitfile::Header(bitfile::Fields{}), ".bit");
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), -1);
    EXPECT_EQ(line.Texts(), (Strings{UploadingLine(file),
                                     "Filesize is " +
                                         std::to_string(bitfile::Header(bitfile::Fields{}).size()) +
                                         "\n"}));
    EXPECT_EQ(line.cartridge.Calls().size(), 2u);
}

TEST_P(BitstreamUpload, RefusedImageRangeSendsNoDataAndReportsTheError)
{
    CartridgeLine line(Style());
    line.cartridge.ForceStatus(sim::Procedure::kOpenRange, -16);
    TempFile file(bitfile::File(HundredByteDesign()), ".bit");
    EXPECT_EQ(line.host.UploadBitstream(file.Path()), -16);
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).empty());
    const Strings calls = line.Calls();
    EXPECT_EQ(Strings(calls.end() - 3, calls.end()),
              (Strings{"PrintText(2, \"\\n\")", "SetTransferState(0, 1)",
                       "PrintText(7, \"Error\\n\")"}));
}

TEST_P(BitstreamUpload, MissingFileSendsNothing)
{
    CartridgeLine line(Style());
    EXPECT_EQ(line.host.UploadBitstream("/nonexistent/plemo/design.bit"), -1);
    EXPECT_EQ(line.channel.GetCounters().bytesWritten, 0u);
}

PLEMO_FOR_EACH_REPLY_STYLE(FirmwareUpload);
PLEMO_FOR_EACH_REPLY_STYLE(BitstreamUpload);
