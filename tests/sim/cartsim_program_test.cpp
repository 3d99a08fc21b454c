// The plemo-cartsim program as a user runs it: a port to open, the
// cartridge's screen on its output, its flash left in a file, a clean exit.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "serial/pcserial.h"
#include "sim/procedures.h"
#include "sim/wire.h"
#include "tests/support/replystyles.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace Procedure = sim::Procedure;

// The simulator running as a child process, its output (both streams) in a pipe.
class Cartsim
{
public:
    explicit Cartsim(std::vector<std::string> arguments)
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        arguments.insert(arguments.begin(), PLEMO_CARTSIM_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, PLEMO_CARTSIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output = ends[0];
    }

    ~Cartsim()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (output >= 0)
            close(output);
    }

    bool Running() const { return pid > 0; }

    // Reads output until it contains `text` or `limit` passes.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit = 5000ms)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (printed.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count())))
                return false;
        }
        return true;
    }

    void Signal(int signal) { kill(pid, signal); }

    // Signals the program and returns its exit status (-1: it did not end).
    int StopWith(int signal)
    {
        Signal(signal);
        return WaitForExit();
    }

    int WaitForExit()
    {
        for (int waited = 0; waited < 500; ++waited) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                while (ReadSome(0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    const std::string& Printed() const { return printed; }

private:
    bool ReadSome(int timeoutMs)
    {
        pollfd readable{output, POLLIN, 0};
        if (poll(&readable, 1, timeoutMs) <= 0)
            return false;
        char piece[4096];
        const ssize_t count = read(output, piece, sizeof piece);
        if (count <= 0)
            return false;
        printed.append(piece, static_cast<size_t>(count));
        return true;
    }

    pid_t pid = -1;
    int output = -1;
    std::string printed;
};

class TemporaryFolder
{
public:
    TemporaryFolder()
    {
        char pattern[] = "/tmp/plemo-cartsim-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path = pattern;
    }
    ~TemporaryFolder()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string Path(const char* name) const { return path + "/" + name; }

private:
    std::string path;
};

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int CallWithStatus(CRpc& link, uint8_t procedure, CRpcMessage& message)
{
    const int result = link.Call(procedure, message);
    uint32_t status = 0;
    if (result != 0 || message.GetU32(status) != 0)
        return result != 0 ? result : -1000;
    return static_cast<int32_t>(status);
}

// The host's link, whatever the cartridge's reply style.
class CartsimServes : public styletest::StyledTest
{
};

TEST_P(CartsimServes, AnUploadShowsTheScreenAndLeavesItsFlashOnExit)
{
    TemporaryFolder folder;
    const std::string port = folder.Path("port");
    const std::string dump = folder.Path("flash.bin");
    Cartsim cartsim({"--full-speed", "--link", port, "--dump", dump, "--boot-after-handshakes", "1",
                     "--verbose", "--reply-style", GetParam()});
    ASSERT_TRUE(cartsim.Running());
    ASSERT_TRUE(cartsim.WaitForOutput("linked as " + port)) << cartsim.Printed();

    {
        CPCSerial serial;
        serial.Open(port, 38400);
        CRpc link(&serial, 1);
        link.SetTimeout(100);
        CRpcMessage message(256);
        message.PutU32(0xC001F00D);
        EXPECT_EQ(link.Call(Procedure::kHandshake, message), CRpc::TimedOut)
            << "the first handshake finds the cartridge still booting";
        message.Reset();
        message.PutU32(0xC001F00D);
        EXPECT_EQ(CallWithStatus(link, Procedure::kHandshake, message), 0);

        const char text[] = "Hello cartridge\n";
        message.Reset();
        message.PutBytes(text, sizeof text);
        EXPECT_EQ(link.Call(Procedure::kPrintText, message), 0);

        message.Reset();
        message.PutU32(0x2000);
        message.PutU32(4);
        EXPECT_EQ(CallWithStatus(link, Procedure::kOpenRange, message), 0);
        const Bytes data = {0x01, 0x23, 0x45, 0x67};
        message.Reset();
        message.PutU32(0);
        message.PutBytes(data.data(), 4);
        EXPECT_EQ(link.Call(Procedure::kLoadBuffer, message), 0);
        message.Reset();
        message.PutU32(0x2000);
        message.PutU32(4);
        EXPECT_EQ(CallWithStatus(link, Procedure::kProgramRange, message), 0);
    }

    EXPECT_TRUE(cartsim.WaitForOutput("Hello cartridge\n")) << cartsim.Printed();
    EXPECT_EQ(cartsim.StopWith(SIGTERM), 0);
    EXPECT_NE(cartsim.Printed().find("call: Handshake(0xc001f00d) -> 0"), std::string::npos)
        << cartsim.Printed();
    EXPECT_NE(cartsim.Printed().find("call: ProgramRange(0x2000, 4) -> 0"), std::string::npos);

    struct stat link {};
    EXPECT_NE(lstat(port.c_str(), &link), 0) << "the symlink must be gone after exit";
    const Bytes flash = ReadFile(dump);
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_EQ(Bytes(flash.begin() + 0x2000, flash.begin() + 0x2004), (Bytes{0x01, 0x23, 0x45, 0x67}));
    EXPECT_EQ(flash[0x1FFF], 0xFF);
    EXPECT_EQ(flash[0x2004], 0xFF);
}

PLEMO_FOR_PTY_REPLY_STYLES(CartsimServes);

// plemo-cartsim at full speed, linked into a folder of its own, and the
// host's serial port open on it.
class CartsimOnItsPort : public ::testing::Test
{
protected:
    void Start(std::vector<std::string> options)
    {
        options.insert(options.end(), {"--full-speed", "--link", port});
        cartsim = std::make_unique<Cartsim>(options);
        ASSERT_TRUE(cartsim->WaitForOutput("linked as " + port)) << cartsim->Printed();
        serial.Open(port, 38400);
    }

    TemporaryFolder folder;
    const std::string port = folder.Path("port");
    std::unique_ptr<Cartsim> cartsim;
    CPCSerial serial;
};

// The bytes on the line, read raw: the style's options reach the replies.
TEST_F(CartsimOnItsPort, ReplyStyleOptionsShapeTheRepliesOnTheLine)
{
    Start({"--extra-bytes", "2", "--reply-style", "status"});
    // The reply data's length M is in the header: sync word, code, M (2), sum (2).
    const auto dataLength = [this](uint8_t procedure, const Bytes& arguments) {
        const Bytes request = sim::RequestFrames(procedure, arguments);
        serial.Write(request.data(), static_cast<int32_t>(request.size()), 1000);
        uint8_t header[9] = {};
        if (serial.Read(header, sizeof header, 2000) != static_cast<int32_t>(sizeof header))
            return -1;
        const int length = header[5] | header[6] << 8;
        Bytes rest(static_cast<size_t>(length) + 2);
        serial.Read(rest.data(), static_cast<int32_t>(rest.size()), 2000);
        return length;
    };
    EXPECT_EQ(dataLength(Procedure::kPrintText, {2, 0, 'a', 0}), 4) << "a status where none is read";
    EXPECT_EQ(dataLength(Procedure::kGetBufferSize, {}), 6) << "the size and two bytes more";
    EXPECT_EQ(dataLength(Procedure::kGetBufferChecksum, {4, 0, 0, 0}), 8);
}

// Behind the adapter every short reply waits out its latency timer, even on
// a line that takes no time; it still arrives whole.
TEST_F(CartsimOnItsPort, AdapterLatencyHoldsEachShortReplyForItsTimer)
{
    Start({"--adapter-latency", "100"});
    CRpc link(&serial, 1);
    link.SetTimeout(1000);
    CRpcMessage message(256);
    const auto start = std::chrono::steady_clock::now();
    for (int call = 0; call < 3; ++call) {
        message.Reset();
        message.PutBytes("x", 2);
        EXPECT_EQ(link.Call(Procedure::kPrintText, message), 0);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * 100ms);
    EXPECT_EQ(link.LinkStats().requests, 3u) << "no call was repeated";
}

// Switched off at the second PrintText for 1 s: nothing is heard until
// then, and the cartridge comes back waiting for a handshake.
TEST_F(CartsimOnItsPort, RestartOptionsSwitchTheCartridgeOffForAWhile)
{
    Start({"--restart-at-call", "11:2", "--off-for", "1000"});
    CRpc link(&serial, 1);
    link.SetTimeout(100);
    CRpcMessage message(256);
    const auto print = [&] {
        message.Reset();
        message.PutBytes("x", 2);
        return link.Call(Procedure::kPrintText, message);
    };
    const auto handshake = [&] {
        message.Reset();
        message.PutU32(0xC001F00D);
        return CallWithStatus(link, Procedure::kHandshake, message);
    };
    EXPECT_EQ(print(), 0);
    const auto off = std::chrono::steady_clock::now();
    EXPECT_EQ(print(), CRpc::TimedOut);
    EXPECT_TRUE(cartsim->WaitForOutput("switched off")) << cartsim->Printed();
    EXPECT_EQ(handshake(), CRpc::TimedOut);
    std::this_thread::sleep_until(off + 1100ms);
    EXPECT_EQ(print(), CRpc::TimedOut) << "back on, silent before a handshake";
    EXPECT_EQ(handshake(), CRpc::TimedOut) << "the first handshake boots it";
    EXPECT_EQ(handshake(), 0);
    EXPECT_EQ(print(), 0);
    EXPECT_TRUE(cartsim->WaitForOutput("switched on again")) << cartsim->Printed();
}

TEST(CartsimProgram, FlashDumpedOnRequestCanBeLoadedByTheNextRun)
{
    TemporaryFolder folder;
    const std::string image = folder.Path("image.bin");
    Bytes content(0x100, 0xFF);
    content[0x80] = 0x42;
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));

    const std::string dump = folder.Path("dump.bin");
    Cartsim cartsim({"--full-speed", "--load", image, "--dump", dump});
    ASSERT_TRUE(cartsim.WaitForOutput("serial port"));
    cartsim.Signal(SIGUSR1);
    ASSERT_TRUE(cartsim.WaitForOutput("flash written to " + dump));
    const Bytes flash = ReadFile(dump);
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_EQ(flash[0x80], 0x42);
    EXPECT_EQ(cartsim.StopWith(SIGINT), 0) << "SIGUSR1 dumps and keeps running";
}

TEST(CartsimProgram, HelpExplainsAndABadOptionIsRefused)
{
    Cartsim help({"--help"});
    EXPECT_EQ(help.WaitForExit(), 0);
    EXPECT_NE(help.Printed().find("--full-speed"), std::string::npos);
    for (const std::string& style : sim::ReplyStyle::Names())
        EXPECT_NE(help.Printed().find("      " + style + " "), std::string::npos) << style;
    EXPECT_NE(help.Printed().find("--restart-at-call PROC:N"), std::string::npos);
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--buffer-size", "0"}, "bad value '0' for --buffer-size"},
        {{"--reply-style", "loud"},
         "bad value 'loud' for --reply-style (one of exact, status, padded, random, terse)"},
        {{"--extra-bytes", "3-17"}, "bad value '3-17' for --extra-bytes"},
        {{"--restart-at-call", "11"}, "bad value '11' for --restart-at-call"},
    };
    for (const auto& [arguments, said] : refused) {
        Cartsim wrong(arguments);
        EXPECT_EQ(wrong.WaitForExit(), 2);
        EXPECT_NE(wrong.Printed().find(said), std::string::npos) << wrong.Printed();
    }
}

} // namespace
