#include "tests/cli/flashrig.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include <unistd.h>

namespace clitest {

Folder::Folder()
{
    char pattern[] = "/tmp/plemo-flash-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        path = pattern;
}

Folder::~Folder()
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

std::string Folder::Write(const std::string& name, const Bytes& bytes) const
{
    const std::string file = Path(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return file;
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

std::vector<std::string> CartsimArguments(const std::string& link, const std::string& dump,
                                          std::vector<std::string> options)
{
    options.insert(options.end(), {"--link", link, "--dump", dump, "--verbose"});
    return options;
}

} // namespace

Cartridge::Cartridge(const Folder& folder, const std::string& name, std::vector<std::string> options)
    : dump(folder.Path(name + ".flash")),
      process(PLEMO_CARTSIM_PATH, CartsimArguments(folder.Path(name), dump, std::move(options)))
{
    if (process.WaitForText("linked as " + folder.Path(name), 10s))
        port = folder.Path(name);
}

std::string Cartridge::Device() const
{
    std::error_code error;
    return std::filesystem::read_symlink(port, error).string();
}

void Cartridge::Stop()
{
    process.Signal(SIGTERM);
    process.WaitForExit(10s);
}

int Cartridge::Count(const std::string& text) const
{
    int count = 0;
    for (std::size_t at = Printed().find(text); at != std::string::npos;
         at = Printed().find(text, at + text.size()))
        ++count;
    return count;
}

std::map<std::string, uint64_t> Cartridge::Faults() const
{
    std::map<std::string, uint64_t> faults;
    const std::size_t line = Printed().find("plemo-cartsim: faults:");
    if (line == std::string::npos)
        return faults;
    const std::string text = Printed().substr(line, Printed().find('\n', line) - line);
    static const std::regex kPair("([a-z-]+)=([0-9]+)");
    for (auto pair = std::sregex_iterator(text.begin(), text.end(), kPair); pair != std::sregex_iterator();
         ++pair)
        faults[(*pair)[1]] = std::stoull((*pair)[2]);
    return faults;
}

FlashRun RunFlash(std::vector<std::string> arguments, std::vector<std::string> environment,
                  std::chrono::milliseconds limit)
{
    const auto start = std::chrono::steady_clock::now();
    ChildProcess flash(PLEMO_FLASH_PATH, std::move(arguments), environment);
    FlashRun run;
    run.status = flash.WaitForExit(limit);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.out = flash.Out();
    run.err = flash.Err();
    return run;
}

long long CountBefore(const std::string& line, const std::string& words)
{
    const std::regex pattern("([0-9][0-9,]*) " + words);
    std::smatch match;
    if (!std::regex_search(line, match, pattern))
        return -1;
    std::string digits = match[1];
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    return std::stoll(digits);
}

} // namespace clitest
