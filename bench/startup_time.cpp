// How long the real program takes from its launch until its dialog is on
// the screen (port discovery included): the program is started under this
// X display, the moment its window titled "Plemo Upload Utility 1.0.3" is
// mapped is taken from the X server's own notice, and the window is then
// closed the way a window manager's close button does it.
//   startup_time PROGRAM [launches]      (needs DISPLAY; see startup_time.sh)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/support/xclosewindow.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kTitle[] = "Plemo Upload Utility 1.0.3";
constexpr auto kPatience = std::chrono::seconds(30);

bool HasTitle(Display* display, Window window)
{
    char* name = nullptr;
    if (XFetchName(display, window, &name) == 0 || name == nullptr)
        return false;
    const bool matches = std::strcmp(name, kTitle) == 0;
    XFree(name);
    return matches;
}

// Waits for the dialog's window to be mapped; 0 when none came in time.
Window WaitForDialog(Display* display, Clock::time_point deadline)
{
    const int connection = ConnectionNumber(display);
    while (Clock::now() < deadline) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && HasTitle(display, event.xmap.window))
                return event.xmap.window;
        }
        pollfd readable{connection, POLLIN, 0};
        poll(&readable, 1, 10);
    }
    return 0;
}

// One launch: milliseconds until the dialog was mapped, or a negative value.
double Launch(Display* display, const char* program)
{
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = -1;
    const Clock::time_point start = Clock::now();
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        std::perror("posix_spawn");
        return -1.0;
    }
    const Window window = WaitForDialog(display, start + kPatience);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (window != 0)
        xwindow::AskToClose(display, window);
    else
        kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return window != 0 ? ms : -1.0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [launches]\n", argv[0]);
        return 2;
    }
    const int launches = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "%s: cannot open the X display\n", argv[0]);
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    std::vector<double> times;
    for (int i = 0; i < launches; ++i) {
        const double ms = Launch(display, argv[1]);
        if (ms < 0) {
            std::fprintf(stderr, "%s: no dialog appeared\n", argv[0]);
            return 1;
        }
        times.push_back(ms);
    }
    XCloseDisplay(display);
    std::sort(times.begin(), times.end());
    std::printf("launch to dialog shown, %d launches: median %.0f ms, fastest %.0f ms, "
                "slowest %.0f ms\n",
                launches, times[times.size() / 2], times.front(), times.back());
    return 0;
}
