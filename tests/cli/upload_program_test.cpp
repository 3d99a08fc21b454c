// plemo-flash uploading to the simulated cartridge over a real
// pseudo-terminal, as a script or a build rule runs it.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "tests/cli/flashrig.h"
#include "tests/support/bitfile.h"
#include "tests/support/pattern.h"
#include "tests/support/replystyles.h"

namespace {

using namespace clitest;

std::string LastLine(const std::string& text)
{
    const std::size_t end = text.find_last_not_of('\n');
    return text.substr(text.rfind('\n', end) + 1, end - text.rfind('\n', end));
}

uint8_t Reversed(uint8_t byte)
{
    uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit)
        result = static_cast<uint8_t>(result | ((byte >> bit) & 1) << (7 - bit));
    return result;
}

// Every run here uploads to the simulator in a few reply styles.
class FlashUpload : public ::testing::TestWithParam<std::string>
{
protected:
    std::vector<std::string> Styled(std::vector<std::string> options) const
    {
        options.insert(options.end(), {"--reply-style", GetParam()});
        return options;
    }
};

// Each cartridge boots in the middle of a handshake's attempts: the polls
// it ignored are no fault of the line.
TEST_P(FlashUpload, BothKindsLandWhereTheyBelongOnACleanLine)
{
    Folder folder;
    Cartridge forFirmware(folder, Styled({"--full-speed", "--boot-after-handshakes", "3"}), "frm");
    Cartridge forBitstream(folder, Styled({"--full-speed", "--boot-after-handshakes", "3"}), "bit");
    const Bytes firmware = testdata::Pattern(10001, 7); // odd: the last byte goes out padded
    bitfile::Fields fields;
    fields.data = testdata::Pattern(3000, 3);

    const FlashRun frm = RunFlash(folder, {folder.Write("game.frm", firmware)},
                                  {"PLEMO_CANDIDATE_PORTS=" + forFirmware.port});
    const FlashRun bit = RunFlash(folder, {"--quiet", "--port", forBitstream.port,
                                           folder.Write("top.bit", bitfile::File(fields))});
    forFirmware.Stop();
    forBitstream.Stop();

    EXPECT_EQ(frm.status, 0) << frm.err;
    EXPECT_EQ(frm.out.rfind("port: " + forFirmware.port + " (the one free serial port)\n"
                            "Waiting for Gameboy to Boot...\n", 0), 0u) << frm.out;
    EXPECT_TRUE(std::regex_search(frm.out, std::regex("\nprogress: +[0-9]+%  [0-9,]+ / 10,002 bytes  "
                                                      "(--|[0-9,]+) B/s  ([0-9]+:[0-9]{2}|--:--) left\n")))
        << "plain progress lines into a file: " << frm.out;
    EXPECT_EQ(LastLine(frm.out).rfind("upload succeeded: 10,002 bytes written in ", 0), 0u) << frm.out;
    EXPECT_NE(LastLine(frm.out).find("; line clean: "), std::string::npos) << frm.out;
    EXPECT_EQ(bit.status, 0) << bit.err;
    EXPECT_EQ(bit.out.rfind("upload succeeded: 131,072 bytes written in ", 0), 0u) << "quiet: " << bit.out;
    EXPECT_NE(bit.out.find("; line clean: "), std::string::npos) << bit.out;
    EXPECT_EQ(forFirmware.process.Count("call: FinishUpload(0x8020000)"), 1);
    EXPECT_EQ(forBitstream.process.Count("call: FinishUpload(0x8020000)"), 1);

    const std::string flash = ReadFile(forFirmware.dump);
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_EQ(flash.substr(0, firmware.size() + 1), std::string(firmware.begin(), firmware.end()) + '\xFF');
    const std::string image = ReadFile(forBitstream.dump).substr(0x3C0000, 0x20000);
    uint16_t sum = 0;
    for (std::size_t i = 0; i < fields.data.size(); ++i) {
        ASSERT_EQ(static_cast<uint8_t>(image[0x380 + i]), Reversed(fields.data[i])) << "data byte " << i;
        sum = static_cast<uint16_t>(sum + Reversed(fields.data[i]) + 1);
    }
    const std::string record = image.substr(0x20000 - 88);
    EXPECT_EQ(record.substr(0, fields.designName.size()), bitfile::AsString(fields.designName));
    EXPECT_EQ(record.substr(80), std::string("\xB8\x0B\0\0", 4) + static_cast<char>(sum) +
                                     static_cast<char>(sum >> 8) + "\xFE\xCA");
}

TEST_P(FlashUpload, AWaitThatRunsOutEndsWithinAboutASecondAndTellsTheCartridgeNothing)
{
    Folder folder;
    Cartridge cartridge(folder, Styled({"--full-speed", "--boot-after-handshakes", kNeverBoots}));

    const FlashRun run = RunFlash(folder, {"--wait", "1", "--port", cartridge.port,
                                           folder.Write("game.frm", testdata::Pattern(4096))});
    cartridge.Stop();

    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_GE(run.seconds, 1.0);
    EXPECT_LT(run.seconds, 3.0) << "the wait is given up at once, not after a handshake's attempts";
    EXPECT_NE(run.err.find("the cartridge did not answer within 1.0 s: switch the Game Boy on"), std::string::npos)
        << run.err;
    EXPECT_EQ(LastLine(run.out).rfind("upload cancelled: nothing written, the cartridge did not answer in ", 0), 0u);
    EXPECT_NE(LastLine(run.out).find("line clean: 0 requests"), std::string::npos)
        << "a cartridge still booting is no fault of the line: " << run.out;
    EXPECT_GT(cartridge.process.Count("call: Handshake("), 0);
    EXPECT_EQ(cartridge.process.Count("call: FinishUpload("), 0) << "as after a cancel in the dialog";
}

// Paced as a real cable, so that the transfer lasts long enough to be
// interrupted.
TEST_P(FlashUpload, CtrlCDuringTheTransferStopsItTellsTheCartridgeAndFreesThePort)
{
    Folder folder;
    Cartridge cartridge(folder, Styled({"--baud", "38400"}));
    Program flash(folder, {PLEMO_FLASH_PATH, "--port", cartridge.port,
                           folder.Write("game.frm", testdata::Pattern(32768))});
    ASSERT_TRUE(flash.WaitFor("progress:")) << flash.Err();
    flash.Signal(SIGINT);

    EXPECT_EQ(flash.Wait(10s), 4);
    EXPECT_EQ(flash.Err(), "plemo-flash: cancelling (Ctrl-C again stops at once)\n"
                           "plemo-flash: cancelled during the transfer: the cartridge holds an incomplete "
                           "upload; upload again before you use it\n");
    EXPECT_EQ(LastLine(flash.Out()).rfind("upload cancelled: ", 0), 0u) << flash.Out();
    const FlashRun list = RunFlash(folder, {"--list-ports"}, {"PLEMO_CANDIDATE_PORTS=" + cartridge.port});
    EXPECT_EQ(list.out, "  " + cartridge.port + "  free\n");
    cartridge.Stop();
    EXPECT_EQ(cartridge.process.Count("call: PrintText(7, \"Error\\n\")"), 1);
    EXPECT_EQ(cartridge.process.Count("call: FinishUpload(0x8020000)"), 1) << "told, as by the dialog";
}

// The cartridge falls silent once a block is to be committed, so that
// closing the cancelled upload takes a while (each closing call waits its
// full 100 ms): the second Ctrl-C lands while it does.
TEST_P(FlashUpload, ASecondCtrlCEndsTheProgramAtOnce)
{
    Folder folder;
    Cartridge cartridge(folder, Styled({"--full-speed", "--fall-silent-at", "4"}));
    Program flash(folder, {PLEMO_FLASH_PATH, "--port", cartridge.port,
                           folder.Write("game.frm", testdata::Pattern(8192))});
    ASSERT_TRUE(cartridge.process.WaitFor("call: OpenRange("));
    flash.Signal(SIGINT);
    ASSERT_TRUE(flash.WaitFor("Ctrl-C again stops at once", 5s)) << flash.Err();
    flash.Signal(SIGINT);

    EXPECT_EQ(flash.Wait(5s), 4);
    EXPECT_NE(flash.Err().find("plemo-flash: stopped at once (second Ctrl-C)"), std::string::npos) << flash.Err();
    EXPECT_EQ(flash.Out().find("upload cancelled"), std::string::npos) << "no summary: " << flash.Out();
}

// A damaged data sum, a 0xFE and a burst of noise each cost the link one
// known reaction: the summary must count what the cartridge did.
TEST_P(FlashUpload, TheSummaryCountsTheFaultsTheCartridgeInjected)
{
    Folder folder;
    Cartridge cartridge(folder, Styled({"--full-speed", "--seed", "11", "--corrupt-reply-rate", "0.06",
                                 "--ask-again-rate", "0.06", "--noise-rate", "0.06", "--noise-bytes", "5"}));

    const FlashRun run = RunFlash(folder, {"--port", cartridge.port,
                                           folder.Write("game.frm", testdata::Pattern(32768, 5))});
    cartridge.Stop();

    ASSERT_EQ(run.status, 0) << run.err;
    const std::string summary = LastLine(run.out);
    const long long damaged = CountBefore(summary, "damaged repl");
    const long long askedAgain = CountBefore(summary, "asked again by 0xFE");
    const long long skipped = CountBefore(summary, "resync byte");
    EXPECT_GT(damaged * askedAgain * skipped, 0) << summary;
    EXPECT_NE(cartridge.process.Out().find("faults: damaged-data=" + std::to_string(damaged) + " damaged-header=0 "
                                           "late=0 ask-again=" + std::to_string(askedAgain) + " noise=" +
                                           std::to_string(skipped / 5) + " noise-bytes=" + std::to_string(skipped)),
              std::string::npos)
        << summary << "\n" << cartridge.process.Out();
    EXPECT_EQ(CountBefore(summary, "late repl"), 0);
    EXPECT_EQ(CountBefore(summary, "repeated"), damaged + askedAgain);
    EXPECT_NE(summary.find("line noisy, check the cable"), std::string::npos) << summary;
    // The bytes the cartridge confirmed, and no share of the line above
    // 100 % from a simulator that is not paced.
    EXPECT_EQ(summary.rfind("upload succeeded: 32,768 bytes written in ", 0), 0u) << summary;
    EXPECT_NE(summary.find("faster than the port's 3,840 B/s"), std::string::npos) << summary;
    EXPECT_EQ(summary.find('%'), std::string::npos) << summary;
}

INSTANTIATE_TEST_SUITE_P(Styles, FlashUpload, ::testing::ValuesIn(styletest::PtyStyles()),
                         styletest::ParamName);

} // namespace
