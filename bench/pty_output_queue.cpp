// What a pseudo-terminal tells of bytes still on their way to the device: a
// 2,065-byte request (one LoadBuffer chunk in its frame) written through the
// serial stream at 38,400 baud, with the far end not reading at all and
// reading everything at once (as the simulated cartridge does, pacing the
// bytes itself). For each: how long write() took, the output queue the port
// reports (TIOCOUTQ), how long tcdrain() waited, what the far end had, and
// when the stream says the bytes have left.
//   pty_output_queue
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial/serialstream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kRequest = 2065;
constexpr int32_t kBaud = 38400;

double Milliseconds(Clock::duration span)
{
    return std::chrono::duration<double, std::milli>(span).count();
}

void Measure(const char* label, bool farEndReads)
{
    int device = -1;
    int port = -1;
    char path[128];
    if (openpty(&device, &port, path, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    termios raw{};
    tcgetattr(port, &raw);
    cfmakeraw(&raw);
    tcsetattr(port, TCSANOW, &raw);

    CSerialStream stream;
    stream.SetSpeed(kBaud);
    stream.Open(path);
    // The stream's own descriptor is private; a second one on the same
    // terminal sees the same output queue.
    const int look = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);

    std::thread reader;
    if (farEndReads)
        reader = std::thread([device] {
            std::vector<uint8_t> taken(kRequest);
            for (int got = 0; got < kRequest;) {
                const ssize_t count = read(device, taken.data() + got, taken.size() - got);
                if (count <= 0)
                    return;
                got += static_cast<int>(count);
            }
        });

    const std::vector<uint8_t> request(kRequest, 0x5A);
    const auto began = Clock::now();
    stream.Write(request.data(), kRequest);
    const auto returned = Clock::now();
    const auto doneAt = stream.OutputDoneAt();
    if (reader.joinable())
        reader.join();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the bytes reach the far end
    int outputQueue = -1;
    int farEndHas = -1;
    ioctl(look, TIOCOUTQ, &outputQueue);
    ioctl(device, FIONREAD, &farEndHas);
    const auto drainBegan = Clock::now();
    const int drained = tcdrain(look);
    const auto drainEnded = Clock::now();

    std::printf("%-22s write() %7.3f ms | TIOCOUTQ %5d | far end holds %5d unread | "
                "tcdrain() %s in %6.3f ms | stream: done %7.2f ms after write() returned "
                "(line time %.2f ms)\n",
                label, Milliseconds(returned - began), outputQueue, farEndHas,
                drained == 0 ? "ok" : "failed", Milliseconds(drainEnded - drainBegan),
                Milliseconds(doneAt - returned),
                Milliseconds(stream.TransferTime(static_cast<uint32_t>(kRequest))));
    close(look);
    stream.Close();
    close(device);
    close(port);
}

} // namespace

int main()
{
    Measure("far end not reading:", false);
    Measure("far end reads at once:", true);
    return 0;
}
