#pragma once
// Bytes the far end does not take would hold a port's close: a real driver
// waits for them to leave, up to the port's closing wait (30 s on USB
// ports), however the port was opened; a flush does not reach what a USB
// driver has already handed to the bus, and only CAP_SYS_ADMIN may shorten
// the closing wait. The wait ends at a signal, though, and the close then
// goes on and releases the port.

// Flushes the output `fd` still holds and closes it, woken every 50 ms by a
// signal whose handler does nothing. Returns close()'s result.
int CloseDroppingUnsentOutput(int fd);

// While one of these lives, the wake-up signal's handler does nothing. Ports
// close on their own threads, side by side: the handler goes in with the
// first and the earlier one comes back with the last, so no close leaves
// another's wake-up to the signal's default action (ending the process).
class CloseWakeupHandler
{
public:
    CloseWakeupHandler();
    ~CloseWakeupHandler();
    CloseWakeupHandler(const CloseWakeupHandler&) = delete;
    CloseWakeupHandler& operator=(const CloseWakeupHandler&) = delete;

    // Whether the handler is in place (the signal is not blocked here).
    bool Installed() const { return installed; }
    // The wake-up signal.
    static int Signal();

private:
    bool installed = false;
};
