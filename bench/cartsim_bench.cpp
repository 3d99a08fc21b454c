// The simulated cartridge behind a pseudo-terminal: how closely its paced
// line matches a real 38,400-baud line, and how fast it serves unpaced.
// One WriteMemory of the given size goes through the host's own serial
// adapter; the paced run should take about the line time of the bytes it
// moved (their count at 3,840 bytes a second), never less.
//   cartsim_bench [kilobytes, default 16]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flash/flashxferhost.h"
#include "serial/pcserial.h"
#include "sim/cartridge.h"
#include "sim/line.h"
#include "sim/ptyserver.h"

namespace {

bool Measure(const char* what, uint32_t baud, const std::vector<uint8_t>& data)
{
    sim::Cartridge cartridge;
    sim::PtyServer::Options options;
    options.baud = baud;
    sim::PtyServer server(cartridge, options);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "cartsim_bench: %s\n", error.c_str());
        return false;
    }
    CPCSerial serial;
    serial.Open(server.PortName(), 38400);
    CFlashXferHost host(&serial, 1);
    host.SetTimeout(1000);

    const auto start = std::chrono::steady_clock::now();
    const int result = host.WriteMemory(0, data.data(), static_cast<uint32_t>(data.size()), true);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    const sim::PtyServer::Stats stats = server.GetStats();
    const uint64_t bytes = stats.bytesFromHost + stats.bytesToHost;
    const std::chrono::duration<double> lineTime = sim::LineSpeed().WireTime(bytes);
    const bool intact =
        server.WithCartridge([&](sim::Cartridge& c) { return c.Flash().Holds(0, data); });
    std::printf("%s: result %d, flash %s, %.3f s for %llu bytes on the line "
                "(%.3f s at 38400 baud, ratio %.3f)\n",
                what, result, intact ? "intact" : "WRONG", elapsed.count(),
                static_cast<unsigned long long>(bytes), lineTime.count(),
                elapsed.count() / lineTime.count());
    return result == 0 && intact;
}

} // namespace

int main(int argc, char** argv)
{
    const unsigned long kilobytes = argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 16;
    if (kilobytes == 0 || kilobytes > 4096) {
        std::fprintf(stderr, "usage: cartsim_bench [kilobytes, 1..4096]\n");
        return 2;
    }
    std::vector<uint8_t> data(kilobytes * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));

    std::printf("WriteMemory of %lu KiB over a pseudo-terminal\n", kilobytes);
    const bool paced = Measure("paced at 38400 baud", sim::LineSpeed::kDefaultBaud, data);
    const bool unpaced = Measure("full speed", 0, data);
    return paced && unpaced ? 0 : 1;
}
