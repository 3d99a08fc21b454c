// The console on Linux and other POSIX systems.
#include "cli/console.h"

#include <atomic>
#include <csignal>

#include <sys/time.h>
#include <unistd.h>

namespace plemoflash {

namespace {

// Set by the handler, read by every upload's thread: a lock-free atomic is
// both safe in a handler and free of data races between threads.
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr char kStoppedAtOnce[] = "\nplemo-flash: stopped at once (second Ctrl-C); the cartridge "
                                  "was not told: upload again\n";

extern "C" void OnAlarm(int) {}

// The exit closes the port, and a driver holding bytes that a stalled far
// end does not take would hold that close, and so the exit, for its closing
// wait (30 s on USB ports). The wait ends at a signal: with an alarm every
// 100 ms (whose handler does nothing) every descriptor is closed here first.
void CloseDescriptorsPromptly()
{
    struct sigaction alarm{};
    sigemptyset(&alarm.sa_mask);
    alarm.sa_handler = OnAlarm;
    ::sigaction(SIGALRM, &alarm, nullptr);
    const itimerval every100Ms{{0, 100000}, {0, 100000}};
    ::setitimer(ITIMER_REAL, &every100Ms, nullptr);
    for (int descriptor = STDERR_FILENO + 1; descriptor < 1024; ++descriptor)
        ::close(descriptor);
}

// Only async-signal-safe calls: a flag, write(), the closes and _exit().
extern "C" void OnInterrupt(int)
{
    if (interrupts != 0) {
        const ssize_t ignored = ::write(STDERR_FILENO, kStoppedAtOnce, sizeof kStoppedAtOnce - 1);
        (void)ignored;
        CloseDescriptorsPromptly();
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
