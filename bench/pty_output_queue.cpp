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
#include <thread>
#include <vector>

#include <sys/ioctl.h>
#include <termios.h>

#include "serial/serialstream.h"
#include "tests/serial/linepeer.h"

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
    LinePeer line;
    CSerialStream stream;
    stream.SetSpeed(kBaud);
    stream.Open(line.PortName());
    // The stream's own descriptor is private; the line's port side is the
    // same terminal and sees the same output queue.
    const int look = line.PortSideDescriptor();
    const int device = line.PeerSideDescriptor();

    std::thread reader;
    if (farEndReads)
        reader = std::thread([&line] { line.Receive(kRequest, std::chrono::milliseconds(2000)); });

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
}

} // namespace

int main()
{
    Measure("far end not reading:", false);
    Measure("far end reads at once:", true);
    return 0;
}
