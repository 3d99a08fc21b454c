#include "serial/closeinterrupted-posix.h"

#include <cerrno>
#include <mutex>

#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <csignal>
#include <ctime>
#include <pthread.h>
#endif

namespace {

// How many closes have the handler in place, and what it replaced.
std::mutex handlerLock;
int handlerUsers = 0;
#ifdef __linux__
struct sigaction replaced {};
#endif

} // namespace

int CloseWakeupHandler::Signal()
{
#ifdef __linux__
    return SIGRTMAX;
#else
    return 0;
#endif
}

CloseWakeupHandler::CloseWakeupHandler()
{
#ifdef __linux__
    sigset_t blocked;
    if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0 || sigismember(&blocked, Signal()) != 0)
        return;
    const std::lock_guard<std::mutex> held(handlerLock);
    if (handlerUsers == 0) {
        struct sigaction doNothing {};
        doNothing.sa_handler = [](int) {};
        sigemptyset(&doNothing.sa_mask);
        if (::sigaction(Signal(), &doNothing, &replaced) != 0)
            return;
    }
    ++handlerUsers;
    installed = true;
#endif
}

CloseWakeupHandler::~CloseWakeupHandler()
{
#ifdef __linux__
    if (!installed)
        return;
    const std::lock_guard<std::mutex> held(handlerLock);
    if (--handlerUsers == 0)
        (void)::sigaction(Signal(), &replaced, nullptr);
#endif
}

// While this thread closes, a timer signals it every 50 ms (no SA_RESTART,
// so the close's wait ends). The timer is gone before the handler may go.
int CloseDroppingUnsentOutput(int fd)
{
    (void)::tcflush(fd, TCOFLUSH);
#ifdef __linux__
    const CloseWakeupHandler handler;
    if (!handler.Installed())
        return ::close(fd);
    sigevent toThisThread{};
    toThisThread.sigev_notify = SIGEV_THREAD_ID;
    toThisThread.sigev_signo = CloseWakeupHandler::Signal();
    toThisThread._sigev_un._tid = ::gettid();
    timer_t timer{};
    const bool timed = ::timer_create(CLOCK_MONOTONIC, &toThisThread, &timer) == 0;
    if (timed) {
        itimerspec every50Ms{};
        every50Ms.it_value.tv_nsec = 50'000'000;
        every50Ms.it_interval.tv_nsec = 50'000'000;
        (void)::timer_settime(timer, 0, &every50Ms, nullptr);
    }
    const int closed = ::close(fd);
    const int error = errno;
    if (timed)
        (void)::timer_delete(timer); // a last signal is taken on the way back
    errno = error;
    return closed;
#else
    return ::close(fd);
#endif
}
