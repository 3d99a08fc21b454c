// The stream's five operating-system operations on Linux and other POSIX
// systems, with termios.
//
// The port is opened exclusively, non-blocking, and kept that way: every wait
// is a poll() against one deadline, so a read never waits longer than its
// caller allowed, however the bytes trickle in. A read() returning 0 on a
// non-blocking tty means the other end hung up (a pulled USB adapter, a
// closed pseudo-terminal master): that is the line gone, not "no data yet".
#include "serial/serialstream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include "serial/adapterlatency-posix.h"
#include "serial/closeinterrupted-posix.h"
#include "serial/invariant.h"

namespace {

constexpr char kSource[] = "serialstream-posix";

using Clock = std::chrono::steady_clock;

// How long the last output may take to leave the port at its close: a
// closing word's line time and a USB adapter's latency.
constexpr int32_t kCloseDrainMs = 250;

// How often a write that waits for room asks whether to give up.
constexpr std::chrono::milliseconds kGiveUpCheck{50};

enum class PortCall
{
    Open,  // open() and the lock: the caller tells missing, held and broken ports apart
    Other, // anything after: always a system error
};

// The text of strerror_r, whichever of its two forms the C library has:
// the GNU one returns the text, the XSI one fills the buffer.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer)
{
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ErrorText(const char* result, const char*)
{
    return result;
}

// The one place where an errno becomes a SerialStreamError: the code, and
// the number and text as the system gave them.
[[noreturn]] void FailOnSystemError(PortCall call, int error, const std::string& portName,
                                    int line)
{
    int32_t code = SerialStreamError::SystemError;
    if (call == PortCall::Open) {
        switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            code = SerialStreamError::PortNotFound;
            break;
        case EBUSY:        // TIOCEXCL held by another program
        case EACCES:       // no permission for the device
        case EPERM:
        case EWOULDBLOCK:  // flock held by another program
            code = SerialStreamError::AccessDenied;
            break;
        default:
            std::printf("Could not open %s, error=%d\n", portName.c_str(), error);
            std::fflush(stdout);
            break;
        }
    }
    char text[256] = {};
    const char* message = ErrorText(::strerror_r(error, text, sizeof text), text);
    ThrowSerialStreamError(
        SerialStreamError::FromSystem(code, static_cast<uint32_t>(error), message), kSource, line);
}

[[noreturn]] void FailOnArgument(int line)
{
    ThrowSerialStreamError(SerialStreamError::InvalidArgument, kSource, line);
}

int FileDescriptor(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

// B-constant for a speed in baud, or B0 when termios has none for it.
speed_t TermiosSpeed(int32_t baud)
{
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
#endif
    default: return B0;
    }
}

tcflag_t CharacterSize(int32_t dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    case 8: return CS8;
    default: return 0; // termios has no 4-bit characters
    }
}

// Parity generation bits, or -1 for a letter that is none of E/M/N/O/S.
// Received bytes are never checked (no INPCK): a parity error must not make a
// byte disappear or change.
long ParityFlags(char letter)
{
    switch (letter) {
    case 'N': case 'n': return 0;
    case 'O': case 'o': return PARENB | PARODD;
    case 'E': case 'e': return PARENB;
    case 'M': case 'm': return PARENB | CMSPAR | PARODD;
    case 'S': case 's': return PARENB | CMSPAR;
    default: return -1;
    }
}

// Raw 8-bit transfer: no byte is translated, swallowed or echoed, no signal
// characters, no software or hardware flow control, modem lines ignored.
void MakeRaw(termios& settings)
{
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                          IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD;
    // With VMIN 1 a non-blocking read() with nothing there fails with EAGAIN
    // and returns 0 only when the line is gone. (VMIN 0 would return 0 for
    // both.) The time-outs themselves are poll()'s.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

// One total deadline for a whole read or write, whatever number of pieces
// it takes.
class Deadline
{
public:
    // Negative: no limit.
    static Deadline In(int32_t timeoutMs)
    {
        if (timeoutMs < 0)
            return Deadline();
        return Deadline(Clock::now() + std::chrono::milliseconds(timeoutMs));
    }
    explicit Deadline(Clock::time_point end) : limited(true), end(end) {}
    // This deadline, or `wait` from now if that comes first.
    Deadline AtMost(std::chrono::milliseconds wait) const
    {
        const Clock::time_point soon = Clock::now() + wait;
        return Deadline(limited ? std::min(end, soon) : soon);
    }

    // Milliseconds for poll(): -1 without limit, 0 when the time is up.
    int RemainingMs() const
    {
        if (!limited)
            return -1;
        const auto left = end - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        // Rounded up: a poll of 0 ms before the deadline would spin. A wait
        // longer than poll() can take (a huge write on a slow line) is cut
        // into pieces by the caller's loop.
        const int64_t leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return static_cast<int>(std::min<int64_t>(leftMs, std::numeric_limits<int>::max()));
    }

private:
    Deadline() = default;
    bool limited = false;
    Clock::time_point end{};
};

// Waits until the port reports one of `events` (or a hang-up, which the next
// read() or write() tells apart), and returns what it reported; 0 once the
// deadline has passed. A wait that begins late, or is woken after its
// deadline, still takes one last look: bytes that came in time are taken.
short WaitUntilReady(int fd, short events, const Deadline& deadline, const std::string& portName)
{
    for (;;) {
        const int waitMs = deadline.RemainingMs();
        pollfd port{fd, events, 0};
        const int ready = ::poll(&port, 1, waitMs);
        if (ready < 0 && errno != EINTR)
            FailOnSystemError(PortCall::Other, errno, portName, __LINE__);
        if (ready > 0) {
            if ((port.revents & (POLLERR | POLLNVAL)) != 0)
                FailOnSystemError(PortCall::Other, EIO, portName, __LINE__);
            return port.revents;
        }
        if (ready == 0 && waitMs == 0)
            return 0;
        // Interrupted, or woken a little early: the deadline decides.
    }
}

// Whether the terminal's exclusive flag is already set, by another holder.
// Kernels before 3.8 cannot tell; there only the open's EBUSY shows it, and
// root's open passes it.
bool ExclusiveFlagSet(int fd)
{
#ifdef TIOCGEXCL
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    (void)fd;
    return false;
#endif
}

// What the driver still holds to send (a pseudo-terminal: always 0).
int QueuedOutput(int fd)
{
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}


} // namespace

void CSerialStream::OpenPort()
{
    PLEMO_INVARIANT(!streamValid);
    // O_NONBLOCK: do not wait for a carrier on open, and never block in read().
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        FailOnSystemError(PortCall::Open, errno, name, __LINE__);
    // Root passes TIOCEXCL, so the advisory lock is what shows another
    // program's claim to everyone; programs that lock serial ports use it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        FailOnSystemError(PortCall::Open, error, name, __LINE__);
    }
    // Root's open passes another program's TIOCEXCL too; the flag itself
    // still tells that the port is taken. Setting it ourselves would let a
    // later close clear the other program's claim.
    if (ExclusiveFlagSet(fd)) {
        ::close(fd);
        FailOnSystemError(PortCall::Open, EBUSY, name, __LINE__);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) { // also refuses anything that is not a terminal
        const int error = errno;
        ::close(fd);
        FailOnSystemError(PortCall::Other, error, name, __LINE__);
    }
    handle = fd;
    streamValid = true;
    adapterLatency = LowerAdapterLatency(fd, name);
}

void CSerialStream::ClosePort()
{
    PLEMO_INVARIANT(streamValid);
    streamValid = false;
    const int fd = FileDescriptor(handle);
    // First, while nothing can fail yet: the driver keeps its flags after
    // the close, for the next program.
    RestoreAdapterLatency(fd, adapterLatency, name);
    adapterLatency = AdapterLatency::AsFound;
    // The exclusive flag belongs to the terminal, not to this descriptor: it
    // would outlive the close while anything else has the device open, and
    // keep every later open out, ours included. It is ours to clear: an open
    // finds it clear or fails. Failing to clear it is of no consequence to
    // the close itself.
    (void)::ioctl(fd, TIOCNXCL);
    // What was written last (a cancelled upload's closing word) still leaves
    // on a line that takes bytes; on one that has stopped taking them it
    // would never leave, and waiting for it is no use.
    const Deadline drained = Deadline::In(kCloseDrainMs);
    while (QueuedOutput(fd) > 0 && drained.RemainingMs() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int closed = QueuedOutput(fd) > 0 ? CloseDroppingUnsentOutput(fd) : ::close(fd);
    // On Linux the descriptor is released even when close() reports EINTR.
    if (closed != 0 && errno != EINTR)
        FailOnSystemError(PortCall::Other, errno, name, __LINE__);
}

void CSerialStream::ApplyLineSettings()
{
    PLEMO_INVARIANT(streamValid);
    ++portCalls.lineSettings;
    const int fd = FileDescriptor(handle);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        FailOnSystemError(PortCall::Other, errno, name, __LINE__);

    MakeRaw(settings);
    const tcflag_t characterSize = CharacterSize(dataBits);
    if (characterSize == 0)
        FailOnArgument(__LINE__);
    const long parityFlags = ParityFlags(parity);
    if (parityFlags < 0)
        FailOnArgument(__LINE__);
    if (stopBits != 1 && stopBits != 2)
        FailOnArgument(__LINE__);
    const speed_t termiosSpeed = TermiosSpeed(speed);
    if (termiosSpeed == B0)
        FailOnArgument(__LINE__);

    settings.c_cflag |= characterSize | static_cast<tcflag_t>(parityFlags);
    if (stopBits == 2)
        settings.c_cflag |= CSTOPB;
    ::cfsetispeed(&settings, termiosSpeed);
    ::cfsetospeed(&settings, termiosSpeed);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
        FailOnSystemError(PortCall::Other, errno, name, __LINE__);

    // DTR held off: the cartridge must not take it for a reset or a "host
    // ready" line. A pseudo-terminal has no modem lines and refuses the call.
    int dtr = TIOCM_DTR;
    if (::ioctl(fd, TIOCMBIC, &dtr) != 0 && errno != ENOTTY && errno != EINVAL)
        FailOnSystemError(PortCall::Other, errno, name, __LINE__);
}

int32_t CSerialStream::PortRead(void* data, int32_t length, int32_t timeoutMs)
{
    if (!streamValid)
        ThrowSerialStreamError(SerialStreamError::NotOpen, kSource, __LINE__);
    ++portCalls.reads;
    const int fd = FileDescriptor(handle);
    const Deadline deadline = Deadline::In(timeoutMs);
    auto* destination = static_cast<uint8_t*>(data);
    int32_t received = 0;
    // A read() takes everything the terminal holds, up to what it is asked
    // for; one that comes back short leaves nothing behind it. So a poll of
    // the port stops after it, and a waiting read asks poll() before each
    // read(): it comes right after a poll that found too few bytes, where a
    // read() would only say "nothing yet".
    bool waitFirst = timeoutMs != 0;
    while (received < length) {
        if (waitFirst && WaitUntilReady(fd, POLLIN, deadline, name) == 0)
            break;
        const ssize_t count = ::read(fd, destination + received, length - received);
        if (count > 0) {
            received += static_cast<int32_t>(count);
            if (timeoutMs == 0)
                break;
            waitFirst = true;
            continue;
        }
        if (count == 0) // hung up
            FailOnSystemError(PortCall::Other, EIO, name, __LINE__);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            FailOnSystemError(PortCall::Other, errno, name, __LINE__);
        // Nothing there yet: a poll of the port ends here, a waiting read waits.
        if (timeoutMs == 0)
            break;
        waitFirst = true;
    }
    return received;
}

void CSerialStream::PortWrite(const void* data, int32_t length)
{
    PLEMO_INVARIANT(streamValid);
    if (length == 0)
        return;
    ++portCalls.writes;
    const int fd = FileDescriptor(handle);
    // Without flow control the line takes the bytes at its speed: a port
    // that has not taken them by then, and by the allowance, never will.
    // One deadline for the whole write, so that a far end that takes a byte
    // now and then cannot keep it going.
    const Deadline deadline(LineClearAfter(length) + stallAllowance);
    const auto* source = static_cast<const uint8_t*>(data);
    int32_t sent = 0;
    while (sent < length) {
        const ssize_t count = ::write(fd, source + sent, length - sent);
        if (count > 0) {
            sent += static_cast<int32_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0 || errno != EAGAIN)
            FailOnSystemError(PortCall::Other, count == 0 ? EIO : errno, name, __LINE__);

        // The driver's queue is full: wait until the line takes more.
        short ready = 0;
        while (writeGiveUp) {
            ready = WaitUntilReady(fd, POLLOUT, deadline.AtMost(kGiveUpCheck), name);
            if (ready != 0 || deadline.RemainingMs() == 0)
                break;
            if (writeGiveUp())
                FailOnSystemError(PortCall::Other, ECANCELED, name, __LINE__);
        }
        if (!writeGiveUp)
            ready = WaitUntilReady(fd, POLLOUT, deadline, name);
        if (ready == 0)
            FailOnSystemError(PortCall::Other, ETIMEDOUT, name, __LINE__);
        if ((ready & POLLHUP) != 0)
            FailOnSystemError(PortCall::Other, EIO, name, __LINE__);
    }
}
