// plemo-flash and the file it is given: what --info shows, and the files
// and options it refuses before any port is opened.
#include <gtest/gtest.h>

#include "tests/cli/flashrig.h"
#include "tests/flash/bitfile.h"
#include "tests/support/pattern.h"

namespace {

using namespace clitest;

// A port that would end the run with exit status 3 if it were opened.
class HeldPort
{
public:
    explicit HeldPort(const Folder& folder)
        : cartridge(folder, "held", {"--full-speed"}),
          holder("/usr/bin/flock", {"--nonblock", cartridge.Device(), "sh", "-c", "echo locked; exec sleep 60"})
    {
        EXPECT_TRUE(holder.WaitForText("locked", 10s));
    }
    const std::string& Port() const { return cartridge.Port(); }

private:
    Cartridge cartridge;
    ChildProcess holder;
};

TEST(FlashFile, InfoShowsABitstreamsFieldsChecksumAndFit)
{
    Folder folder;
    bitfile::Fields fields;
    fields.data = {0x01, 0x80, 0x12, 0xAA}; // stored 80 01 48 55: the sum of each plus one
    const std::string file = folder.Write("top.bit", bitfile::File(fields));

    const FlashRun run = RunFlash({"--info", file});

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "file:      " + file + " (FPGA bitstream, " +
                           std::to_string(bitfile::File(fields).size()) + " bytes)\n"
                           "design:    counts.ncd;UserID=0xFFFFFFFF\n"
                           "part:      3s50tq144\n"
                           "date:      2024/05/17\n"
                           "time:      12:34:56\n"
                           "data:      4 bytes, fits the 128 KiB image (room for 130,088 bytes, 130,084 "
                           "to spare)\n"
                           "checksum:  0x0122 (the record's sum of the stored bytes, each plus one)\n"
                           "image:     131,072 bytes at flash address 0x3C0000, in 64 chunks of 2,048 "
                           "bytes\n");
}

TEST(FlashFile, InfoShowsAFirmwaresSizeAndBlocks)
{
    Folder folder;
    const std::string file = folder.Write("game.frm", testdata::Pattern(4097));

    const FlashRun run = RunFlash({"--info", file});

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "file:      " + file + " (firmware image, 4,097 bytes)\n"
                       "size:      4,097 bytes (sent with one erased byte after it: flash takes even "
                       "counts)\n"
                       "blocks:    3 chunks of up to 2,048 bytes, written from flash address 0x000000\n");
}

// Each refused before a port is opened: the held port would give 3.
TEST(FlashFile, AFileThatCannotBeUploadedEndsWithExitTwoBeforeAnyPortIsOpened)
{
    Folder folder;
    HeldPort port(folder);
    ASSERT_FALSE(port.Port().empty());
    bitfile::Fields tooLong;
    tooLong.data = testdata::Pattern(130089);
    bitfile::Fields cutShort;
    Bytes cut = bitfile::File(cutShort);
    cut.pop_back();
    struct Case
    {
        std::string file;
        std::string says;
    };
    const Case cases[] = {
        {folder.Write("big.bit", bitfile::File(tooLong)),
         "cannot be uploaded: its configuration data (130,089 bytes) does not fit the 128 KiB flash "
         "image (room for 130,088 bytes): use the .bit file the FPGA tools wrote"},
        {folder.Write("cut.bit", cut), "cannot be uploaded: its configuration data is cut short (4 bytes "
                                       "announced, fewer in the file)"},
        {folder.Write("header.bit", bitfile::Header(cutShort)),
         "cannot be uploaded: its configuration data (the 'e' field) is missing or cut short"},
        {folder.Write("junk.bit", {0x00, 0x02, 'x'}), "cannot be uploaded: its header"},
        {folder.Path("missing.frm"), "cannot read " + folder.Path("missing.frm") +
                                         ": no such file: check the path and its permissions"},
        {folder.Write("GAME.FRM", {1, 2}), "cannot tell its kind: the name must contain .bit (a bitstream) "
                                           "or .frm (a firmware image), in lower case"},
    };
    for (const Case& refused : cases) {
        const FlashRun run = RunFlash({"--port", port.Port(), refused.file});
        EXPECT_EQ(run.status, 2) << refused.file << ": " << run.err;
        EXPECT_NE(run.err.find(refused.says), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << refused.file;
        EXPECT_EQ(RunFlash({"--info", refused.file}).status, 2) << refused.file;
    }
}

TEST(FlashFile, BadUsageEndsWithExitTwoAndSaysWhatIsWrong)
{
    Folder folder;
    const std::string file = folder.Write("game.frm", {1, 2});
    struct Case
    {
        std::vector<std::string> arguments;
        std::string says;
    };
    const Case cases[] = {
        {{}, "plemo-flash: no file to upload (plemo-flash --help shows the usage)\n"},
        {{"--wait", "0", file}, "plemo-flash: --wait needs a number of seconds above 0, not '0' "
                                "(plemo-flash --help shows the usage)\n"},
        {{"--wait", "soon", file}, "plemo-flash: --wait needs a number of seconds above 0, not 'soon' "
                                   "(plemo-flash --help shows the usage)\n"},
        {{"--speed", "9600", file}, "plemo-flash: Unknown option 'speed' (plemo-flash --help shows the "
                                    "usage)\n"},
        {{file, file}, "plemo-flash: one file at a time, not 2 (plemo-flash --help shows the usage)\n"},
        {{"--list-ports", file}, "plemo-flash: --list-ports takes no file (plemo-flash --help shows the "
                                 "usage)\n"},
    };
    for (const Case& bad : cases) {
        const FlashRun run = RunFlash(bad.arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, bad.says);
    }
    const FlashRun help = RunFlash({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status: 0 uploaded; 1 the upload failed;"), std::string::npos) << help.out;
}

} // namespace
