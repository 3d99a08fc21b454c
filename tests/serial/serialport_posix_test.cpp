// What only a POSIX machine can show: ports held by other programs, a line
// that goes away, and the termios settings the port really gets.
#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "serial/portdiscovery.h"
#include "serial/serialstream.h"
#include "tests/serial/errorcode.h"
#include "tests/serial/linepeer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Another program holding a port, the way serial tools do: its own open of
// the device, with an advisory lock or with the terminal's exclusive flag
// (which root's open passes).
enum class Claim
{
    Lock,
    ExclusiveFlag,
};

void PrintTo(Claim claim, std::ostream* out)
{
    *out << (claim == Claim::Lock ? "advisory lock" : "exclusive flag");
}

class OtherProgramHolding
{
public:
    OtherProgramHolding(const std::string& portName, Claim claim)
        : descriptor(open(portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        EXPECT_GE(descriptor, 0);
        if (claim == Claim::Lock)
            EXPECT_EQ(flock(descriptor, LOCK_EX | LOCK_NB), 0);
        else
            EXPECT_EQ(ioctl(descriptor, TIOCEXCL), 0);
    }
    ~OtherProgramHolding() { close(descriptor); }

    bool ExclusiveFlagSet() const
    {
        int exclusive = -1;
        EXPECT_EQ(ioctl(descriptor, TIOCGEXCL, &exclusive), 0);
        return exclusive == 1;
    }

private:
    int descriptor;
};

// A scratch directory, removed with everything in it.
class ScratchDirectory
{
public:
    ScratchDirectory()
    {
        char pattern[] = "/tmp/plemo-serial-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path); }
    std::string path;
};

class SerialPortHeldElsewhere : public ::testing::TestWithParam<Claim>
{
};

TEST_P(SerialPortHeldElsewhere, IsRefusedAsAccessDeniedWithoutPrintingAnything)
{
    LinePeer peer;
    OtherProgramHolding holder(peer.PortName(), GetParam());
    CSerialStream stream;
    ::testing::internal::CaptureStdout();
    const int32_t code = ErrorCodeOf([&] { stream.Open(peer.PortName()); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(code, SerialStreamError::AccessDenied);
    EXPECT_FALSE(stream.IsOpen());
    // The other program's claim is left as it was.
    EXPECT_EQ(holder.ExclusiveFlagSet(), GetParam() == Claim::ExclusiveFlag);
}

TEST(SerialHeldPort, AnOpenStreamHoldsItsPortAgainstASecondOne)
{
    LinePeer peer;
    CSerialStream first;
    first.Open(peer.PortName());
    CSerialStream second;
    EXPECT_EQ(ErrorCodeOf([&] { second.Open(peer.PortName()); }), SerialStreamError::AccessDenied);
    first.Close();
    EXPECT_EQ(ErrorCodeOf([&] { second.Open(peer.PortName()); }), 0);
}

TEST(SerialHeldPort, IsLetGoForEveryProgramWhenClosed)
{
    // The exclusive flag belongs to the terminal and outlives a close while
    // anyone else has it open (here the line's own side); left set, it keeps
    // every ordinary user out. Root passes it, so look at the flag itself.
    LinePeer peer;
    CSerialStream stream;
    int exclusive = -1;
    stream.Open(peer.PortName());
    ASSERT_EQ(ioctl(peer.PortSideDescriptor(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    stream.Close();
    ASSERT_EQ(ioctl(peer.PortSideDescriptor(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_P(SerialPortHeldElsewhere, IsListedAsInUseInItsPlaceByDiscovery)
{
    LinePeer free1;
    LinePeer held;
    LinePeer free2;
    OtherProgramHolding holder(held.PortName(), GetParam());
    const std::vector<SerialPortInfo> found = DiscoverSerialPorts(
        {free1.PortName(), LinePeer::MissingPortName(), held.PortName(), free2.PortName()}, false);

    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, free1.PortName());
    EXPECT_FALSE(found[0].inUse);
    EXPECT_EQ(found[1].name, held.PortName());
    EXPECT_TRUE(found[1].inUse);
    EXPECT_FALSE(found[1].isModem);
    EXPECT_EQ(found[2].name, free2.PortName());
    EXPECT_FALSE(found[2].inUse);
    EXPECT_TRUE(held.Receive(1, milliseconds(20)).empty());
    EXPECT_EQ(holder.ExclusiveFlagSet(), GetParam() == Claim::ExclusiveFlag);
}

INSTANTIATE_TEST_SUITE_P(Claims, SerialPortHeldElsewhere,
                         ::testing::Values(Claim::Lock, Claim::ExclusiveFlag),
                         [](const ::testing::TestParamInfo<Claim>& info) {
                             return info.param == Claim::Lock ? "Lock" : "ExclusiveFlag";
                         });

TEST(SerialBrokenPort, AnyOtherRefusalPrintsCouldNotOpen)
{
    ScratchDirectory scratch; // a directory cannot be opened for writing
    CSerialStream stream;
    ::testing::internal::CaptureStdout();
    const int32_t code = ErrorCodeOf([&] { stream.Open(scratch.path); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Could not open " + scratch.path + ", error=" + std::to_string(EISDIR) + "\n");
    EXPECT_EQ(code, SerialStreamError::SystemError);
    EXPECT_FALSE(stream.IsOpen());
}

TEST(SerialBrokenPort, AFileThatIsNoTerminalIsNeitherOpenedNorListed)
{
    ScratchDirectory scratch;
    const std::string file = scratch.path + "/not-a-port";
    std::ofstream(file) << "data";
    CSerialStream stream;
    EXPECT_EQ(ErrorCodeOf([&] { stream.Open(file); }), SerialStreamError::SystemError);
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_TRUE(DiscoverSerialPorts({file}, false).empty());
}

// Whether the thread is inside poll() right now.
bool WaitsInPoll(pid_t thread)
{
    std::ifstream current("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    current >> number;
    return number == SYS_poll || number == SYS_ppoll;
}

// A read on a thread of its own, so that the test can act at the moment it
// matters: once the read waits in poll() for bytes still to come.
class WaitingRead
{
public:
    template <class Read>
    explicit WaitingRead(Read read)
        : thread([this, read] {
              id = static_cast<pid_t>(syscall(SYS_gettid));
              read();
              finished = true;
          })
    {
    }
    ~WaitingRead() { Join(); }
    WaitingRead(const WaitingRead&) = delete;
    WaitingRead& operator=(const WaitingRead&) = delete;

    // Returns once the read waits in poll(), or has ended without waiting.
    void WaitUntilPolling() const
    {
        while (!finished && (id == 0 || !WaitsInPoll(id)))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    void Join()
    {
        if (thread.joinable())
            thread.join();
    }
    pthread_t NativeHandle() { return thread.native_handle(); }

private:
    std::atomic<pid_t> id{0};
    std::atomic<bool> finished{false};
    std::thread thread; // last: starts once the flags are there
};

class SerialLineGone : public ::testing::Test
{
protected:
    void SetUp() override { stream.Open(peer.PortName()); }
    LinePeer peer;
    CSerialStream stream;
};

// Far longer than any test here runs: a read that ends before it was ended
// by something else.
constexpr int32_t kLongReadMs = 30000;

TEST_F(SerialLineGone, MidReadEndsTheReadWithASystemErrorAtOnce)
{
    peer.Send(BytesOf("abc"));
    peer.WaitUntilArrived(3);
    const auto start = Clock::now();
    int32_t code = -1;
    WaitingRead read([&] {
        uint8_t received[10];
        code = ErrorCodeOf([&] { stream.Read(received, 10, kLongReadMs); });
    });
    read.WaitUntilPolling(); // "abc" taken, seven bytes awaited
    peer.HangUp();
    read.Join();
    EXPECT_EQ(code, SerialStreamError::SystemError);
    EXPECT_LT(MillisecondsSince(start), kLongReadMs) << "ended by the hang-up, not its time-out";
}

TEST_F(SerialLineGone, EvenAnUnlimitedReadEnds)
{
    int32_t code = -1;
    WaitingRead read([&] {
        uint8_t received[10];
        code = ErrorCodeOf([&] { stream.Read(received, 10, -1); });
    });
    read.WaitUntilPolling();
    peer.HangUp();
    read.Join();
    EXPECT_EQ(code, SerialStreamError::SystemError);
}

TEST_F(SerialLineGone, IsNotMistakenForSilenceByAPollingRead)
{
    peer.HangUp();
    uint8_t received[10];
    EXPECT_EQ(ErrorCodeOf([&] { stream.Read(received, 10, 0); }), SerialStreamError::SystemError);
    EXPECT_EQ(ErrorCodeOf([&] { stream.Write("x", 1); }), SerialStreamError::SystemError);
    EXPECT_TRUE(stream.IsOpen()); // still to be closed by its owner
    EXPECT_EQ(ErrorCodeOf([&] { stream.Close(); }), 0);
}

// What the system said travels with the error, for whoever has to explain
// the failure to a person: its error number and its own text for it. A
// refusal of the stream's own has neither.
struct SystemFailure
{
    const char* name;
    void (*fail)(LinePeer& peer, CSerialStream& stream);
    int32_t code;
    int systemError; // errno; 0: no system call failed
};

void PrintTo(const SystemFailure& failure, std::ostream* out)
{
    *out << failure.name;
}

class SerialSystemErrors : public ::testing::TestWithParam<SystemFailure>
{
};

TEST_P(SerialSystemErrors, KeepTheSystemsErrorNumberAndText)
{
    const SystemFailure failure = GetParam();
    LinePeer peer;
    CSerialStream stream;
    const SerialStreamError error = ErrorOf([&] { failure.fail(peer, stream); });
    EXPECT_EQ(error.code, failure.code);
    EXPECT_EQ(error.systemError, static_cast<uint32_t>(failure.systemError));
    EXPECT_STREQ(error.systemMessage, failure.systemError != 0 ? strerror(failure.systemError) : "");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SerialSystemErrors,
    ::testing::Values(
        SystemFailure{"MissingDevice",
                      [](LinePeer&, CSerialStream& stream) {
                          stream.Open(LinePeer::MissingPortName());
                      },
                      SerialStreamError::PortNotFound, ENOENT},
        SystemFailure{"WriteAfterTheLineWent",
                      [](LinePeer& peer, CSerialStream& stream) {
                          stream.Open(peer.PortName());
                          peer.HangUp();
                          stream.Write("x", 1);
                      },
                      SerialStreamError::SystemError, EIO},
        SystemFailure{"SpeedOutOfRange",
                      [](LinePeer& peer, CSerialStream& stream) {
                          stream.Open(peer.PortName());
                          stream.SetSpeed(0);
                      },
                      SerialStreamError::InvalidArgument, 0}),
    [](const ::testing::TestParamInfo<SystemFailure>& info) { return info.param.name; });

// A reader woken only after its deadline, as on a loaded machine or by a
// signal, still takes the bytes that came in time. The signal arrives while
// the read waits; its handler plays the device, whose byte comes at once,
// and then keeps the reader busy well past the deadline.
constexpr int32_t kLateReadTimeoutMs = 250;
int lateByteLine = -1;

extern "C" void SendAByteThenOversleep(int)
{
    const uint8_t byte = 'x';
    if (write(lateByteLine, &byte, 1) != 1)
        return;
    timespec pause{0, (kLateReadTimeoutMs + 100) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

using SerialLateReader = SerialLineGone;

TEST_F(SerialLateReader, StillTakesTheBytesThatCameInTime)
{
    lateByteLine = peer.PeerSideDescriptor();
    struct sigaction late {};
    late.sa_handler = SendAByteThenOversleep;
    sigemptyset(&late.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &late, &previous), 0);

    int32_t count = -1;
    WaitingRead read([&] {
        uint8_t byte = 0;
        count = stream.Read(&byte, 1, kLateReadTimeoutMs);
    });
    read.WaitUntilPolling();
    pthread_kill(read.NativeHandle(), SIGUSR1);
    read.Join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(count, 1);
}

class SerialTerminalSettings : public ::testing::Test
{
protected:
    termios PortSettings() const
    {
        termios settings{};
        EXPECT_EQ(tcgetattr(peer.PortSideDescriptor(), &settings), 0);
        return settings;
    }
    LinePeer peer;
    CSerialStream stream;
};

TEST_F(SerialTerminalSettings, AreRawEightBitsWithoutFlowControlAtTheChosenSpeed)
{
    stream.SetSpeed(38400);
    stream.Open(peer.PortName());
    const termios settings = PortSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B38400));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B38400));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

TEST_F(SerialTerminalSettings, FollowTheParityLetterAndStopBits)
{
    // A pseudo-terminal always reports 8 bits and clears PARENB; the bits
    // that tell the parities apart survive, and so do the stop bits.
    stream.Open(peer.PortName());
    const tcflag_t parityKind = PARODD | CMSPAR;
    stream.SetLineFormat(8, 'O', 2);
    EXPECT_EQ(PortSettings().c_cflag & parityKind, static_cast<tcflag_t>(PARODD));
    EXPECT_NE(PortSettings().c_cflag & CSTOPB, 0u);
    stream.SetLineFormat(8, 'm', 1);
    EXPECT_EQ(PortSettings().c_cflag & parityKind, static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_EQ(PortSettings().c_cflag & CSTOPB, 0u);
    stream.SetLineFormat(8, 'S', 1);
    EXPECT_EQ(PortSettings().c_cflag & parityKind, static_cast<tcflag_t>(CMSPAR));
    stream.SetLineFormat(8, 'n', 1);
    EXPECT_EQ(PortSettings().c_cflag & parityKind, 0u);
    // Received bytes are never checked against the parity, so none is lost.
    EXPECT_EQ(PortSettings().c_iflag & INPCK, 0u);
}

TEST_F(SerialTerminalSettings, ASpeedTermiosCannotSetIsRefusedAndThePortStaysUsable)
{
    stream.Open(peer.PortName());
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetSpeed(12345); }), SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(4, 'n', 1); }),
              SerialStreamError::InvalidArgument);
    EXPECT_TRUE(stream.IsOpen());
    const termios settings = PortSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    peer.Send(BytesOf("ok"));
    char received[2];
    EXPECT_EQ(stream.Read(received, 2, 1000), 2);
}

// Holds a stream's reads back so that a device can always outrun them. The
// stream traces every byte it takes; with the trace going into a pipe of one
// page that the gate empties only while the port holds at least kAhead
// bytes, the stream can take at most two polls' worth of bytes (6 trace
// characters each) past a moment at which the port held kAhead. Its next
// poll of at most 512 bytes therefore always finds bytes waiting, until the
// gate is opened.
class TraceGate
{
public:
    static constexpr int kAhead = 2048;

    TraceGate(int portSide, const std::atomic<bool>& open)
    {
        EXPECT_EQ(pipe(pipeEnds), 0);
        EXPECT_EQ(fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096), 4096);
        savedStderr = dup(STDERR_FILENO);
        dup2(pipeEnds[1], STDERR_FILENO);
        traceEnabled = 1;
        gate = std::thread([this, portSide, &open] {
            char taken[256];
            do {
                int waiting = 0;
                while (!open && ioctl(portSide, FIONREAD, &waiting) == 0 && waiting < kAhead)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
            } while (read(pipeEnds[0], taken, sizeof taken) > 0);
        });
    }
    // Call once `open` is true.
    ~TraceGate()
    {
        traceEnabled = 0;
        dup2(savedStderr, STDERR_FILENO);
        close(savedStderr);
        close(pipeEnds[1]);
        gate.join();
        close(pipeEnds[0]);
    }
    TraceGate(const TraceGate&) = delete;
    TraceGate& operator=(const TraceGate&) = delete;

private:
    int pipeEnds[2] = {-1, -1};
    int savedStderr = -1;
    std::thread gate;
};

TEST(SerialBabblingDevice, CannotHoldTheModemProbeForever)
{
    // The device babbles four times what the probe may drop before it asks
    // whether a modem answers; the probe must end before the babble does.
    constexpr uint64_t kBabble = 4 * IComm::kMostDiscardedBytes;
    LinePeer peer;
    CSerialStream stream;
    stream.Open(peer.PortName());
    std::atomic<bool> babbling{true};
    std::atomic<bool> babbleOver{false};
    std::atomic<bool> gateOpen{false};
    // The device never sleeps until there is room: a pseudo-terminal wakes a
    // blocked writer only once its reader has nearly emptied it.
    const int line = peer.PeerSideDescriptor();
    ASSERT_EQ(fcntl(line, F_SETFL, fcntl(line, F_GETFL) | O_NONBLOCK), 0);
    std::thread device([&] {
        const Bytes noise(1024, 'x');
        for (uint64_t sent = 0; babbling && sent < kBabble;) {
            const ssize_t count = write(line, noise.data(), noise.size());
            if (count > 0)
                sent += static_cast<uint64_t>(count);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        babbleOver = true;
        gateOpen = true;
    });
    peer.WaitUntilArrived(TraceGate::kAhead);

    bool isModem = true;
    bool outlastedTheBabble = true;
    {
        TraceGate gate(peer.PortSideDescriptor(), gateOpen);
        isModem = stream.ProbeModem();
        outlastedTheBabble = babbleOver;
        babbling = false;
        gateOpen = true;
    }
    device.join();
    EXPECT_FALSE(isModem);
    EXPECT_FALSE(outlastedTheBabble);
}

TEST(SerialCandidatePorts, AreTheUsbSerialDevicesAndNeverTheConsole)
{
    const std::vector<std::string> names = GetCandidatePortNames();
    ASSERT_EQ(names.size(), 50u);
    EXPECT_EQ(names.front(), "/dev/ttyUSB0");
    EXPECT_EQ(names[24], "/dev/ttyUSB24");
    EXPECT_EQ(names[25], "/dev/ttyACM0");
    EXPECT_EQ(names.back(), "/dev/ttyACM24");
    for (const std::string& name : names)
        EXPECT_EQ(name.rfind("/dev/ttyS", 0), std::string::npos) << name;
}

} // namespace
