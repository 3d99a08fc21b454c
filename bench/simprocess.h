#pragma once
// The cartridge simulator program (plemo-cartsim) as a separate process, so
// that the time and the system calls of this process are the host's alone.
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

class SimProcess
{
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts `program` with `arguments` and waits for the serial port it
    // announces. False with `error` set when it cannot.
    bool Start(const std::string& program, const std::vector<std::string>& arguments,
               std::string& error);
    // Ends it (SIGTERM) and waits for it.
    void Stop();
    const std::string& PortName() const { return portName; }

private:
    pid_t pid = -1;
    int output = -1;
    std::string portName;
};

} // namespace bench
