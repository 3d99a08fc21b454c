#pragma once
// The far end of a serial line, for tests: the stream under test opens
// PortName(); the test plays the device through this object.
//
// Natively the line is a pseudo-terminal made for the test: the stream opens
// its slave side, the peer reads and writes its master. Under Windows the
// line is one of the COM pairs tools/test-windows-serial.sh set up (two ptys
// linked by socat, each mapped to a COM name); the peer opens the second COM
// name of its pair.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const std::string& text);

class LinePeer
{
public:
    LinePeer();
    ~LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    // The device name the stream under test opens.
    const std::string& PortName() const { return portName; }

    void Send(const Bytes& bytes);
    // Up to `count` bytes sent by the stream; fewer when `timeout` expires.
    Bytes Receive(std::size_t count, std::chrono::milliseconds timeout);
    // Returns once `count` bytes sent by the peer wait unread at the port.
    void WaitUntilArrived(std::size_t count);

#ifndef _WIN32
    // A descriptor of the port's own side, for looking at its settings and
    // its input queue. It never reads.
    int PortSideDescriptor() const { return portSide; }
    // The peer's own end, for a test that must write to it where a
    // function call will not do (a signal handler).
    int PeerSideDescriptor() const { return peerSide; }
    // Closes the peer's end, as a pulled cable or a device that went away.
    void HangUp();
#endif

    // A device name that does not exist on this machine.
    static std::string MissingPortName();

private:
    std::string portName;
#ifdef _WIN32
    void* peerHandle = nullptr;
    int pairIndex = -1;
#else
    int peerSide = -1;
    int portSide = -1;
#endif
};
