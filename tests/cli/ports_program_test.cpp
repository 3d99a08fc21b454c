// plemo-flash and the serial ports: which one it uses, what it says about
// each, and why one will not open. The candidates are the tests' own
// pseudo-terminals, handed over as a test rig does.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/cli/flashrig.h"
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

// Another program holding the port: flock(1) takes the lock that serial
// programs take, and keeps it while its command runs.
class PortHolder
{
public:
    explicit PortHolder(const std::string& device)
        : process("/usr/bin/flock", {"--nonblock", device, "sh", "-c", "echo locked; exec sleep 60"})
    {
        EXPECT_TRUE(process.WaitForText("locked", 10s)) << process.Err();
    }
    pid_t Pid() const { return process.Pid(); }

private:
    ChildProcess process;
};

// What a port listing says of `port`: the text after its name.
std::string StateOf(const std::string& listing, const std::string& port)
{
    const std::size_t at = listing.find("  " + port + " ");
    if (at == std::string::npos)
        return "(not listed)";
    const std::size_t state = listing.find_first_not_of(' ', at + 2 + port.size());
    return listing.substr(state, listing.find('\n', state) - state);
}

// The port's group may open it; this test's process may not: as root it
// runs the program without the capabilities that pass file permissions.
struct ClosedPort
{
    std::vector<std::string> command;
    std::string group;
};

ClosedPort CloseToThisUser(const std::string& device)
{
    if (geteuid() != 0) {
        chmod(device.c_str(), 0);
        struct stat node{};
        stat(device.c_str(), &node);
        const group* owner = getgrgid(node.st_gid);
        return {{PLEMO_FLASH_PATH}, owner != nullptr ? owner->gr_name : ""};
    }
    // Owned by nobody, open to the group dialout only.
    EXPECT_EQ(chown(device.c_str(), 65534, -1), 0);
    EXPECT_EQ(std::system(("chgrp dialout " + device).c_str()), 0);
    chmod(device.c_str(), 0660);
    return {{"/usr/bin/setpriv", "--bounding-set=-all", PLEMO_FLASH_PATH}, "dialout"};
}

FlashRun RunCommand(const std::vector<std::string>& command, std::vector<std::string> arguments,
                    const std::vector<std::string>& environment)
{
    arguments.insert(arguments.begin(), command.begin() + 1, command.end());
    ChildProcess process(command.front(), arguments, environment);
    FlashRun run;
    run.status = process.WaitForExit(30s);
    run.out = process.Out();
    run.err = process.Err();
    return run;
}

TEST(FlashPorts, ListShowsEachPortThatExistsWithItsStateAndSendsNothing)
{
    Folder folder;
    Cartridge free(folder, "free", {"--full-speed"});
    Cartridge held(folder, "held", {"--full-speed"});
    Cartridge closed(folder, "closed", {"--full-speed"});
    ASSERT_FALSE(free.Port().empty() || held.Port().empty() || closed.Port().empty());
    PortHolder holder(held.Device());
    const ClosedPort access = CloseToThisUser(closed.Device());
    const std::string notASerialPort = folder.Write("notes.txt", {'x'});

    const FlashRun run = RunCommand(access.command, {"--list-ports"},
                                    {Candidates({free.Port(), folder.Path("missing"), held.Port(),
                                                 closed.Port(), notASerialPort})});
    free.Stop();

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(StateOf(run.out, free.Port()), "free") << run.out;
    EXPECT_EQ(run.out.find("missing"), std::string::npos) << "only ports that exist: " << run.out;
    EXPECT_EQ(StateOf(run.out, held.Port()),
              "held by another program (pid " + std::to_string(holder.Pid()) + ", flock)");
    EXPECT_EQ(StateOf(run.out, closed.Port()),
              "refused: no permission; join the group " + access.group + " (sudo usermod -aG " +
                  access.group + " $USER), then log out and in again");
    EXPECT_EQ(StateOf(run.out, notASerialPort), "present, but does not open as a serial port");
    EXPECT_EQ(free.Count("call: "), 0) << "nothing was sent: " << free.Printed();
}

TEST(FlashPorts, AHeldPortEndsWithExitThreeAndSaysWhoHoldsIt)
{
    Folder folder;
    Cartridge held(folder, "held", {"--full-speed"});
    ASSERT_FALSE(held.Port().empty());
    PortHolder holder(held.Device());
    const std::string file = folder.Write("game.frm", testdata::Pattern(2048));
    const FlashRun run = RunFlash({"--port", held.Port(), file});

    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_EQ(run.err, "plemo-flash: cannot open " + held.Port() + ": held by another program (pid " +
                           std::to_string(holder.Pid()) +
                           ", flock): close that program, or choose another port\n");
    EXPECT_EQ(run.out, "");
}

TEST(FlashPorts, APortClosedToTheUserEndsWithExitThreeAndTheGroupToJoin)
{
    Folder folder;
    Cartridge closed(folder, "closed", {"--full-speed"});
    ASSERT_FALSE(closed.Port().empty());
    const ClosedPort access = CloseToThisUser(closed.Device());
    const std::string file = folder.Write("game.frm", testdata::Pattern(2048));

    const FlashRun run = RunCommand(access.command, {"--port", closed.Port(), file}, {});

    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_NE(run.err.find("plemo-flash: cannot open " + closed.Port() +
                           ": refused: no permission; join the group " + access.group),
              std::string::npos)
        << run.err;
}

TEST(FlashPorts, NoFreePortOrSeveralEndWithExitTwoAndTheListOfPorts)
{
    Folder folder;
    Cartridge first(folder, "first", {"--full-speed"});
    Cartridge second(folder, "second", {"--full-speed"});
    ASSERT_FALSE(first.Port().empty() || second.Port().empty());
    const std::string file = folder.Write("game.frm", testdata::Pattern(2048));

    const FlashRun none = RunFlash({file}, {Candidates({folder.Path("missing")})});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "plemo-flash: no free serial port: plug the cable in, or name the port with --port\n");

    const FlashRun several = RunFlash({file}, {Candidates({first.Port(), second.Port()})});
    EXPECT_EQ(several.status, 2);
    EXPECT_EQ(several.err, "plemo-flash: 2 free serial ports: choose one with --port\n  " + first.Port() +
                               "   free\n  " + second.Port() + "  free\n");
    first.Stop();
    EXPECT_EQ(first.Count("call: "), 0) << first.Printed();
}

} // namespace
