#include "cli/upload.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/console.h"
#include "cli/exitstatus.h"
#include "cli/fileinfo.h"
#include "cli/output.h"
#include "cli/portupload.h"
#include "cli/ports.h"
#include "cli/station.h"
#include "flash/uploadsession.h"

namespace plemoflash {

namespace {

using Kind = CUploadSession::Kind;

// The free ports among `candidates`; none said on the standard error.
std::vector<std::string> FreePorts(const std::vector<std::string>& candidates, const std::string& named)
{
    std::vector<std::string> names;
    for (const PortState& port : SurveyPorts(candidates))
        if (port.state == PortState::State::Free)
            names.push_back(port.name);
    if (names.empty())
        std::fprintf(stderr, "plemo-flash: no free serial port%s: plug the cables in, or name the ports with "
                             "--port (--list-ports shows the ports found)\n",
                     named.c_str());
    return names;
}

// Appends `name` (as the system opens it); false, said, when it is there
// already: two sessions on one port would fight over its bytes.
bool AddPort(std::vector<std::string>& names, const std::string& name)
{
    if (std::find(names.begin(), names.end(), name) != names.end()) {
        std::fprintf(stderr, "plemo-flash: the port %s is named twice\n", name.c_str());
        return false;
    }
    names.push_back(name);
    return true;
}

// The ports to upload to, as the system opens them; none when there are
// none to use, said on the standard error.
std::vector<std::string> PortsToUse(const UploadRequest& request)
{
    if (request.allPorts)
        return FreePorts(CandidatePortNames(), "");
    if (request.ports.empty()) {
        const std::optional<std::string> chosen = ChooseFreePort(stderr);
        if (!chosen)
            return {};
        if (!request.quiet)
            std::fprintf(request.json ? stderr : stdout, "port: %s (the one free serial port)\n",
                         chosen->c_str());
        return {*chosen};
    }
    std::vector<std::string> names;
    for (const std::string& given : request.ports) {
        const std::vector<std::string> named =
            IsPortPattern(given) ? FreePorts(PortsNamedBy(given), " matching " + given) : PortsNamedBy(given);
        if (named.empty())
            return {};
        for (const std::string& name : named)
            if (!AddPort(names, name))
                return {};
    }
    return names;
}

// Each port's upload on a thread of its own: a session blocks in its
// port's reads, and one port's stall must not hold another's.
void RunSideBySide(std::vector<std::unique_ptr<PortUpload>>& uploads, Kind kind)
{
    if (uploads.size() == 1) {
        uploads.front()->Run(kind);
        return;
    }
    std::vector<std::thread> threads;
    for (const std::unique_ptr<PortUpload>& upload : uploads)
        threads.emplace_back([&upload, kind] { upload->Run(kind); });
    for (std::thread& thread : threads)
        thread.join();
}

int UploadToAll(const UploadRequest& request, const std::vector<std::string>& ports, Kind kind)
{
    Output output(request.json, request.quiet, ports);
    std::vector<std::unique_ptr<PortUpload>> uploads;
    for (std::size_t row = 0; row < ports.size(); ++row)
        uploads.push_back(std::make_unique<PortUpload>(request, ports[row], row, output));
    // A Ctrl-C while the ports were looked at: nothing has begun.
    if (InterruptRequested()) {
        std::fputs("plemo-flash: cancelled before the upload began\n", stderr);
        return kCancelled;
    }
    RunSideBySide(uploads, kind);
    output.EndBoard();

    std::vector<UploadReport> reports;
    for (const std::unique_ptr<PortUpload>& upload : uploads)
        reports.push_back(upload->Report());
    if (reports.size() > 1)
        for (const std::string& line : ResultTable(reports))
            output.Say(output.Human(), line);
    return ExitStatusOf(reports);
}

} // namespace

int RunUpload(const UploadRequest& request)
{
    const Kind kind = CUploadSession::KindOf(request.path);
    const std::string problem = UploadFileProblem(request.path, kind);
    if (!problem.empty()) {
        std::fprintf(stderr, "plemo-flash: %s\n", problem.c_str());
        return kBadUsage;
    }
    if (request.station)
        return RunStation(request, kind);
    const std::vector<std::string> ports = PortsToUse(request);
    if (ports.empty())
        return kBadUsage;
    return UploadToAll(request, ports, kind);
}

} // namespace plemoflash
