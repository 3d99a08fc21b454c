#include "tests/cli/flashrig.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QJsonDocument>

extern char** environ;

namespace clitest {

namespace {

int Occurrences(const std::string& output, const std::string& text)
{
    int count = 0;
    for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1))
        ++count;
    return count;
}

} // namespace

Folder::Folder()
{
    char pattern[] = "/tmp/plemo-flash-test-XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
}

Folder::~Folder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string Folder::Write(const std::string& name, const Bytes& bytes) const
{
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return Path(name);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Program::Program(const Folder& folder, std::vector<std::string> command,
                 const std::vector<std::string>& environment)
{
    static int runs = 0;
    outPath = folder.Path("run" + std::to_string(++runs) + ".out");
    errPath = folder.Path("run" + std::to_string(runs) + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> variables = environment; // the first of a name wins
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    std::vector<char*> argv, envp;
    for (std::string& argument : command)
        argv.push_back(argument.data());
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program()
{
    if (pid > 0 && Wait(0ms) < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void Program::Signal(int signal) const
{
    if (pid > 0) // never -1: that would signal every process
        kill(pid, signal);
}

bool Program::WaitFor(const std::string& text, std::chrono::milliseconds limit, int times) const
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Occurrences(Out() + Err(), text) < times) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

int Program::Wait(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    while (pid > 0 && wait4(pid, &raw, WNOHANG, &usage) != pid) {
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(5ms);
    }
    if (pid > 0)
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid = -1;
    return status;
}

int Program::Count(const std::string& text) const
{
    return Occurrences(Out(), text);
}

Cartridge::Cartridge(const Folder& folder, std::vector<std::string> options, const std::string& name)
    : port(folder.Path(name)), dump(port + ".flash"), process(folder, [&] {
          options.insert(options.begin(), PLEMO_CARTSIM_PATH);
          options.insert(options.end(), {"--link", port, "--dump", dump, "--verbose"});
          return options;
      }())
{
    if (!process.WaitFor("linked as " + port))
        port.clear();
}

void Cartridge::Stop()
{
    process.Signal(SIGTERM);
    process.Wait(10s);
}

std::map<std::string, std::vector<QJsonObject>> RecordsByPort(const std::string& out)
{
    std::map<std::string, std::vector<QJsonObject>> byPort;
    std::size_t start = 0;
    for (std::size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
        QJsonParseError error{};
        const QJsonDocument line = QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(start, end - start)), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << out.substr(start, end - start);
        EXPECT_TRUE(line.isObject() && line["event"].isString());
        byPort[line["port"].toString().toStdString()].push_back(line.object());
        start = end + 1;
    }
    return byPort;
}

FlashRun RunFlash(const Folder& folder, std::vector<std::string> arguments, std::vector<std::string> environment)
{
    const auto start = std::chrono::steady_clock::now();
    arguments.insert(arguments.begin(), PLEMO_FLASH_PATH);
    Program flash(folder, std::move(arguments), environment);
    FlashRun run;
    run.status = flash.Wait();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.out = flash.Out();
    run.err = flash.Err();
    return run;
}

long long CountBefore(const std::string& line, const std::string& words)
{
    std::smatch match;
    if (!std::regex_search(line, match, std::regex("([0-9][0-9,]*) " + words)))
        return -1;
    std::string digits = match[1];
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    return std::stoll(digits);
}

} // namespace clitest
