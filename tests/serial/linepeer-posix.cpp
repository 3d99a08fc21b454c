#include "tests/serial/linepeer.h"

#include <cerrno>
#include <stdexcept>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::chrono::seconds kArrivalLimit{5};

void MakeRaw(int descriptor)
{
    termios settings{};
    if (tcgetattr(descriptor, &settings) != 0)
        throw std::runtime_error("tcgetattr on a new pty failed");
    cfmakeraw(&settings);
    if (tcsetattr(descriptor, TCSANOW, &settings) != 0)
        throw std::runtime_error("tcsetattr on a new pty failed");
}

} // namespace

Bytes BytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

LinePeer::LinePeer()
{
    char path[128];
    if (openpty(&peerSide, &portSide, path, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    MakeRaw(portSide);
    portName = path;
}

LinePeer::~LinePeer()
{
    if (peerSide >= 0)
        close(peerSide);
    close(portSide);
}

void LinePeer::Send(const Bytes& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = write(peerSide, bytes.data() + sent, bytes.size() - sent);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw std::runtime_error("peer write failed");
        sent += static_cast<std::size_t>(count);
    }
}

Bytes LinePeer::Receive(std::size_t count, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    Bytes received;
    while (received.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd readable{peerSide, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            break;
        uint8_t piece[4096];
        const ssize_t got = read(peerSide, piece, std::min(sizeof piece, count - received.size()));
        if (got <= 0)
            break;
        received.insert(received.end(), piece, piece + got);
    }
    return received;
}

void LinePeer::WaitUntilArrived(std::size_t count)
{
    const auto end = std::chrono::steady_clock::now() + kArrivalLimit;
    int waiting = 0;
    while (ioctl(portSide, FIONREAD, &waiting) == 0 && static_cast<std::size_t>(waiting) < count &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LinePeer::HangUp()
{
    close(peerSide);
    peerSide = -1;
}

std::string LinePeer::MissingPortName()
{
    return "/dev/ttyUSB-plemo-test-absent";
}
