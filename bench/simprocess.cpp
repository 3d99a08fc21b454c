#include "bench/simprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench {

namespace {

constexpr char kAnnouncement[] = "plemo-cartsim: serial port ";

} // namespace

SimProcess::~SimProcess()
{
    Stop();
}

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                       std::string& error)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        error = std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        pid = -1;
        error = program + ": " + std::strerror(spawned);
        return false;
    }
    output = pipeEnds[0];

    // The first line names the port; the simulator prints nothing else with --quiet.
    FILE* lines = fdopen(dup(output), "r");
    char line[512] = {};
    const bool announced = lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr &&
                           std::strncmp(line, kAnnouncement, sizeof kAnnouncement - 1) == 0;
    if (lines != nullptr)
        std::fclose(lines);
    if (!announced) {
        error = "the simulator did not announce its port";
        Stop();
        return false;
    }
    portName = line + sizeof kAnnouncement - 1;
    portName = portName.substr(0, portName.find_first_of(" \n"));
    return true;
}

void SimProcess::Stop()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
    if (output >= 0) {
        close(output);
        output = -1;
    }
}

} // namespace bench
