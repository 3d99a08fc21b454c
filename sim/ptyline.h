#pragma once
// The cartridge's end of a pseudo-terminal: the master side, in raw mode,
// non-blocking. The host opens the slave side by its path, as it would a
// serial port. All operating-system calls of the simulator's line are here.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class PtyLine
{
public:
    enum class Io
    {
        Done,       // some bytes moved (or none were asked for)
        WouldBlock, // nothing to read, or no room to write
        HungUp,     // the host does not have the port open (or it just closed it)
    };

    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // A new pseudo-terminal; its slave is set raw and left closed for the
    // host to open. False with `error` set when the system refuses.
    bool Open(std::string& error);
    // Makes Open() take this existing terminal, set raw, as the cartridge's
    // end (the device side of a USB gadget's serial port, say): the host is
    // on the other side of its wire, and a hang-up of the terminal is the
    // host gone for good.
    void UseExistingTty(const std::string& path) { existingTty = path; }
    // Closes the master: a host that has the port open sees the line gone.
    void Close();
    bool IsOpen() const { return master >= 0; }
    int Descriptor() const { return master; }
    const std::string& HostPath() const { return hostPath; }

    // Appends what has arrived from the host.
    Io Read(std::vector<uint8_t>& into);
    Io Write(const uint8_t* bytes, size_t count, size_t& written);
    // Whether the host has the slave open right now.
    bool HostHasPortOpen() const;
    // Drops bytes written to the host that it never read: after the host
    // closed the port they would otherwise greet whoever opens it next.
    void DiscardUnreadByHost() const;

    enum class Watch
    {
        Nothing,  // only Wake() or the time-out (the host is away: the line keeps reporting the hang-up)
        Input,    // bytes from the host, or the host closing the port
        InputAndRoom, // also room to write
    };
    // Waits for what `watch` names, for Wake(), or until `timeout` has
    // passed (negative: no limit).
    void Wait(std::chrono::nanoseconds timeout, Watch watch);
    // Ends the current or next Wait; callable from any thread.
    void Wake();

private:
    bool OpenWakePipe(std::string& error);

    int master = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string hostPath;
    std::string existingTty;
};

} // namespace sim
