#pragma once
// Asks an X window to close the way a window manager's close button does:
// a WM_DELETE_WINDOW message, which the program may answer as it answers a
// user. (xdotool's windowclose destroys the window instead, which no user
// can do.)
#include <X11/Xlib.h>

namespace xwindow {

// Sends the request and waits until the X server has it; false when the
// server would not send it.
inline bool AskToClose(Display* display, Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return sent != 0;
}

} // namespace xwindow
