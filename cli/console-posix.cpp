// The console on Linux and other POSIX systems.
#include "cli/console.h"

#include <csignal>

#include <unistd.h>

namespace plemoflash {

namespace {

volatile std::sig_atomic_t interrupts = 0;

constexpr char kStoppedAtOnce[] = "\nplemo-flash: stopped at once (second Ctrl-C); the cartridge "
                                  "was not told: upload again\n";

// Only async-signal-safe calls: a flag, write() and _exit().
extern "C" void OnInterrupt(int)
{
    if (interrupts != 0) {
        const ssize_t ignored = ::write(STDERR_FILENO, kStoppedAtOnce, sizeof kStoppedAtOnce - 1);
        (void)ignored;
        ::_exit(kCancelled);
    }
    interrupts = 1;
}

} // namespace

bool IsTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

void InstallInterruptHandler()
{
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnInterrupt;
    // Reads and writes that the signal interrupts go on; the serial layer's
    // waits wake up and look again.
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM})
        sigaction(signal, &action, nullptr);
}

bool InterruptRequested()
{
    return interrupts != 0;
}

std::string SystemPortName(const std::string& name)
{
    return name;
}

} // namespace plemoflash
