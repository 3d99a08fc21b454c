#include "sim/ptyline.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr size_t kReadPiece = 4096;

std::string Failure(const char* call)
{
    return std::string(call) + " failed: " + std::strerror(errno);
}

// Raw mode: without it the line discipline translates or swallows bytes
// (0x0D, 0x11, 0x13, 0x7F), and a stray 0x13 freezes output.
bool MakeRaw(int terminal, std::string& error)
{
    termios settings{};
    bool ok = tcgetattr(terminal, &settings) == 0;
    if (ok) {
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL;
        ok = tcsetattr(terminal, TCSANOW, &settings) == 0;
    }
    if (!ok)
        error = Failure("setting the terminal raw");
    return ok;
}

bool MakeRaw(const std::string& path, std::string& error)
{
    const int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = Failure("open of the pty slave");
        return false;
    }
    const bool ok = MakeRaw(slave, error);
    close(slave);
    return ok;
}

} // namespace

PtyLine::~PtyLine()
{
    Close();
    if (wakeRead >= 0)
        close(wakeRead);
    if (wakeWrite >= 0)
        close(wakeWrite);
}

bool PtyLine::OpenWakePipe(std::string& error)
{
    if (wakeRead >= 0)
        return true;
    int ends[2];
    if (pipe(ends) != 0) {
        error = Failure("pipe");
        return false;
    }
    for (int end : ends) {
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    wakeRead = ends[0];
    wakeWrite = ends[1];
    return true;
}

bool PtyLine::Open(std::string& error)
{
    Close();
    error.clear();
    if (!OpenWakePipe(error))
        return false;
    if (!existingTty.empty()) {
        const int fd = open(existingTty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || !MakeRaw(fd, error)) {
            if (fd < 0)
                error = Failure(("open of " + existingTty).c_str());
            else
                close(fd);
            return false;
        }
        master = fd;
        hostPath = existingTty;
        return true;
    }
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = Failure("posix_openpt");
        return false;
    }
    char path[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, path, sizeof path) != 0) {
        error = Failure("preparing the pty");
        close(fd);
        return false;
    }
    if (!MakeRaw(path, error) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        if (error.empty())
            error = Failure("fcntl");
        close(fd);
        return false;
    }
    master = fd;
    hostPath = path;
    return true;
}

void PtyLine::Close()
{
    if (master >= 0)
        close(master);
    master = -1;
}

PtyLine::Io PtyLine::Read(std::vector<uint8_t>& into)
{
    uint8_t piece[kReadPiece];
    const ssize_t count = read(master, piece, sizeof piece);
    if (count > 0) {
        into.insert(into.end(), piece, piece + count);
        return Io::Done;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return Io::WouldBlock;
    return Io::HungUp; // EIO once the host has closed the slave
}

PtyLine::Io PtyLine::Write(const uint8_t* bytes, size_t count, size_t& written)
{
    written = 0;
    if (count == 0)
        return Io::Done;
    const ssize_t result = write(master, bytes, count);
    if (result >= 0) {
        written = static_cast<size_t>(result);
        return Io::Done;
    }
    if (errno == EAGAIN || errno == EINTR)
        return Io::WouldBlock;
    return Io::HungUp;
}

bool PtyLine::HostHasPortOpen() const
{
    pollfd line{master, POLLIN, 0};
    return poll(&line, 1, 0) >= 0 && (line.revents & POLLHUP) == 0;
}

void PtyLine::DiscardUnreadByHost() const
{
    if (!existingTty.empty()) {
        tcflush(master, TCOFLUSH);
        return;
    }
    const int slave = open(hostPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return;
    tcflush(slave, TCIFLUSH);
    close(slave);
}

void PtyLine::Wait(std::chrono::nanoseconds timeout, Watch watch)
{
    pollfd watched[2] = {{wakeRead, POLLIN, 0}, {master, POLLIN, 0}};
    if (watch == Watch::InputAndRoom)
        watched[1].events |= POLLOUT;
    const nfds_t count = master >= 0 && watch != Watch::Nothing ? 2 : 1;
    timespec limit{};
    timespec* limitOrNone = nullptr;
    if (timeout.count() >= 0) {
        limit.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
        limit.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
        limitOrNone = &limit;
    }
    ppoll(watched, count, limitOrNone, nullptr);
    if ((watched[0].revents & POLLIN) != 0) {
        uint8_t drained[64];
        while (read(wakeRead, drained, sizeof drained) > 0) {
        }
    }
}

void PtyLine::Wake()
{
    const uint8_t signal = 1;
    if (wakeWrite >= 0)
        (void)!write(wakeWrite, &signal, 1); // a full pipe already wakes the waiter
}

} // namespace sim
