// Whole uploads through the real serial stack (the serial adapter over a
// pseudo-terminal) to the cartridge simulator running as its own process.
//
// Paced at 38,400 baud, an upload can be no faster than its bytes take on
// the wire (3,840 bytes a second each way, one way at a time: every request
// waits for its reply); the ratio of measured to wire time shows what the
// host adds. Unpaced, uploads per second show the host's own overhead
// alone. The host's CPU time and its read/write/poll calls are this
// process's alone: the simulator runs apart.
//
//   wire_speed [--paced-only | --full-speed-only] [--repeat N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "bench/benchfiles.h"
#include "bench/campaign.h"
#include "bench/campaignchannel.h"
#include "bench/simprocess.h"
#include "bench/syscallcount.h"
#include "flash/flashxferhost.h"
#include "serial/pcserial.h"

namespace {

using bench::UploadCase;

constexpr double kLineBytesPerSecond = 38400.0 / 10.0;
constexpr uint32_t kFirmwareSize = 256 * 1024;

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Figures
{
    bool intact = true;
    uint64_t bytesOut = 0;
    uint64_t bytesBack = 0;
    uint64_t requests = 0;
    double wallSeconds = 0.0;
    double cpuSeconds = 0.0;
    bench::SyscallCounts syscalls;

    double WireSeconds() const { return (bytesOut + bytesBack) / kLineBytesPerSecond; }
};

// `repeat` uploads of the same file over one open port, as the dialog makes
// them: boot wait, upload, FinishUpload.
Figures Upload(const std::string& port, const UploadCase& upload, int repeat)
{
    Figures figures;
    CPCSerial serial;
    serial.Open(port, 38400);
    bench::ResetSyscallCounts();
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeat; ++i) {
        bench::CampaignChannel meter(serial, 0);
        CFlashXferHost host(&meter, 1);
        const bench::DialogOutcome outcome = bench::RunDialogUpload(host, meter, upload);
        figures.intact = figures.intact && outcome.result == 0 && !outcome.serialError;
        figures.bytesOut += meter.BytesWritten();
        figures.bytesBack += meter.BytesRead();
        figures.requests += meter.Requests();
    }
    figures.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpuSeconds = CpuSeconds() - cpuStart;
    figures.syscalls = bench::CountedSyscalls();
    return figures;
}

bool StartSimulator(bench::SimProcess& simulator, bool paced)
{
    std::vector<std::string> arguments = {"--quiet"};
    if (paced)
        arguments.insert(arguments.end(), {"--baud", "38400"});
    else
        arguments.push_back("--full-speed");
    std::string error;
    if (!simulator.Start(PLEMO_CARTSIM_PROGRAM, arguments, error)) {
        std::fprintf(stderr, "wire_speed: %s\n", error.c_str());
        return false;
    }
    return true;
}

void PrintSyscalls(const Figures& f)
{
    const double calls = static_cast<double>(f.requests);
    std::printf("  %llu requests; per request %.2f read() %.2f write() %.2f poll() = %.2f "
                "system calls; host turnaround %.0f us a request\n",
                static_cast<unsigned long long>(f.requests), f.syscalls.reads / calls,
                f.syscalls.writes / calls, f.syscalls.polls / calls, f.syscalls.Total() / calls,
                1e6 * f.syscalls.turnaroundSeconds / calls);
}

bool MeasurePaced(const char* what, const UploadCase& upload)
{
    bench::SimProcess simulator;
    if (!StartSimulator(simulator, true))
        return false;
    const Figures f = Upload(simulator.PortName(), upload, 1);
    std::printf("%-6s %9llu %9llu %8.2f s %8.2f s %7.4f %7.3f s %6.2f %%  %s\n", what,
                static_cast<unsigned long long>(f.bytesOut),
                static_cast<unsigned long long>(f.bytesBack), f.WireSeconds(), f.wallSeconds,
                f.wallSeconds / f.WireSeconds(), f.cpuSeconds,
                100.0 * f.cpuSeconds / f.wallSeconds, f.intact ? "ok" : "FAILED");
    PrintSyscalls(f);
    return f.intact;
}

bool MeasureFullSpeed(const char* what, const UploadCase& upload, int repeat)
{
    bench::SimProcess simulator;
    if (!StartSimulator(simulator, false))
        return false;
    const Figures f = Upload(simulator.PortName(), upload, repeat);
    std::printf("%-6s %3d uploads in %6.2f s: %6.2f uploads/s, host CPU %6.1f ms an upload "
                "(%4.1f %% of the wall time)  %s\n",
                what, repeat, f.wallSeconds, repeat / f.wallSeconds,
                1000.0 * f.cpuSeconds / repeat, 100.0 * f.cpuSeconds / f.wallSeconds,
                f.intact ? "ok" : "FAILED");
    PrintSyscalls(f);
    return f.intact;
}

} // namespace

int main(int argc, char** argv)
{
    bool paced = true;
    bool fullSpeed = true;
    int repeat = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--paced-only") == 0)
            fullSpeed = false;
        else if (std::strcmp(argv[i], "--full-speed-only") == 0)
            paced = false;
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
    }
    const UploadCase bit =
        bench::MakeBitstreamCase("wire_speed.bit", bench::kLargestBitstreamData, 21);
    const UploadCase frm = bench::MakeFirmwareCase("wire_speed.frm", kFirmwareSize, 22);

    bool ok = true;
    if (paced) {
        std::printf("paced at 38400 baud (simulator in its own process)\n");
        std::printf("%-6s %9s %9s %10s %10s %7s %9s %8s\n", "upload", "bytes out", "bytes in",
                    "wire time", "measured", "ratio", "host CPU", "of wall");
        ok = MeasurePaced(".bit", bit) && ok;
        ok = MeasurePaced(".frm", frm) && ok;
    }
    if (fullSpeed) {
        std::printf("full speed (no pacing)\n");
        ok = MeasureFullSpeed(".bit", bit, repeat) && ok;
        ok = MeasureFullSpeed(".frm", frm, repeat) && ok;
    }
    bench::RemoveCaseFile(bit);
    bench::RemoveCaseFile(frm);
    return ok ? 0 : 1;
}
