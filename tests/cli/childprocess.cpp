#include "tests/cli/childprocess.h"

#include <csignal>
#include <thread>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, std::vector<std::string> arguments,
                           const std::vector<std::string>& environment)
{
    int outEnds[2];
    int errEnds[2];
    if (pipe(outEnds) != 0)
        return;
    if (pipe(errEnds) != 0) {
        close(outEnds[0]);
        close(outEnds[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, outEnds[0]);
    posix_spawn_file_actions_addclose(&actions, errEnds[0]);

    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable); // the first of a name wins
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(outEnds[1]);
    close(errEnds[1]);
    outPipe = outEnds[0];
    errPipe = errEnds[0];
}

ChildProcess::~ChildProcess()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (outPipe >= 0)
        close(outPipe);
    if (errPipe >= 0)
        close(errPipe);
}

void ChildProcess::Signal(int signal) const
{
    if (pid > 0)
        kill(pid, signal);
}

bool ChildProcess::ReadSome(int timeoutMs)
{
    // A stream that has ended is left out of the poll (a negative fd).
    pollfd streams[2] = {{outDone ? -1 : outPipe, POLLIN, 0}, {errDone ? -1 : errPipe, POLLIN, 0}};
    if (outDone && errDone)
        return false;
    if (poll(streams, 2, timeoutMs) <= 0)
        return false;
    bool got = false;
    std::string* targets[2] = {&out, &err};
    bool* done[2] = {&outDone, &errDone};
    for (int i = 0; i < 2; ++i) {
        if (streams[i].fd < 0 || (streams[i].revents & (POLLIN | POLLHUP)) == 0)
            continue;
        char piece[4096];
        const ssize_t count = read(streams[i].fd, piece, sizeof piece);
        if (count > 0) {
            targets[i]->append(piece, static_cast<size_t>(count));
            got = true;
        } else {
            *done[i] = true;
        }
    }
    return got;
}

bool ChildProcess::WaitForText(const std::string& text, std::chrono::milliseconds limit)
{
    const Clock::time_point end = Clock::now() + limit;
    while (out.find(text) == std::string::npos && err.find(text) == std::string::npos) {
        if (Clock::now() >= end)
            return false;
        if (!ReadSome(MillisecondsUntil(end)) && outDone && errDone)
            return false; // it has ended without saying it
    }
    return true;
}

int ChildProcess::WaitForExit(std::chrono::milliseconds limit)
{
    const Clock::time_point end = Clock::now() + limit;
    while (pid > 0) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            pid = -1;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (Clock::now() >= end)
            return -1;
        if (!ReadSome(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    while (ReadSome(0)) {
    }
    return status;
}

} // namespace clitest
