// plemo-flash uploading to the simulated cartridge over a real
// pseudo-terminal, as a script or a build rule runs it.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "tests/cli/flashrig.h"
#include "tests/flash/bitfile.h"
#include "tests/support/pattern.h"

namespace {

using namespace clitest;

constexpr uint32_t kBitstreamAddress = 0x3C0000;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kImageDataOffset = 0x380;
constexpr uint32_t kRecordSize = 88;

uint8_t Reversed(uint8_t byte)
{
    uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit)
        if ((byte >> bit) & 1)
            result = static_cast<uint8_t>(result | 0x80 >> bit);
    return result;
}

std::string LastLine(const std::string& text)
{
    const std::size_t end = text.find_last_not_of('\n');
    const std::size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

TEST(FlashUpload, FirmwareLandsUnchangedAtZeroThroughTheOneFreePort)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--full-speed", "--boot-after-handshakes", "6"});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const Bytes firmware = testdata::Pattern(10001, 7); // odd: the last byte goes out padded
    const std::string file = folder.Write("game.frm", firmware);

    const FlashRun run = RunFlash({file}, {"PLEMO_CANDIDATE_PORTS=" + cartridge.Port()});
    cartridge.Stop();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("port: " + cartridge.Port() + " (the one free serial port)"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Waiting for Gameboy to Boot...\n"), std::string::npos) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nprogress: +[0-9]+%  [0-9,]+ / 10,002 bytes  "
                                                      "(--|[0-9,]+) B/s  ([0-9]+:[0-9]{2}|--:--) left\n")))
        << "plain progress lines into a pipe:\n" << run.out;
    EXPECT_EQ(LastLine(run.out).rfind("upload succeeded: 10,002 bytes written in ", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");

    const Bytes flash = cartridge.Flash();
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
    EXPECT_EQ(flash[firmware.size()], 0xFF);
    EXPECT_EQ(cartridge.Count("call: FinishUpload(0x8020000)"), 1) << cartridge.Printed();
}

TEST(FlashUpload, BitstreamBecomesTheImageAt0x3C0000WithItsRecord)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--full-speed"});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    bitfile::Fields fields;
    fields.data = testdata::Pattern(3000, 3);
    const std::string file = folder.Write("top.bit", bitfile::File(fields));

    const FlashRun run = RunFlash({"--quiet", "--port", cartridge.Port(), file});
    cartridge.Stop();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("Waiting"), std::string::npos) << "--quiet shows only the summary";
    EXPECT_EQ(run.out.rfind("upload succeeded: 131,072 bytes written in ", 0), 0u) << run.out;
    const Bytes flash = cartridge.Flash();
    ASSERT_EQ(flash.size(), 4u << 20);
    const auto image = flash.begin() + kBitstreamAddress;
    uint16_t sum = 0;
    for (std::size_t i = 0; i < fields.data.size(); ++i) {
        ASSERT_EQ(image[kImageDataOffset + i], Reversed(fields.data[i])) << "data byte " << i;
        sum = static_cast<uint16_t>(sum + Reversed(fields.data[i]) + 1);
    }
    const auto record = image + kImageSize - kRecordSize;
    EXPECT_TRUE(std::equal(fields.designName.begin(), fields.designName.end(), record));
    EXPECT_EQ(record[80] | record[81] << 8, 3000);
    EXPECT_EQ(record[84] | record[85] << 8, sum);
    EXPECT_EQ(record[86], 0xFE);
    EXPECT_EQ(record[87], 0xCA);
    EXPECT_EQ(cartridge.Count("call: FinishUpload(0x8020000)"), 1);
}

TEST(FlashUpload, AWaitThatRunsOutEndsWithinAboutASecondAndTellsTheCartridgeNothing)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--full-speed", "--boot-after-handshakes", kNeverBoots});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const std::string file = folder.Write("game.frm", testdata::Pattern(4096));

    const FlashRun run = RunFlash({"--wait", "1", "--port", cartridge.Port(), file});
    cartridge.Stop();

    EXPECT_EQ(run.status, 4) << run.out << run.err;
    EXPECT_GE(run.seconds, 1.0);
    EXPECT_LT(run.seconds, 3.0) << "the wait is given up at once, not at the end of a handshake";
    EXPECT_NE(run.err.find("plemo-flash: the cartridge did not answer within 1.0 s: switch the Game Boy "
                           "on"),
              std::string::npos)
        << run.err;
    EXPECT_NE(LastLine(run.out).find("upload cancelled: nothing written"), std::string::npos) << run.out;
    EXPECT_NE(LastLine(run.out).find("line clean: 0 requests"), std::string::npos)
        << "a cartridge still booting is no fault of the line: " << run.out;
    EXPECT_GT(cartridge.Count("call: Handshake("), 0);
    EXPECT_EQ(cartridge.Count("call: FinishUpload("), 0) << "as the dialog after a cancelled wait";
}

TEST(FlashUpload, CtrlCWhileWaitingEndsTheWaitAndTellsTheCartridgeNothing)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--full-speed", "--boot-after-handshakes", kNeverBoots});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const std::string file = folder.Write("game.frm", testdata::Pattern(4096));

    ChildProcess flash(PLEMO_FLASH_PATH, {"--port", cartridge.Port(), file});
    ASSERT_TRUE(flash.WaitForText("Waiting for Gameboy to Boot...", 10s)) << flash.Err();
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.WaitForExit(5s), 4) << flash.Out() << flash.Err();
    cartridge.Stop();

    EXPECT_NE(flash.Err().find("cancelled before the cartridge answered: nothing was written"),
              std::string::npos)
        << flash.Err();
    EXPECT_EQ(cartridge.Count("call: FinishUpload("), 0);
}

// Paced as a real cable, so that the transfer lasts long enough to be
// interrupted.
TEST(FlashUpload, CtrlCDuringTheTransferStopsItTellsTheCartridgeAndFreesThePort)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--baud", "38400"});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const std::string file = folder.Write("game.frm", testdata::Pattern(32768));

    ChildProcess flash(PLEMO_FLASH_PATH, {"--port", cartridge.Port(), file});
    ASSERT_TRUE(flash.WaitForText("progress:", 10s)) << flash.Out() << flash.Err();
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.WaitForExit(10s), 4) << flash.Out() << flash.Err();

    EXPECT_NE(flash.Err().find("plemo-flash: cancelling (Ctrl-C again stops at once)"), std::string::npos)
        << flash.Err();
    EXPECT_NE(flash.Err().find("cancelled during the transfer: the cartridge holds an incomplete upload"),
              std::string::npos)
        << flash.Err();
    EXPECT_NE(LastLine(flash.Out()).find("upload cancelled: "), std::string::npos) << flash.Out();
    const FlashRun list = RunFlash({"--list-ports"}, {"PLEMO_CANDIDATE_PORTS=" + cartridge.Port()});
    EXPECT_NE(list.out.find(cartridge.Port() + "  free"), std::string::npos) << list.out << list.err;
    cartridge.Stop();
    EXPECT_EQ(cartridge.Count("call: FinishUpload(0x8020000)"), 1)
        << "the cartridge is told, as the dialog tells it after a cancelled transfer";
    EXPECT_EQ(cartridge.Count("call: PrintText(7, \"Error\\n\")"), 1) << cartridge.Printed();
}

// The cartridge stops answering once a block is to be committed, so that
// closing the cancelled upload takes a while (each closing call waits its
// full 100 ms): a second Ctrl-C lands while it does.
TEST(FlashUpload, ASecondCtrlCEndsTheProgramAtOnce)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--full-speed", "--fall-silent-at", "4"});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const std::string file = folder.Write("game.frm", testdata::Pattern(8192));

    ChildProcess flash(PLEMO_FLASH_PATH, {"--port", cartridge.Port(), file});
    ASSERT_TRUE(flash.WaitForText("progress:", 10s)) << flash.Out() << flash.Err();
    ASSERT_TRUE(cartridge.Process().WaitForText("call: OpenRange(", 10s));
    flash.Signal(SIGINT);
    ASSERT_TRUE(flash.WaitForText("Ctrl-C again stops at once", 5s)) << flash.Err();
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.WaitForExit(5s), 4);
    EXPECT_NE(flash.Err().find("plemo-flash: stopped at once (second Ctrl-C)"), std::string::npos)
        << flash.Err();
    EXPECT_EQ(flash.Out().find("upload cancelled"), std::string::npos) << "no summary: " << flash.Out();
}

TEST(FlashUpload, ACartridgeThatGoesAwayEndsTheUploadWithExitOne)
{
    Folder folder;
    Cartridge cartridge(folder, "cart", {"--baud", "38400"});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const std::string file = folder.Write("game.frm", testdata::Pattern(32768));

    ChildProcess flash(PLEMO_FLASH_PATH, {"--port", cartridge.Port(), file});
    ASSERT_TRUE(flash.WaitForText("progress:", 10s)) << flash.Out() << flash.Err();
    cartridge.Process().Signal(SIGKILL); // the cable pulled out
    EXPECT_EQ(flash.WaitForExit(15s), 1) << flash.Out() << flash.Err();
    EXPECT_NE(flash.Err().find("the serial line failed during the upload"), std::string::npos) << flash.Err();
    EXPECT_NE(LastLine(flash.Out()).find("upload failed: "), std::string::npos) << flash.Out();
}

// Damaged data sums, 0xFE and noise each cost the link an exact, known
// reaction; the summary must count what the cartridge did.
TEST(FlashUpload, TheSummaryCountsTheFaultsTheCartridgeInjected)
{
    Folder folder;
    Cartridge cartridge(folder, "cart",
                        {"--full-speed", "--seed", "11", "--corrupt-reply-rate", "0.06", "--ask-again-rate",
                         "0.06", "--noise-rate", "0.06", "--noise-bytes", "5"});
    ASSERT_FALSE(cartridge.Port().empty()) << cartridge.Printed();
    const Bytes firmware = testdata::Pattern(32768, 5);
    const std::string file = folder.Write("game.frm", firmware);

    const FlashRun run = RunFlash({"--port", cartridge.Port(), file});
    cartridge.Stop();

    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const Bytes flash = cartridge.Flash();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));
    std::map<std::string, uint64_t> faults = cartridge.Faults();
    ASSERT_GT(faults["damaged-data"], 0u) << cartridge.Printed();
    ASSERT_GT(faults["ask-again"], 0u);
    ASSERT_GT(faults["noise"], 0u);
    const std::string summary = LastLine(run.out);
    EXPECT_NE(summary.find("line noisy, check the cable"), std::string::npos) << summary;
    EXPECT_EQ(CountBefore(summary, "damaged repl"), static_cast<long long>(faults["damaged-data"])) << summary;
    EXPECT_EQ(CountBefore(summary, "asked again by 0xFE"), static_cast<long long>(faults["ask-again"]))
        << summary;
    EXPECT_EQ(CountBefore(summary, "resync byte"), static_cast<long long>(faults["noise-bytes"])) << summary;
    EXPECT_EQ(CountBefore(summary, "late repl"), 0) << summary;
    EXPECT_EQ(CountBefore(summary, "repeated"),
              static_cast<long long>(faults["damaged-data"] + faults["ask-again"]))
        << summary;
}

} // namespace
