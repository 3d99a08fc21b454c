// The console on Windows.
#include "cli/console.h"

#include <atomic>
#include <regex>

#include <io.h>
#include <windows.h>

namespace plemoflash {

namespace {

// The handler runs on a thread of its own, which the system starts for it.
std::atomic<int> interrupts{0};

constexpr char kStoppedAtOnce[] = "\r\nplemo-flash: stopped at once (second Ctrl-C); the cartridge "
                                  "was not told: upload again\r\n";

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (interrupts.fetch_add(1) != 0) {
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kStoppedAtOnce, sizeof kStoppedAtOnce - 1,
                    &written, nullptr);
        ::ExitProcess(kCancelled);
    }
    return TRUE;
}

} // namespace

bool IsTerminal(std::FILE* stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

void InstallInterruptHandler()
{
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool InterruptRequested()
{
    return interrupts.load() != 0;
}

std::string SystemPortName(const std::string& name)
{
    static const std::regex kComName("com([0-9]+)", std::regex::icase);
    std::smatch number;
    if (!std::regex_match(name, number, kComName))
        return name;
    return "\\\\.\\com" + number[1].str();
}

} // namespace plemoflash
