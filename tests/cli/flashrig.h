#pragma once
// What the plemo-flash program tests share: a folder of their own, the
// simulated cartridge (plemo-cartsim) on a pseudo-terminal linked into that
// folder, and plemo-flash run as a script would run it.
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/cli/childprocess.h"

namespace clitest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The simulator's word for a cartridge that the tests never see boot.
constexpr char kNeverBoots[] = "100000";

class Folder
{
public:
    Folder();
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::string Path(const std::string& name) const { return path + "/" + name; }
    // Writes the file and returns its path.
    std::string Write(const std::string& name, const Bytes& bytes) const;

private:
    std::string path;
};

Bytes ReadFile(const std::string& path);

// plemo-cartsim behind `folder`/`name`, printing every call it gets.
class Cartridge
{
public:
    Cartridge(const Folder& folder, const std::string& name, std::vector<std::string> options);

    // The linked name of its serial end; empty when it did not start.
    const std::string& Port() const { return port; }
    // The pseudo-terminal itself.
    std::string Device() const;
    // Ends the simulator; its flash is then in Flash() and all it printed
    // in Printed().
    void Stop();
    Bytes Flash() const { return ReadFile(dump); }
    const std::string& Printed() const { return process.Out(); }
    // How often it printed `text` (e.g. "call: FinishUpload(").
    int Count(const std::string& text) const;
    // The faults it reports on exit: name -> count.
    std::map<std::string, uint64_t> Faults() const;
    ChildProcess& Process() { return process; }

private:
    std::string port;
    std::string dump;
    ChildProcess process;
};

struct FlashRun
{
    int status = -1;
    std::string out;
    std::string err;
    double seconds = 0.0;
};

// Runs plemo-flash to its end (at most `limit`); `environment` holds
// NAME=VALUE texts.
FlashRun RunFlash(std::vector<std::string> arguments, std::vector<std::string> environment = {},
                  std::chrono::milliseconds limit = 60s);

// The value of "<number> <words>" in a summary line ("3 damaged repl"), commas
// allowed; -1 when it is not there.
long long CountBefore(const std::string& line, const std::string& words);

} // namespace clitest
