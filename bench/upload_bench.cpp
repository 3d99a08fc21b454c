// A whole ".bit" upload and a 256 KiB ".frm" upload against the simulated
// cartridge: the host's own time, the bytes each way, and how long those
// bytes take on the real line at 38,400 baud (10 bit times per byte).
// With --adapter-latency, a clean ".bit" upload on the simulated clock of a
// 38,400-baud line behind a USB adapter whose latency timer holds each short
// reply (0, 1 and 16 ms): what the timer adds to the whole upload.
//   upload_bench [buffer size]
//   upload_bench --adapter-latency
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/benchfiles.h"
#include "flash/flashxferhost.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"

namespace {

constexpr double kLineBytesPerSecond = 38400.0 / 10.0;
constexpr uint32_t kFirmwareSize = 256 * 1024;

bool Measure(const char* what, uint32_t bufferSize, const bench::UploadCase& upload)
{
    sim::Cartridge cartridge(bufferSize);
    sim::InProcessChannel channel(cartridge.Engine());
    CFlashXferHost host(&channel, 1);
    host.SetTimeout(1000);

    const auto start = std::chrono::steady_clock::now();
    const int result = upload.bitstream
                           ? host.UploadBitstream(upload.path.c_str())
                           : host.UploadFirmware(upload.address, upload.path.c_str(), true);
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;

    const auto& counters = channel.GetCounters();
    const double lineSeconds =
        static_cast<double>(counters.bytesWritten + counters.bytesRead) / kLineBytesPerSecond;
    const bool intact = cartridge.Flash().Holds(upload.address, upload.image);
    std::printf("%s: result %d, flash %s, %.1f ms in process, %llu bytes out, %llu bytes back, "
                "%.1f s of line time at 38400 baud\n",
                what, result, intact ? "intact" : "WRONG", elapsed.count(),
                static_cast<unsigned long long>(counters.bytesWritten),
                static_cast<unsigned long long>(counters.bytesRead), lineSeconds);
    return result == 0 && intact;
}

// The upload's time on the line's own clock behind an adapter with `timer`.
bool MeasureOnTheLine(std::chrono::milliseconds timer, const bench::UploadCase& upload,
                      double& seconds)
{
    sim::Cartridge cartridge;
    sim::InProcessChannel channel(cartridge.Engine());
    channel.SetAdapterLatency(timer);
    CFlashXferHost host(&channel, 1);
    host.SetTimeout(1000);
    const int result = host.UploadBitstream(upload.path.c_str());
    seconds = std::chrono::duration<double>(channel.Now()).count();
    const bool intact = cartridge.Flash().Holds(upload.address, upload.image);
    std::printf("adapter latency %2d ms: result %d, flash %s, %zu calls, %.3f s",
                static_cast<int>(timer.count()), result, intact ? "intact" : "WRONG",
                cartridge.Calls().size(), seconds);
    return result == 0 && intact;
}

int AdapterLatencies()
{
    const bench::UploadCase bit = bench::MakeBitstreamCase(
        "plemo_upload_bench.bit", bench::kLargestBitstreamData, 1);
    std::printf(".bit (128 KiB image) at 38400 baud, on the line's clock\n");
    bool ok = true;
    double unheld = 0.0;
    for (const int timerMs : {0, 1, 16}) {
        double seconds = 0.0;
        ok = MeasureOnTheLine(std::chrono::milliseconds(timerMs), bit, seconds) && ok;
        if (timerMs == 0)
            unheld = seconds;
        std::printf(", %+.3f s against no adapter\n", seconds - unheld);
    }
    bench::RemoveCaseFile(bit);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--adapter-latency") == 0)
        return AdapterLatencies();
    const uint32_t bufferSize =
        argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0)) : 4096;
    const bench::UploadCase bit = bench::MakeBitstreamCase(
        "plemo_upload_bench.bit", bench::kLargestBitstreamData, 1);
    const bench::UploadCase frm =
        bench::MakeFirmwareCase("plemo_upload_bench.frm", kFirmwareSize, 2);

    std::printf("device buffer %u bytes\n", bufferSize);
    const bool bitOk = Measure(".bit (128 KiB image)", bufferSize, bit);
    const bool frmOk = Measure(".frm (256 KiB)", bufferSize, frm);
    bench::RemoveCaseFile(bit);
    bench::RemoveCaseFile(frm);
    return bitOk && frmOk ? 0 : 1;
}
