#include "bench/flashrun.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

namespace bench::flashrun {

using namespace std::chrono_literals;

namespace {

std::vector<std::string> FlashArguments(const Rig& rig, const UploadCase& upload)
{
    std::vector<std::string> arguments{"--json", "--quiet"};
    for (const auto& cartridge : rig)
        arguments.insert(arguments.end(), {"--port", cartridge->port});
    arguments.push_back(upload.path);
    return arguments;
}

// The peak resident memory (VmHWM) in a /proc/PID/status file; 0 once
// the process has ended.
long PeakKiB(const std::string& statusFile)
{
    const std::string status = ReadFile(statusFile);
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// Until `flash` has ended: its exit status, noting its peak memory as last
// read before the end. (A child's ru_maxrss is no good for that: it counts
// what the parent had resident when it forked.)
int WaitNotingPeak(Program& flash, Run& run)
{
    const std::string statusFile = "/proc/" + std::to_string(flash.Pid()) + "/status";
    const auto limit = Clock::now() + 120s;
    int status = -1;
    while ((status = flash.Wait(0ms)) < 0 && Clock::now() < limit) {
        run.peakKiB = std::max(run.peakKiB, PeakKiB(statusFile));
        std::this_thread::sleep_for(5ms);
    }
    return status;
}

} // namespace

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuSeconds(const rusage& usage)
{
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double LoadAverage()
{
    double load = 0.0;
    return getloadavg(&load, 1) == 1 ? load : -1.0;
}

std::string Base(const std::string& port)
{
    return port.substr(port.rfind('/') + 1);
}

std::vector<QJsonObject> Records(const std::string& text)
{
    std::vector<QJsonObject> records;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            records.push_back(document.object());
        else
            std::fprintf(stderr, "flash_ports: not a record: %s\n", line.c_str());
    }
    return records;
}

bool IsResult(const QJsonObject& record)
{
    return record["event"].toString() == "result";
}

std::string PortOf(const QJsonObject& record)
{
    return record["port"].toString().toStdString();
}

Results ResultsByPort(const std::vector<QJsonObject>& records)
{
    Results results;
    for (const QJsonObject& record : records)
        if (IsResult(record))
            results[PortOf(record)] = record;
    return results;
}

std::vector<QJsonObject> RecordTail::Poll()
{
    const std::string out = flash.Out();
    const std::size_t end = out.rfind('\n');
    if (end == std::string::npos || end < offset)
        return {};
    const std::vector<QJsonObject> records = Records(out.substr(offset, end + 1 - offset));
    offset = end + 1;
    return records;
}

std::unique_ptr<Cartridge> PlugIn(const Folder& folder, int number)
{
    auto cartridge = std::make_unique<Cartridge>(folder, std::vector<std::string>{"--baud", "38400"},
                                                 "cart" + std::to_string(number));
    if (cartridge->port.empty())
        std::fprintf(stderr, "flash_ports: cartridge %d did not start\n", number);
    return cartridge;
}

Rig PlugInAll(const Folder& folder, int count)
{
    Rig rig;
    for (int number = 1; number <= count; ++number)
        rig.push_back(PlugIn(folder, number));
    return rig;
}

bool Intact(Cartridge& cartridge, const UploadCase& upload)
{
    cartridge.Stop();
    const std::string flash = ReadFile(cartridge.dump);
    return flash.size() >= upload.address + upload.image.size() &&
           std::equal(upload.image.begin(), upload.image.end(), flash.begin() + upload.address,
                      [](uint8_t expected, char held) { return expected == static_cast<uint8_t>(held); });
}

std::vector<PortFigures> Collect(Rig& rig, const Results& results, const UploadCase& upload)
{
    std::vector<PortFigures> ports;
    for (const auto& cartridge : rig) {
        PortFigures port;
        port.port = cartridge->port;
        port.intact = Intact(*cartridge, upload); // stops it
        port.simulatorCpu = CpuSeconds(cartridge->process.Usage());
        const auto found = results.find(cartridge->port);
        if (found != results.end())
            port.result = found->second;
        ports.push_back(port);
    }
    return ports;
}

Run FlashAll(Rig& rig, const Folder& folder, const UploadCase& upload,
             const std::function<void(Program&, Run&)>& during)
{
    std::vector<std::string> command = FlashArguments(rig, upload);
    command.insert(command.begin(), PLEMO_FLASH_PATH);
    Run run;
    const auto start = Clock::now();
    Program flash(folder, command);
    if (during)
        during(flash, run);
    run.status = WaitNotingPeak(flash, run);
    run.seconds = Since(start);
    run.usage = flash.Usage();
    run.ports = Collect(rig, ResultsByPort(Records(flash.Out())), upload);
    return run;
}

} // namespace bench::flashrun
