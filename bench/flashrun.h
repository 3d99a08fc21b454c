#pragma once
// plemo-flash runs against a rig of simulated cartridges, each a
// plemo-cartsim paced at 38,400 baud on a pseudo-terminal linked into a
// folder: the run read through its --json records, its CPU time and peak
// memory, and every cartridge's flash checked byte for byte.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <QJsonObject>

#include "bench/benchfiles.h"
#include "tests/cli/flashrig.h"

namespace bench::flashrun {

using clitest::Cartridge;
using clitest::Folder;
using clitest::Program;
using clitest::ReadFile;
using Clock = std::chrono::steady_clock;
using Rig = std::vector<std::unique_ptr<Cartridge>>;
using Results = std::map<std::string, QJsonObject>;

double Since(Clock::time_point start);
double CpuSeconds(const rusage& usage);
double LoadAverage(); // over the last minute
std::string Base(const std::string& port); // the name without its folder

// Every whole line of `text` as a record; a line that is no JSON object is
// said and left out.
std::vector<QJsonObject> Records(const std::string& text);
bool IsResult(const QJsonObject& record);
std::string PortOf(const QJsonObject& record);
Results ResultsByPort(const std::vector<QJsonObject>& records);

// The records of a running plemo-flash as they come.
class RecordTail
{
public:
    explicit RecordTail(const Program& flash) : flash(flash) {}
    std::vector<QJsonObject> Poll(); // those that came since the last call

private:
    const Program& flash;
    std::size_t offset = 0;
};

// Cartridge `number`, linked as `folder`/cartNUMBER; its port empty when it
// did not start.
std::unique_ptr<Cartridge> PlugIn(const Folder& folder, int number);
Rig PlugInAll(const Folder& folder, int count);
// Stops the cartridge; true when its flash holds the image byte for byte.
bool Intact(Cartridge& cartridge, const UploadCase& upload);

// What one port's upload came to.
struct PortFigures
{
    std::string port;
    QJsonObject result; // empty: none came
    bool intact = false;
    double simulatorCpu = 0.0;

    bool Succeeded() const { return result["outcome"].toString() == "success"; }
    double Seconds() const { return result["seconds"].toDouble(-1.0); }
};

// One plemo-flash run to every cartridge of a rig.
struct Run
{
    int status = -1;
    double seconds = 0.0;
    rusage usage{};
    long peakKiB = 0;
    double pullToResult = -1.0;
    std::vector<PortFigures> ports;
};

// Stops every cartridge and takes its figures.
std::vector<PortFigures> Collect(Rig& rig, const Results& results, const UploadCase& upload);
// plemo-flash --json --quiet with a --port for each cartridge; `during`
// runs while it does.
Run FlashAll(Rig& rig, const Folder& folder, const UploadCase& upload,
             const std::function<void(Program&, Run&)>& during = {});

} // namespace bench::flashrun
