// plemo-flash serving several cartridges at once: each a plemo-cartsim on a
// pseudo-terminal of its own, paced as a real cable (38,400 baud), the run
// read through plemo-flash's --json records and every flash checked byte
// for byte against the image worked out from the file.
//
//   side-by-side  one run with N --port: its wall time against one upload
//                 alone, the host's CPU time an upload (wait4's rusage of
//                 the plemo-flash process) and its peak memory (VmHWM)
//   unplug        four cartridges, the last killed (SIGKILL) after 32 of
//                 its 64 LoadBuffer calls: the other three against a run
//                 where none is pulled
//   station       plemo-flash --station, four cartridges plugged in one
//                 after another: from a port's appearing to its result,
//                 against its upload's own time and the 1 s rescan
//
//   flash_ports [side-by-side [N...]] [unplug] [station] [--gap S] [--repeat R]
// Without a mode: side-by-side 1 4 16, then unplug.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QJsonObject>
#include <QString>

#include "bench/flashrun.h"

namespace {

using namespace std::chrono_literals;
using namespace bench::flashrun;
using bench::UploadCase;

// An XC3S50's configuration data, as the vm stage's cart_top.bit; the
// upload is the whole 128 KiB image whatever the length.
constexpr uint32_t kDataLength = 54664;
constexpr int kLoadBuffers = 64; // the image in 2 KiB chunks
constexpr int kStationPorts = 4;
constexpr double kRescanSeconds = 1.0;

// --- N ports side by side ----------------------------------------------------

Run SideBySide(int count, const UploadCase& upload)
{
    Folder folder;
    Rig rig = PlugInAll(folder, count);
    return FlashAll(rig, folder, upload);
}

void PrintSideBySideHeader()
{
    std::printf("%5s %9s %7s %17s %11s %11s %8s %10s %9s %5s\n", "ports", "run wall", "vs one",
                "port seconds", "host CPU", "peak RSS", "success", "byte-exact", "sim CPU", "load");
    std::printf("%5s %9s %7s %17s %11s %11s %8s %10s %9s %5s\n", "", "", "", "(min-max)",
                "an upload", "", "", "", "a cart", "");
}

void PrintSideBySide(const Run& run, double oneUpload, double load)
{
    const std::size_t count = run.ports.size();
    double low = 1e9, high = 0.0, simulator = 0.0;
    int succeeded = 0, intact = 0;
    for (const PortFigures& port : run.ports) {
        low = std::min(low, port.Seconds());
        high = std::max(high, port.Seconds());
        simulator += port.simulatorCpu;
        succeeded += port.Succeeded();
        intact += port.intact;
    }
    std::printf("%5zu %7.2f s %7.4f %7.2f-%-7.2f s %7.1f ms %7ld KiB %4d/%-3zu %6d/%-3zu %6.2f s %5.2f%s\n",
                count, run.seconds, run.seconds / oneUpload, low, high,
                1000.0 * CpuSeconds(run.usage) / count, run.peakKiB, succeeded, count, intact,
                count, simulator / count, load, run.status == 0 ? "" : "  (exit status not 0)");
}

bool MeasureSideBySide(const std::vector<int>& counts, const UploadCase& upload)
{
    std::printf("side by side: one plemo-flash run, N cartridges at 38,400 baud\n");
    PrintSideBySideHeader();
    double oneUpload = 0.0;
    bool ok = true;
    for (int count : counts) {
        const double load = LoadAverage();
        const Run run = SideBySide(count, upload);
        if (oneUpload == 0.0)
            oneUpload = run.seconds;
        PrintSideBySide(run, oneUpload, load);
        for (const PortFigures& port : run.ports)
            ok = ok && port.Succeeded() && port.intact;
    }
    return ok;
}

// --- A cartridge pulled mid-upload -------------------------------------------

// Kills `pulled` halfway through its chunks; the seconds from then to its
// result.
double Pull(Cartridge& pulled, Program& flash)
{
    const auto limit = Clock::now() + 60s;
    while (pulled.process.Count("call: LoadBuffer(") < kLoadBuffers / 2 && Clock::now() < limit)
        std::this_thread::sleep_for(5ms);
    pulled.process.Signal(SIGKILL);
    const auto killed = Clock::now();
    RecordTail tail(flash);
    for (; Since(killed) < 30.0 && flash.Wait(0ms) < 0; std::this_thread::sleep_for(5ms))
        for (const QJsonObject& record : tail.Poll())
            if (IsResult(record) && PortOf(record) == pulled.port)
                return Since(killed);
    return -1.0;
}

Run FourPorts(const UploadCase& upload, bool pull)
{
    Folder folder;
    Rig rig = PlugInAll(folder, 4);
    if (!pull)
        return FlashAll(rig, folder, upload);
    return FlashAll(rig, folder, upload,
                    [&rig](Program& flash, Run& run) { run.pullToResult = Pull(*rig.back(), flash); });
}

std::string Described(const PortFigures& port)
{
    char text[160];
    const QJsonObject& r = port.result;
    std::snprintf(text, sizeof text, "%-7s %-14s %7.2f s %7lld B %-3s",
                  r["outcome"].toString("none").toUtf8().constData(),
                  r["failure"]["what"].toString().toUtf8().constData(), port.Seconds(),
                  static_cast<long long>(r["bytesConfirmed"].toInteger(-1)), port.intact ? "yes" : "no");
    return text;
}

bool MeasureUnplug(const UploadCase& upload)
{
    const double load = LoadAverage();
    const Run none = FourPorts(upload, false);
    const Run one = FourPorts(upload, true);
    std::printf("unplug: four cartridges, cart4 killed (SIGKILL) after %d of its %d LoadBuffer calls "
                "(load %.2f)\n", kLoadBuffers / 2, kLoadBuffers, load);
    std::printf("%-6s %-47s %s\n", "port", "none pulled: outcome, seconds, confirmed, exact",
                "cart4 pulled");
    bool ok = true;
    for (std::size_t i = 0; i < none.ports.size() && i < one.ports.size(); ++i) {
        const PortFigures& pulledPort = one.ports[i];
        std::printf("%-6s %-47s %s\n", Base(pulledPort.port).c_str(), Described(none.ports[i]).c_str(),
                    Described(pulledPort).c_str());
        const bool isPulled = i + 1 == one.ports.size();
        ok = ok && none.ports[i].intact && (isPulled ? !pulledPort.Succeeded() : pulledPort.intact);
    }
    std::printf("run    %7.2f s, exit status %d, host CPU %.3f s   %7.2f s, exit status %d, host CPU "
                "%.3f s; the pulled port's result %.3f s after the kill\n",
                none.seconds, none.status, CpuSeconds(none.usage), one.seconds, one.status,
                CpuSeconds(one.usage), one.pullToResult);
    return ok;
}

// --- The station -------------------------------------------------------------

struct Plugged
{
    std::unique_ptr<Cartridge> cartridge;
    double appeared = 0.0; // since the station started
    double result = -1.0;
    QJsonObject record;
    int results = 0;
};

void Note(std::vector<Plugged>& plugged, const QJsonObject& record, double at)
{
    if (!IsResult(record))
        return;
    for (Plugged& p : plugged)
        if (p.cartridge && PortOf(record) == p.cartridge->port && p.results++ == 0) {
            p.result = at;
            p.record = record;
        }
}

bool AllHaveResults(const std::vector<Plugged>& plugged)
{
    return std::all_of(plugged.begin(), plugged.end(), [](const Plugged& p) { return p.results > 0; });
}

// Notes every result that comes until `until` (seconds since `start`), or
// until each plugged cartridge has one when `untilAll`, or until the
// station ends.
void Watch(RecordTail& tail, Program& station, std::vector<Plugged>& plugged,
           Clock::time_point start, double until, bool untilAll)
{
    while (Since(start) < until && !(untilAll && AllHaveResults(plugged)) && station.Wait(0ms) < 0) {
        for (const QJsonObject& record : tail.Poll())
            Note(plugged, record, Since(start));
        std::this_thread::sleep_for(5ms);
    }
}

void PrintStation(std::vector<Plugged>& plugged, const UploadCase& upload)
{
    std::printf("%-6s %9s %10s %16s %12s %-8s %7s %s\n", "port", "plugged", "to result",
                "upload (wait)", "over upload", "outcome", "results", "byte-exact");
    for (Plugged& p : plugged) {
        const double own = p.record["seconds"].toDouble(-1.0);
        const double toResult = p.result - p.appeared;
        std::printf("%-6s %7.2f s %8.2f s %7.2f (%4.2f) s %10.2f s %-8s %7d %s\n",
                    Base(p.cartridge->port).c_str(), p.appeared, toResult, own,
                    p.record["waitSeconds"].toDouble(-1.0), toResult - own,
                    p.record["outcome"].toString("none").toUtf8().constData(), p.results,
                    Intact(*p.cartridge, upload) ? "yes" : "no");
    }
}

bool MeasureStation(const UploadCase& upload, double gap)
{
    Folder folder;
    std::string candidates;
    for (int number = 1; number <= kStationPorts; ++number)
        candidates += (number > 1 ? ":" : "") + folder.Path("cart" + std::to_string(number));
    std::printf("station: %d cartridges plugged in %.2f s apart, rescan %.0f s (load %.2f)\n",
                kStationPorts, gap, kRescanSeconds, LoadAverage());
    const auto start = Clock::now();
    Program station(folder, {PLEMO_FLASH_PATH, "--station", "--json", "--quiet", upload.path},
                    {"PLEMO_CANDIDATE_PORTS=" + candidates});
    RecordTail tail(station);
    std::vector<Plugged> plugged(kStationPorts);
    for (int i = 0; i < kStationPorts; ++i) {
        Watch(tail, station, plugged, start, gap * (i + 1), false);
        plugged[i].cartridge = PlugIn(folder, i + 1);
        plugged[i].appeared = Since(start);
    }
    Watch(tail, station, plugged, start, gap * kStationPorts + 180.0, true);
    const bool ranOn = station.Wait(0ms) < 0;
    station.Signal(SIGINT);
    const int status = station.Wait(30s);
    if (!ranOn) {
        std::printf("station: plemo-flash ended by itself, exit status %d: %s", status, station.Err().c_str());
        return false;
    }
    PrintStation(plugged, upload);
    std::printf("station: exit status %d after SIGINT, host CPU %.3f s\n", status,
                CpuSeconds(station.Usage()));
    return status == 0 && std::all_of(plugged.begin(), plugged.end(), [](const Plugged& p) {
               return p.results == 1 && p.record["outcome"].toString() == "success";
           });
}

// --- The command line --------------------------------------------------------

struct Options
{
    std::vector<int> counts;
    bool sideBySide = false;
    bool unplug = false;
    bool station = false;
    // Not whole seconds: the cartridges come at four phases of the station's
    // one-second look at the candidates.
    double gap = 10.25;
    int repeat = 1;
};

Options Parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "side-by-side")
            options.sideBySide = true;
        else if (word == "unplug")
            options.unplug = true;
        else if (word == "station")
            options.station = true;
        else if (word == "--gap" && i + 1 < argc)
            options.gap = std::max(1.0, std::atof(argv[++i]));
        else if (word == "--repeat" && i + 1 < argc)
            options.repeat = std::max(1, std::atoi(argv[++i]));
        else if (std::atoi(word.c_str()) > 0)
            options.counts.push_back(std::atoi(word.c_str()));
    }
    if (!options.sideBySide && !options.unplug && !options.station)
        options.sideBySide = options.unplug = true;
    if (options.counts.empty())
        options.counts = {1, 4, 16};
    if (options.counts.front() != 1) // the run every other is held against
        options.counts.insert(options.counts.begin(), 1);
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each row as it is measured, also into a file
    const Options options = Parse(argc, argv);
    const UploadCase upload = bench::MakeBitstreamCase("flash_ports.bit", kDataLength, 31);
    bool ok = true;
    for (int round = 0; round < options.repeat; ++round) {
        if (options.sideBySide)
            ok = MeasureSideBySide(options.counts, upload) && ok;
        if (options.unplug)
            ok = MeasureUnplug(upload) && ok;
        if (options.station)
            ok = MeasureStation(upload, options.gap) && ok;
    }
    bench::RemoveCaseFile(upload);
    return ok ? 0 : 1;
}
