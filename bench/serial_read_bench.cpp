// How the serial stream's ring buffer pays off: 64 KiB from a pseudo-terminal
// read one byte per call (as the RPC link reads sync words and checksums)
// and in 2,048-byte calls, with the system calls each way costs.
//   serial_read_bench
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "serial/serialstream.h"

namespace {

constexpr int kTotalBytes = 64 * 1024;
constexpr int kTimeoutMs = 1000;

struct Line
{
    int device = -1; // master: plays the cartridge
    int port = -1;   // slave, kept open so the line outlives the stream's closes
    std::string name;

    Line()
    {
        char path[128];
        if (openpty(&device, &port, path, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        termios raw{};
        tcgetattr(port, &raw);
        cfmakeraw(&raw);
        tcsetattr(port, TCSANOW, &raw);
        name = path;
    }
    ~Line()
    {
        close(device);
        close(port);
    }
};

void Measure(const char* label, int32_t bytesPerCall)
{
    Line line;
    CSerialStream stream;
    stream.Open(line.name);
    std::thread device([&] {
        const std::vector<uint8_t> block(1024, 0x5A);
        for (int sent = 0; sent < kTotalBytes; sent += static_cast<int>(block.size()))
            if (write(line.device, block.data(), block.size()) < 0)
                return;
    });

    std::vector<uint8_t> area(bytesPerCall);
    int received = 0;
    int64_t calls = 0;
    const auto start = std::chrono::steady_clock::now();
    while (received < kTotalBytes) {
        const int32_t got = stream.Read(area.data(), bytesPerCall, kTimeoutMs);
        if (got == 0)
            break;
        received += got;
        ++calls;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    device.join();

    std::printf("%-22s %6d bytes  %6lld Read calls  %6lld PortRead calls  %7.3f calls/byte"
                "  %7.1f ns/byte\n",
                label, received, static_cast<long long>(calls),
                static_cast<long long>(stream.PortCalls().reads),
                static_cast<double>(stream.PortCalls().reads) / received,
                seconds * 1e9 / received);
}

} // namespace

int main()
{
    Measure("one byte per Read", 1);
    Measure("2048 bytes per Read", 2048);
    return 0;
}
