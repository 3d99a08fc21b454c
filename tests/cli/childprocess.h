#pragma once
// A program of this project run as a child process, as a user or a script
// runs it: its arguments, a few environment variables of its own, what it
// prints on each stream, signals and its exit status.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace clitest {

class ChildProcess
{
public:
    // Starts `program`; Running() tells whether it started.
    ChildProcess(const std::string& program, std::vector<std::string> arguments,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess(); // a program still running is killed
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Running() const { return pid > 0; }
    pid_t Pid() const { return pid; }
    void Signal(int signal) const;

    // Reads its output until either stream holds `text`, or `limit` passes.
    bool WaitForText(const std::string& text, std::chrono::milliseconds limit);
    // Its exit status once it has ended (128 + signal when a signal ended
    // it), -1 when it still runs after `limit`. The rest of its output is
    // read first.
    int WaitForExit(std::chrono::milliseconds limit);

    const std::string& Out() const { return out; }
    const std::string& Err() const { return err; }

private:
    // Reads what comes within `timeoutMs`; false when nothing came.
    bool ReadSome(int timeoutMs);

    pid_t pid = -1;
    int outPipe = -1;
    int errPipe = -1;
    std::string out;
    std::string err;
    bool outDone = false;
    bool errDone = false;
    int status = -1;
};

} // namespace clitest
