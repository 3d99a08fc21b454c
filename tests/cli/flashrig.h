#pragma once
// What the plemo-flash program tests share: a folder of their own, programs
// run as a script runs them (each output stream into a file of that
// folder), and the simulated cartridge (plemo-cartsim) on a pseudo-terminal
// linked into the folder.
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <cstdint>
#include <string>
#include <vector>

#include <QJsonObject>

namespace clitest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// More handshakes than any test waits through.
constexpr char kNeverBoots[] = "100000";

class Folder
{
public:
    Folder();
    ~Folder();
    std::string Path(const std::string& name) const { return path + "/" + name; }
    std::string Write(const std::string& name, const Bytes& bytes) const; // its path

private:
    std::string path;
};

std::string ReadFile(const std::string& path);

class Program
{
public:
    // `environment`: NAME=VALUE texts on top of this process's own.
    Program(const Folder& folder, std::vector<std::string> command,
            const std::vector<std::string>& environment = {});
    ~Program(); // killed if it still runs

    pid_t Pid() const { return pid; }
    void Signal(int signal) const;
    // Until its output (either stream) holds `text` `times` times, at most `limit`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit = 10s, int times = 1) const;
    // Its exit status (128 + signal); -1 while it still runs after `limit`.
    int Wait(std::chrono::milliseconds limit = 60s);
    // Its CPU time, once Wait has returned its status. (Its ru_maxrss also
    // counts what this process had resident when it started the program.)
    const rusage& Usage() const { return usage; }
    std::string Out() const { return ReadFile(outPath); }
    std::string Err() const { return ReadFile(errPath); }
    int Count(const std::string& text) const; // on its standard output

private:
    std::string outPath;
    std::string errPath;
    pid_t pid = -1;
    int status = -1;
    rusage usage{};
};

// plemo-cartsim behind `folder`/`name` (a link to its pseudo-terminal),
// printing every call it gets; its flash goes to `folder`/`name`.flash when
// it is stopped.
struct Cartridge
{
    Cartridge(const Folder& folder, std::vector<std::string> options, const std::string& name = "cart");
    void Stop();

    std::string port;
    std::string dump;
    Program process;
};

struct FlashRun
{
    int status = -1;
    std::string out;
    std::string err;
    double seconds = 0.0;
};
FlashRun RunFlash(const Folder& folder, std::vector<std::string> arguments,
                  std::vector<std::string> environment = {});

// Every --json record of a run, by port, in the order written; a line that
// is no JSON object with an "event" fails the test.
std::map<std::string, std::vector<QJsonObject>> RecordsByPort(const std::string& out);

// The number before `words` in a line ("3 damaged repl"), -1 when absent.
long long CountBefore(const std::string& line, const std::string& words);

} // namespace clitest
