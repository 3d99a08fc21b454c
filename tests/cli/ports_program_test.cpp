// plemo-flash before any upload: the ports it lists and chooses, why one
// will not open, and what it says of a file. The candidate ports are the
// tests' own pseudo-terminals, handed over as a test rig does.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/cli/flashrig.h"
#include "tests/support/bitfile.h"
#include "tests/support/pattern.h"

namespace {

using namespace clitest;

std::string Candidates(const std::vector<std::string>& ports)
{
    std::string value = "PLEMO_CANDIDATE_PORTS=";
    for (const std::string& port : ports)
        value += port + ":";
    return value;
}

// What a port listing says of `port`.
std::string StateOf(const std::string& listing, const std::string& port)
{
    const std::size_t at = listing.find("  " + port + " ");
    if (at == std::string::npos)
        return "(not listed)";
    const std::size_t state = listing.find_first_not_of(' ', at + 2 + port.size());
    return listing.substr(state, listing.find('\n', state) - state);
}

// One port free, one held by another program (flock(1) takes the lock that
// serial programs take), one closed to this user: open to the group dialout
// and owned by nobody; as root the program runs without the capabilities
// that pass file permissions.
class FlashPorts : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(holder.WaitFor("locked"));
        struct stat node{};
        stat(closed.port.c_str(), &node);
        group = getgrgid(node.st_gid)->gr_name;
        if (geteuid() == 0) {
            ASSERT_EQ(std::system(("chown nobody:dialout " + closed.port).c_str()), 0);
            command = {"/usr/bin/setpriv", "--bounding-set=-all", PLEMO_FLASH_PATH};
            group = "dialout";
        }
        chmod(closed.port.c_str(), geteuid() == 0 ? 0660 : 0);
    }

    Folder folder;
    Cartridge free{folder, {"--full-speed"}, "free"};
    Cartridge held{folder, {"--full-speed"}, "held"};
    Cartridge closed{folder, {"--full-speed"}, "closed"};
    Program holder{folder, {"/usr/bin/flock", "--nonblock", held.port, "sh", "-c", "echo locked; exec sleep 60"}};
    std::vector<std::string> command = {PLEMO_FLASH_PATH};
    std::string group;
};

TEST_F(FlashPorts, TheListShowsEachPortThatExistsWithItsStateAndSendsNothing)
{
    const std::string notAPort = folder.Write("notes.txt", {'x'});
    command.push_back("--list-ports");
    Program list(folder, command,
                 {Candidates({free.port, folder.Path("missing"), held.port, closed.port, notAPort})});
    EXPECT_EQ(list.Wait(), 0) << list.Err();
    free.Stop();

    const std::string listing = list.Out();
    EXPECT_EQ(StateOf(listing, free.port), "free") << listing;
    EXPECT_EQ(listing.find("missing"), std::string::npos) << "only ports that exist";
    EXPECT_EQ(StateOf(listing, held.port), "held by another program (pid " + std::to_string(holder.Pid()) + ", flock)");
    EXPECT_EQ(StateOf(listing, closed.port), "refused: no permission; join the group " + group + " (sudo usermod -aG " +
                                                 group + " $USER), then log out and in again");
    EXPECT_EQ(StateOf(listing, notAPort), "present, but does not open as a serial port");
    EXPECT_EQ(free.process.Count("call: "), 0) << "nothing was sent";
}

TEST_F(FlashPorts, APortThatWillNotOpenEndsWithExitThreeAndWhatToDo)
{
    const std::string file = folder.Write("game.frm", testdata::Pattern(2048));
    const FlashRun run = RunFlash(folder, {"--port", held.port, file});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "plemo-flash: cannot open " + held.port + ": held by another program (pid " +
                           std::to_string(holder.Pid()) + ", flock): close that program, or choose another port\n");
    EXPECT_EQ(run.out, "");
    const FlashRun missing = RunFlash(folder, {"--port", folder.Path("missing"), file});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "plemo-flash: cannot open " + folder.Path("missing") +
                               ": no such port: check the name (--list-ports shows the ports found)\n");
    EXPECT_EQ(missing.out, "");

    const FlashRun none = RunFlash(folder, {file}, {Candidates({held.port, folder.Path("missing")})});
    EXPECT_EQ(none.status, 2) << "no free port";
    EXPECT_EQ(none.err, "plemo-flash: no free serial port: plug the cable in, or name the port with --port; the "
                        "ports found:\n  " + held.port + "  held by another program (pid " +
                            std::to_string(holder.Pid()) + ", flock)\n");
    const FlashRun several = RunFlash(folder, {file}, {Candidates({free.port, closed.port})});
    EXPECT_EQ(several.status, 2);
    EXPECT_NE(several.err.find("plemo-flash: 2 free serial ports: choose one with --port\n  " + free.port),
              std::string::npos) << several.err;
}

// Each refused before a port is opened: the held port would give 3.
TEST_F(FlashPorts, AFileOrUsageThatIsRefusedEndsWithExitTwoBeforeAnyPortIsOpened)
{
    bitfile::Fields tooLong;
    tooLong.data = testdata::Pattern(130089);
    std::string cutShort = bitfile::AsString(bitfile::File(bitfile::Fields{}));
    cutShort.pop_back();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{folder.Write("big.bit", bitfile::File(tooLong))},
         "cannot be uploaded: its configuration data (130,089 bytes) does not fit the 128 KiB flash image "
         "(room for 130,088 bytes): use the .bit file the FPGA tools wrote (--info shows what was read)\n"},
        {{folder.Write("cut.bit", Bytes(cutShort.begin(), cutShort.end()))},
         "cannot be uploaded: its configuration data is cut short (4 bytes announced, fewer in the file)"},
        {{folder.Write("GAME.FRM", {1, 2})}, "GAME.FRM: cannot tell its kind: the name must contain .bit (a "
                                             "bitstream) or .frm (a firmware image), in lower case\n"},
        {{"--wait", "soon", folder.Path("GAME.FRM")},
         "plemo-flash: --wait needs a number of seconds above 0, not 'soon' (plemo-flash --help shows the usage)\n"},
        {{"--speed", "9600"}, "plemo-flash: Unknown option 'speed' (plemo-flash --help shows the usage)\n"},
    };
    for (auto [arguments, says] : cases) {
        arguments.insert(arguments.begin(), {"--port", held.port});
        const FlashRun run = RunFlash(folder, arguments);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
    EXPECT_EQ(RunFlash(folder, {"--info", folder.Path("big.bit")}).status, 2);
}

TEST(FlashInfo, ShowsWhatABitstreamAndAFirmwareHold)
{
    Folder folder;
    bitfile::Fields fields;
    fields.data = {0x01, 0x80, 0x12, 0xAA}; // stored 80 01 48 55, summed each plus one
    const std::string bit = folder.Write("top.bit", bitfile::File(fields));
    const std::string frm = folder.Write("game.frm", testdata::Pattern(4097));

    const FlashRun bitInfo = RunFlash(folder, {"--info", bit});
    const FlashRun frmInfo = RunFlash(folder, {"--info", frm});

    EXPECT_EQ(bitInfo.status, 0) << bitInfo.err;
    EXPECT_EQ(bitInfo.out, "file:      " + bit + " (FPGA bitstream, 93 bytes)\n"
                           "design:    counts.ncd;UserID=0xFFFFFFFF\n"
                           "part:      3s50tq144\n"
                           "date:      2024/05/17\n"
                           "time:      12:34:56\n"
                           "data:      4 bytes, fits the 128 KiB image (room for 130,088 bytes, 130,084 to spare)\n"
                           "checksum:  0x0122 (the record's sum of the stored bytes, each plus one)\n"
                           "image:     131,072 bytes at flash address 0x3C0000, in 64 chunks of 2,048 bytes\n");
    EXPECT_EQ(frmInfo.status, 0) << frmInfo.err;
    EXPECT_EQ(frmInfo.out, "file:      " + frm + " (firmware image, 4,097 bytes)\n"
                           "size:      4,097 bytes (sent with one erased byte after it: flash takes even counts)\n"
                           "blocks:    3 chunks of up to 2,048 bytes, written from flash address 0x000000\n");
}

} // namespace
