// Closes an X window as a window manager's close button does
// (tests/support/xclosewindow.h).
//   x-close-window WINDOW_ID
#include <cstdio>
#include <cstdlib>

#include "tests/support/xclosewindow.h"

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WINDOW_ID\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "%s: cannot open the X display\n", argv[0]);
        return 1;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    const bool sent = xwindow::AskToClose(display, window);
    XCloseDisplay(display);
    return sent ? 0 : 1;
}
