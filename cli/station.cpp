#include "cli/station.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/console.h"
#include "cli/output.h"
#include "cli/portupload.h"
#include "cli/ports.h"
#include "cli/records.h"
#include "cli/report.h"
#include "serial/portwatch.h"

namespace plemoflash {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a Ctrl-C waits for the station to see it.
constexpr std::chrono::milliseconds kInterruptLook{100};

// What the station made of a port it met, until the port goes away or is
// made anew (PortNode).
enum class Met
{
    Uploading,
    Uploaded,
    Skipped, // held by another program, or no serial port: said once
};

struct Known
{
    Met met = Met::Uploading;
    std::string node;
};

// One upload under way, on its own thread.
struct Running
{
    std::unique_ptr<PortUpload> upload;
    std::atomic<bool> ended{false};
    std::thread thread;
};

class Station
{
public:
    Station(const UploadRequest& request, CUploadSession::Kind kind)
        : request(request), kind(kind), output(request.json, request.quiet, {})
    {
    }
    int Run();

private:
    void Look();
    void ForgetGone();
    void Meet(const PortState& port, const std::string& node);
    void Start(const std::string& port, const std::string& node);
    void Reap(bool waitForAll);
    std::vector<std::string> Candidates() const;

    const UploadRequest& request;
    const CUploadSession::Kind kind;
    Output output;
    PortWatch watch;
    std::map<std::string, Known> known;
    std::list<Running> running; // stable: each thread holds its own entry
    std::vector<UploadReport> reports;
};

int Station::Run()
{
    if (!request.quiet)
        output.Say(output.Human(), std::string("station: waiting for cartridges; ports are looked for every second") +
                                       (watch.Told() ? " and as the system tells of them" : "") + " (Ctrl-C ends)");
    Clock::time_point nextLook = Clock::now();
    while (!InterruptRequested()) {
        if (Clock::now() >= nextLook) {
            Look();
            nextLook = Clock::now() + kStationRescan;
        }
        const auto untilLook = std::chrono::duration_cast<std::chrono::milliseconds>(nextLook - Clock::now());
        if (watch.Wait(std::clamp(untilLook, std::chrono::milliseconds(0), kInterruptLook)))
            nextLook = Clock::now();
        Reap(false);
    }
    // Each upload's own front end has seen the Ctrl-C and cancels.
    Reap(true);
    const auto succeeded = std::count_if(reports.begin(), reports.end(), [](const UploadReport& report) {
        return report.result.outcome == CUploadSession::Outcome::Succeeded;
    });
    output.Say(output.Human(), "station: " + std::to_string(reports.size()) +
                                   (reports.size() == 1 ? " upload, " : " uploads, ") +
                                   std::to_string(succeeded) + " succeeded");
    return ExitStatusOf(reports);
}

std::vector<std::string> Station::Candidates() const
{
    if (request.ports.empty())
        return CandidatePortNames();
    std::vector<std::string> names;
    for (const std::string& given : request.ports) {
        const std::vector<std::string> named = PortsNamedBy(given);
        names.insert(names.end(), named.begin(), named.end());
    }
    return names;
}

// Ports that went or were made anew are forgotten, and every candidate not
// known is tried: an upload under way is never opened by the survey.
void Station::Look()
{
    ForgetGone();
    std::vector<std::string> fresh;           // in candidate order
    std::map<std::string, std::string> nodes; // of the fresh ones
    for (const std::string& name : Candidates())
        if (known.count(name) == 0)
            if (const std::optional<std::string> node = PortNode(name); node && nodes.emplace(name, *node).second)
                fresh.push_back(name);
    if (fresh.empty())
        return;
    for (const PortState& port : SurveyPorts(fresh))
        Meet(port, nodes.at(port.name));
}

void Station::ForgetGone()
{
    for (auto entry = known.begin(); entry != known.end();) {
        const std::optional<std::string> node = PortNode(entry->first);
        const bool gone = !node || *node != entry->second.node;
        if (gone && entry->second.met != Met::Uploading)
            entry = known.erase(entry);
        else
            ++entry;
    }
}

void Station::Meet(const PortState& port, const std::string& node)
{
    if (port.state == PortState::State::Free) {
        Start(port.name, node);
        return;
    }
    known[port.name] = Known{Met::Skipped, node};
    const std::string why = DescribeState(port);
    output.Say(stderr, "plemo-flash: " + port.name + ": " + why + ": skipped until it is plugged in again");
    if (output.Json())
        output.Record(SkippedRecord(port.name, why));
}

void Station::Start(const std::string& port, const std::string& node)
{
    known[port] = Known{Met::Uploading, node};
    Running& upload = running.emplace_back();
    upload.upload = std::make_unique<PortUpload>(request, port, 0, output);
    upload.thread = std::thread([&upload, kind = kind] {
        upload.upload->Run(kind);
        upload.ended = true;
    });
}

void Station::Reap(bool waitForAll)
{
    for (auto upload = running.begin(); upload != running.end();) {
        if (!waitForAll && !upload->ended) {
            ++upload;
            continue;
        }
        upload->thread.join();
        const UploadReport& report = upload->upload->Report();
        reports.push_back(report);
        known[report.port].met = Met::Uploaded;
        upload = running.erase(upload);
    }
}

} // namespace

int RunStation(const UploadRequest& request, CUploadSession::Kind kind)
{
    Station station(request, kind);
    return station.Run();
}

} // namespace plemoflash
