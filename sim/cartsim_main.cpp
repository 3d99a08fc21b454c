// plemo-cartsim: a simulated cartridge on a pseudo-terminal.
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/cartridge.h"
#include "sim/cartsimoptions.h"
#include "sim/ptyserver.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t dumpRequested = 0;

// How often the main loop looks at signals when nothing is printed.
constexpr std::chrono::milliseconds kSignalCheck{50};

extern "C" void OnStopSignal(int)
{
    stopRequested = 1;
}

extern "C" void OnDumpSignal(int)
{
    dumpRequested = 1;
}

void InstallSignalHandlers()
{
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    action.sa_handler = OnDumpSignal;
    sigaction(SIGUSR1, &action, nullptr);
}

// Lines from the server thread, printed by the main thread so that a slow
// terminal never holds up the line.
class Printout
{
public:
    void Add(std::string text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(std::move(text));
        ready.notify_one();
    }

    void PrintPending(std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait_for(lock, wait, [this] { return !pending.empty(); });
        std::deque<std::string> taken;
        taken.swap(pending);
        lock.unlock();
        for (const std::string& text : taken)
            std::fputs(text.c_str(), stdout);
        if (!taken.empty())
            std::fflush(stdout);
    }

private:
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> pending;
};

bool ReadImage(const std::string& path, std::vector<uint8_t>& image)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteImage(const std::string& path, const std::vector<uint8_t>& image)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out.flush());
}

void DumpFlash(sim::PtyServer& server, const std::string& path)
{
    const std::vector<uint8_t> image =
        server.WithCartridge([](sim::Cartridge& cartridge) { return cartridge.Flash().Contents(); });
    if (WriteImage(path, image))
        std::printf("plemo-cartsim: flash written to %s\n", path.c_str());
    else
        std::fprintf(stderr, "plemo-cartsim: could not write the flash to %s\n", path.c_str());
    std::fflush(stdout);
}

// One line of name=count pairs, for a person and for a script alike.
void PrintFaults(sim::PtyServer& server)
{
    const sim::FaultCounts counts =
        server.WithCartridge([](sim::Cartridge& cartridge) { return cartridge.Engine().Stats().faults; });
    std::printf("plemo-cartsim: faults: damaged-data=%llu damaged-header=%llu late=%llu "
                "ask-again=%llu noise=%llu noise-bytes=%llu dropped=%llu\n",
                static_cast<unsigned long long>(counts.damagedDataSums),
                static_cast<unsigned long long>(counts.damagedHeaderSums),
                static_cast<unsigned long long>(counts.lateReplies),
                static_cast<unsigned long long>(counts.askedAgain),
                static_cast<unsigned long long>(counts.noiseBursts),
                static_cast<unsigned long long>(counts.noiseBytes),
                static_cast<unsigned long long>(counts.droppedReplies));
    std::fflush(stdout);
}

// A line when a planned restart switches the cartridge off and when it is
// back (it notices the time once the host sends again).
void ReportPower(sim::PtyServer& server, bool& switchedOff)
{
    const bool off = server.WithCartridge([](sim::Cartridge& c) { return c.SwitchedOff(); });
    if (off == switchedOff)
        return;
    switchedOff = off;
    std::puts(off ? "plemo-cartsim: switched off (restart)"
                  : "plemo-cartsim: switched on again: buffer empty, silent until a handshake");
    std::fflush(stdout);
}

// Places the symlink, replacing an old symlink but never a real file.
bool PlaceLink(const std::string& linkPath, const std::string& target)
{
    char existing[4096];
    if (readlink(linkPath.c_str(), existing, sizeof existing) >= 0)
        unlink(linkPath.c_str());
    if (symlink(target.c_str(), linkPath.c_str()) != 0) {
        std::perror(("plemo-cartsim: cannot create " + linkPath).c_str());
        return false;
    }
    return true;
}

// Removes the symlink only if it is still ours.
void RemoveLink(const std::string& linkPath, const std::string& target)
{
    char existing[4096];
    const ssize_t length = readlink(linkPath.c_str(), existing, sizeof existing - 1);
    if (length >= 0 && std::string(existing, static_cast<size_t>(length)) == target)
        unlink(linkPath.c_str());
}

void WatchCalls(sim::Cartridge& cartridge, Printout& printout, const sim::CartsimOptions& options)
{
    cartridge.SetCallObserver([&printout, options](const sim::ProcedureCall& call) {
        if (options.verbose)
            printout.Add("call: " + call.Describe() + "\n");
        if (!options.quiet && call.procedure == sim::Procedure::kPrintText && !call.ignored)
            printout.Add(std::string(call.bytes.begin(), call.bytes.end()));
    });
}

void ConfigureBoot(sim::Cartridge& cartridge, const sim::CartsimOptions& options)
{
    if (options.bootDelayGiven && options.bootAfterHandshakes == 0)
        cartridge.BootAfterHandshakes(std::numeric_limits<uint32_t>::max());
    else
        cartridge.BootAfterHandshakes(options.bootAfterHandshakes);
}

// The cartridge as the options describe it: false when its flash image
// cannot be loaded.
bool SetUp(sim::Cartridge& cartridge, const sim::CartsimOptions& options)
{
    if (!options.loadPath.empty()) {
        std::vector<uint8_t> image;
        if (!ReadImage(options.loadPath, image) || !cartridge.Flash().Load(image)) {
            std::fprintf(stderr, "plemo-cartsim: cannot load %s (missing, unreadable or over 4 MiB)\n",
                         options.loadPath.c_str());
            return false;
        }
    }
    ConfigureBoot(cartridge, options);
    if (options.fallSilentAt >= 0)
        cartridge.FallSilentAt(static_cast<uint8_t>(options.fallSilentAt));
    if (options.restartProcedure >= 0)
        cartridge.RestartAt(static_cast<uint8_t>(options.restartProcedure), options.restartCall,
                            std::chrono::milliseconds(options.offForMs));
    cartridge.SetReplyStyle(options.replyStyle);
    if (options.silentOnDamage)
        cartridge.Engine().SetDamagedRequests(sim::DeviceEngine::DamagedRequests::Ignore);
    return true;
}

// Until a signal asks the simulator to stop: the boot delay, the power
// reports and the flash dumps asked for with SIGUSR1.
void ServeUntilStopped(sim::PtyServer& server, Printout& printout,
                       const sim::CartsimOptions& options)
{
    const auto start = std::chrono::steady_clock::now();
    const auto bootDelay = std::chrono::duration<double>(options.bootDelaySeconds);
    bool bootPending = options.bootDelayGiven;
    bool switchedOff = false;
    while (!stopRequested) {
        printout.PrintPending(kSignalCheck);
        if (bootPending && std::chrono::steady_clock::now() - start >= bootDelay) {
            bootPending = false;
            server.WithCartridge([](sim::Cartridge& c) { c.Boot(); });
        }
        if (options.restartProcedure >= 0)
            ReportPower(server, switchedOff);
        if (dumpRequested && !options.dumpPath.empty()) {
            dumpRequested = 0;
            DumpFlash(server, options.dumpPath);
        }
    }
}

int Serve(const sim::CartsimOptions& options)
{
    sim::Cartridge cartridge(options.bufferSize);
    if (!SetUp(cartridge, options))
        return 1;
    sim::RandomFaults faults(options.faults);
    if (options.faults.Total() > 0.0)
        cartridge.Engine().SetFaultSource([&faults] { return faults.Next(); });
    Printout printout;
    WatchCalls(cartridge, printout, options);

    sim::PtyServer::Options serverOptions;
    serverOptions.baud = options.baud;
    serverOptions.adapterLatency = std::chrono::milliseconds(options.adapterLatencyMs);
    serverOptions.ttyPath = options.ttyPath;
    sim::PtyServer server(cartridge, serverOptions);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "plemo-cartsim: %s\n", error.c_str());
        return 1;
    }
    const std::string port = server.PortName();
    if (!options.linkPath.empty() && !PlaceLink(options.linkPath, port))
        return 1;
    std::printf("plemo-cartsim: serial port %s%s%s\n", port.c_str(),
                options.linkPath.empty() ? "" : " linked as ", options.linkPath.c_str());
    std::fflush(stdout);

    ServeUntilStopped(server, printout, options);
    server.Stop();
    printout.PrintPending(std::chrono::milliseconds(0));
    if (!options.linkPath.empty())
        RemoveLink(options.linkPath, port);
    if (!options.dumpPath.empty())
        DumpFlash(server, options.dumpPath);
    if (options.faultsGiven)
        PrintFaults(server);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    sim::CartsimOptions options;
    std::string error;
    if (!sim::ParseCartsimOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "plemo-cartsim: %s\n\n%s", error.c_str(), sim::CartsimUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::CartsimUsage(), stdout);
        return 0;
    }
    InstallSignalHandlers();
    return Serve(options);
}
