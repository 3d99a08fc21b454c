// The host's own upload code against a simulated cartridge that misbehaves
// at random with a fixed seed: damaged, lost and late bytes and replies,
// storms of "send again", a device that restarts, a cable pulled out.
//
// Every upload must end either in success with the flash holding exactly the
// expected image, or in a failure the user is told about. A success over a
// wrong image, a crash or an upload without end is a defect. The uploads run
// as the dialog runs them: one host-level attempt, a 200 ms boot wait, then
// a 1,000 ms reply time-out.
//
//   fault_campaign [--runs N] [--pty-runs N] [--seed S] [--only TEXT] [--style NAME|all]
//
// --only runs just the rows whose name contains TEXT. --style: the
// cartridge's reply style (sim/replystyle.h), one table for each; with
// "all" (the default) the in-process rows run for every style and the pty
// rows, which take real time, for the status and random styles.
//
// In process a time-out costs no real time, so the times shown there are
// line time: each byte at 38,400 baud plus every time-out waited in full.
// The pseudo-terminal rows show wall time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "bench/campaign.h"
#include "bench/campaignchannel.h"
#include "bench/campaignkinds.h"
#include "flash/flashxferhost.h"
#include "serial/pcserial.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"
#include "sim/ptyserver.h"

namespace {

using namespace bench;

// An upload over a pseudo-terminal that takes longer than this is hung.
constexpr std::chrono::seconds kPtyRunBound{300};

struct Options
{
    int runs = 200;
    int ptyRuns = 10;
    uint32_t seed = 1;
    std::string only;
    std::string style = "all";
};

// The styles the in-process rows run for, and those the pty rows run for.
struct StylePlan
{
    std::vector<std::string> inProcess;
    std::vector<std::string> pty;
};

StylePlan PlanStyles(const std::string& style)
{
    if (style == "all")
        return {sim::ReplyStyle::Names(), {"status", "random"}};
    return {{style}, {style}};
}

sim::ReplyStyle SeededStyle(const std::string& name, uint32_t seed)
{
    sim::ReplyStyle style = sim::ReplyStyle::Named(name).value_or(sim::ReplyStyle{});
    style.seed = seed;
    return style;
}

// What a fault-free run of an upload does, so faults can be placed in it.
struct CleanFigures
{
    uint64_t writes = 0;
    uint64_t bytesOut = 0;
    double seconds = 0.0;
};

struct Case
{
    UploadCase upload;
    CleanFigures clean;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const long value = std::strtol(argv[i + 1], nullptr, 0);
        if (std::strcmp(argv[i], "--runs") == 0)
            options.runs = static_cast<int>(value);
        else if (std::strcmp(argv[i], "--pty-runs") == 0)
            options.ptyRuns = static_cast<int>(value);
        else if (std::strcmp(argv[i], "--seed") == 0)
            options.seed = static_cast<uint32_t>(value);
        else if (std::strcmp(argv[i], "--only") == 0)
            options.only = argv[i + 1];
        else if (std::strcmp(argv[i], "--style") == 0)
            options.style = argv[i + 1];
    }
    return options;
}

// Bitstreams of the largest, a tiny and a middling data size; firmware of
// 256 KiB, odd sizes, and one byte.
std::vector<Case> MakeCases()
{
    std::vector<Case> cases;
    cases.push_back({MakeBitstreamCase("campaign_largest.bit", kLargestBitstreamData, 11), {}});
    cases.push_back({MakeFirmwareCase("campaign_256k.frm", 256 * 1024, 12), {}});
    cases.push_back({MakeBitstreamCase("campaign_small.bit", 100, 13), {}});
    cases.push_back({MakeFirmwareCase("campaign_odd.frm", 100001, 14), {}});
    cases.push_back({MakeBitstreamCase("campaign_middle.bit", 65537, 15), {}});
    cases.push_back({MakeFirmwareCase("campaign_one.frm", 1, 16), {}});
    return cases;
}

void Observe(CFlashXferHost& host, CampaignChannel& meter)
{
    QObject::connect(&host, &CFlashXferHost::UpdateProgressBar,
                     [&meter](int) { meter.MarkCancelPoint(); });
}

RunResult RunInProcess(const InProcessKind& kind, const Case& c, const std::string& style,
                       uint32_t seed)
{
    sim::Cartridge cartridge;
    cartridge.SetReplyStyle(SeededStyle(style, seed));
    LoadOldFlash(cartridge);
    sim::InProcessChannel channel(cartridge.Engine());
    CampaignChannel meter(channel, seed);
    CFlashXferHost host(&meter, 1);
    Observe(host, meter);
    std::mt19937 random(seed);
    UserPlan user;
    user.fallenSilent = [&cartridge] { return cartridge.FallenSilent(); };
    RunSetup setup{cartridge, channel, meter,        random,
                   c.clean.writes, c.clean.bytesOut, c.clean.seconds, user};
    kind.arm(setup);

    const DialogOutcome outcome = RunDialogUpload(host, meter, c.upload, user);
    RunResult run = Judge(outcome, cartridge.Flash().Contents(), c.upload);
    run.seconds = meter.LineSeconds();
    run.uncancellable = meter.LongestUncancellableSeconds();
    run.bytesRatio = static_cast<double>(meter.BytesWritten()) / static_cast<double>(c.clean.bytesOut);
    run.timeRatio = run.seconds / c.clean.seconds;
    return run;
}

// Fails the campaign when the host cannot even upload over a clean line.
bool MeasureClean(Case& c, const std::string& style)
{
    sim::Cartridge cartridge;
    cartridge.SetReplyStyle(SeededStyle(style, 0));
    LoadOldFlash(cartridge);
    sim::InProcessChannel channel(cartridge.Engine());
    CampaignChannel meter(channel, 0);
    CFlashXferHost host(&meter, 1);
    const DialogOutcome outcome = RunDialogUpload(host, meter, c.upload);
    c.clean = {meter.Writes(), meter.BytesWritten(), meter.LineSeconds()};
    return Judge(outcome, cartridge.Flash().Contents(), c.upload).verdict == Verdict::Succeeded;
}

RunResult RunOverPty(const PtyKind& kind, const Case& c, const std::string& style, uint32_t seed)
{
    sim::Cartridge cartridge;
    LoadOldFlash(cartridge);
    std::mt19937 random(seed);
    sim::PtyServer::Options options;
    options.baud = kind.baud;
    options.replyStyle = SeededStyle(style, seed);
    UserPlan user;
    kind.arm(options, cartridge, random, c.clean.bytesOut, user);
    sim::PtyServer server(cartridge, options);
    user.fallenSilent = [&server] {
        return server.WithCartridge([](sim::Cartridge& cart) { return cart.FallenSilent(); });
    };
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "fault_campaign: %s\n", error.c_str());
        std::exit(2);
    }
    CPCSerial serial;
    serial.Open(server.PortName(), 38400);
    CampaignChannel meter(serial, seed);
    CFlashXferHost host(&meter, 1);
    Observe(host, meter);

    const auto start = std::chrono::steady_clock::now();
    auto upload = std::async(std::launch::async,
                             [&] { return RunDialogUpload(host, meter, c.upload, user); });
    if (upload.wait_for(kPtyRunBound) == std::future_status::timeout) {
        std::fprintf(stderr, "fault_campaign: HUNG: %s, seed %u, still running after %lld s\n",
                     kind.name.c_str(), seed, static_cast<long long>(kPtyRunBound.count()));
        std::_Exit(3);
    }
    const DialogOutcome outcome = upload.get();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const std::vector<uint8_t> flash =
        server.WithCartridge([](sim::Cartridge& cart) { return cart.Flash().Contents(); });
    RunResult run = Judge(outcome, flash, c.upload);
    run.seconds = wall.count();
    run.uncancellable = meter.LongestUncancellableSeconds();
    return run;
}

void PrintHeader()
{
    std::printf("%-44s %-18s %5s %5s %6s %6s %5s %5s %5s %9s %6s %6s %9s %-7s %s\n", "fault",
                "rate", "runs", "ok", "failed", "silent", "blind", "crash", "stray", "longest",
                "bytes", "time", "no-cancel", "sums", "cancel / silence (worst)");
}

// "-" for a figure no run of the row had.
std::string Seconds(double seconds)
{
    if (seconds < 0.0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// "x1.03": the mean of `sum` over `count` runs; "-" for none.
std::string Ratio(double sum, int count)
{
    if (count == 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "x%.2f", sum / count);
    return text;
}

void PrintRow(const std::string& name, const std::string& rate, const Tally& tally,
              bool visible, const char* unit)
{
    std::string timing;
    if (tally.cancel.cancelToResult >= 0.0)
        timing += "click->result " + Seconds(tally.cancel.cancelToResult) + ", ->idle " +
                  Seconds(tally.cancel.cancelToIdle);
    if (tally.cancel.silenceToIdle >= 0.0)
        timing += std::string(timing.empty() ? "" : "; ") + "silence->idle " +
                  Seconds(tally.cancel.silenceToIdle);
    std::printf("%-44s %-18s %5d %5d %6d %6d %5d %5d %5d %7.1f %s %6s %6s %7.2f s %-7s %s\n",
                name.c_str(), rate.c_str(), tally.runs, tally.succeeded, tally.failed,
                tally.silent, tally.blind, tally.crashed, tally.stray, tally.longest, unit,
                Ratio(tally.bytesRatios, tally.measured).c_str(),
                Ratio(tally.timeRatios, tally.measured).c_str(), tally.uncancellable,
                visible ? "yes" : "not all", timing.c_str());
    std::fflush(stdout);
}

// A defect: a crash anywhere, a silent corruption of a fault the protocol
// can see, or one its sums could have seen.
bool RowIsSound(const Tally& tally, bool visible)
{
    return tally.crashed == 0 && tally.silent == tally.blind && (tally.silent == 0 || !visible);
}

} // namespace

// One style's table: false when a row shows a defect.
bool RunStyle(const Options& options, const std::string& style, bool withPty)
{
    std::vector<Case> cases = MakeCases();
    for (Case& c : cases) {
        if (!MeasureClean(c, style)) {
            std::fprintf(stderr, "fault_campaign: a fault-free upload of %s to the %s style failed\n",
                         c.upload.path.c_str(), style.c_str());
            std::exit(1);
        }
    }
    std::printf("\nreply style: %s\n", style.c_str());
    PrintHeader();
    bool sound = true;
    uint32_t rowSeed = options.seed * 1000003u;
    const auto chosen = [&options](const std::string& name) {
        return name.find(options.only) != std::string::npos;
    };
    for (const InProcessKind& kind : InProcessKinds()) {
        if (!chosen(kind.name)) {
            rowSeed += 7919u;
            continue;
        }
        Tally tally;
        for (int run = 0; run < options.runs; ++run)
            tally.Add(RunInProcess(kind, cases[run % cases.size()], style, rowSeed + run));
        PrintRow(kind.name, kind.rate, tally, kind.visibleToProtocol, "s*");
        sound = RowIsSound(tally, kind.visibleToProtocol) && sound;
        rowSeed += 7919u;
    }
    for (const PtyKind& kind : PtyKinds()) {
        // --pty-runs 0 leaves the pseudo-terminal out altogether.
        const int runs = options.ptyRuns == 0 ? 0 : std::max(options.ptyRuns, kind.leastRuns);
        if (!withPty || !chosen(kind.name) || runs == 0) {
            rowSeed += 7919u;
            continue;
        }
        Tally tally;
        for (int run = 0; run < runs; ++run)
            tally.Add(RunOverPty(kind, cases[run % cases.size()], style, rowSeed + run));
        PrintRow(kind.name, kind.rate, tally, kind.visibleToProtocol, "s ");
        sound = RowIsSound(tally, kind.visibleToProtocol) && sound;
        rowSeed += 7919u;
    }
    for (const Case& c : cases)
        RemoveCaseFile(c.upload);
    return sound;
}

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    if (options.style != "all" && !sim::ReplyStyle::Named(options.style)) {
        std::fprintf(stderr, "fault_campaign: no reply style '%s' (all, or one of:", options.style.c_str());
        for (const std::string& name : sim::ReplyStyle::Names())
            std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, ")\n");
        return 2;
    }
    const StylePlan plan = PlanStyles(options.style);
    std::printf("fault campaign, seed %u, %d runs a row in process, %d over a pty\n",
                options.seed, options.runs, options.ptyRuns);
    bool sound = true;
    for (const std::string& style : plan.inProcess) {
        const bool withPty =
            std::find(plan.pty.begin(), plan.pty.end(), style) != plan.pty.end();
        sound = RunStyle(options, style, withPty) && sound;
    }
    std::printf("s*: the simulated line's time at 38,400 baud (in process nothing waits).\n"
                "blind: silent corruptions the 16-bit sums cannot see (each damaged chunk "
                "keeps its byte sum).\n");
    std::printf(sound ? "verdict: no defect\n" : "verdict: DEFECT (see the rows above)\n");
    return sound ? 0 : 1;
}
