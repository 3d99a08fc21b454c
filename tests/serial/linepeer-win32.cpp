#include "tests/serial/linepeer.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <windows.h>

namespace {

// The harness hands its line pairs over as "5:6,7:8,...": each pair is two
// COM numbers whose ports are linked to each other. The first goes to the
// stream under test, the peer opens the second.
constexpr char kPairsVariable[] = "PLEMO_TEST_COM_PAIRS";
// Bytes sent by the peer reach the other port through a relay process; this
// is ample for a few kilobytes to cross it.
constexpr std::chrono::milliseconds kRelayDelay{250};

struct ComPair
{
    int port;
    int peer;
    bool taken;
};

std::vector<ComPair>& Pairs()
{
    static std::vector<ComPair> pairs = [] {
        std::vector<ComPair> parsed;
        const char* text = std::getenv(kPairsVariable);
        if (text == nullptr)
            throw std::runtime_error("PLEMO_TEST_COM_PAIRS is not set: run the Windows tests "
                                     "through tools/test-windows-serial.sh");
        std::istringstream list(text);
        std::string item;
        while (std::getline(list, item, ',')) {
            const std::size_t colon = item.find(':');
            parsed.push_back({std::stoi(item.substr(0, colon)),
                              std::stoi(item.substr(colon + 1)), false});
        }
        return parsed;
    }();
    return pairs;
}

std::string DeviceName(int number)
{
    return "\\\\.\\com" + std::to_string(number);
}

HANDLE Handle(void* peerHandle)
{
    return static_cast<HANDLE>(peerHandle);
}

void Check(BOOL succeeded, const char* what)
{
    if (!succeeded)
        throw std::runtime_error(std::string(what) + " failed, error " +
                                 std::to_string(GetLastError()));
}

// 8 bits, no parity, no flow control, no byte treated specially.
void MakeRaw(HANDLE port)
{
    DCB control{};
    control.DCBlength = sizeof control;
    Check(GetCommState(port, &control), "GetCommState");
    control.BaudRate = CBR_38400;
    control.fBinary = 1;
    control.fParity = 0;
    control.fOutxCtsFlow = 0;
    control.fOutxDsrFlow = 0;
    control.fDtrControl = DTR_CONTROL_DISABLE;
    control.fOutX = 0;
    control.fInX = 0;
    control.fNull = 0;
    control.fRtsControl = RTS_CONTROL_DISABLE;
    control.ByteSize = 8;
    control.Parity = NOPARITY;
    control.StopBits = ONESTOPBIT;
    Check(SetCommState(port, &control), "SetCommState");
}

// Drops whatever an earlier test left waiting at a port: unlike a fresh
// pseudo-terminal, the harness's lines outlive each test.
void Drain(HANDLE port)
{
    COMMTIMEOUTS atOnce{};
    atOnce.ReadIntervalTimeout = MAXDWORD;
    Check(SetCommTimeouts(port, &atOnce), "SetCommTimeouts");
    uint8_t discarded[4096];
    DWORD got = 0;
    do
        Check(ReadFile(port, discarded, sizeof discarded, &got, nullptr), "ReadFile");
    while (got > 0);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

HANDLE OpenRaw(const std::string& deviceName)
{
    const HANDLE port = CreateFileA(deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + deviceName + ", error " +
                                 std::to_string(GetLastError()));
    MakeRaw(port);
    Drain(port);
    return port;
}

} // namespace

Bytes BytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

LinePeer::LinePeer()
{
    std::vector<ComPair>& pairs = Pairs();
    for (std::size_t i = 0; i < pairs.size() && pairIndex < 0; ++i)
        if (!pairs[i].taken)
            pairIndex = static_cast<int>(i);
    if (pairIndex < 0)
        throw std::runtime_error("every COM pair of the harness is in use");
    ComPair& pair = pairs[pairIndex];
    pair.taken = true;
    portName = DeviceName(pair.port);

    CloseHandle(OpenRaw(portName));
    peerHandle = OpenRaw(DeviceName(pair.peer));
}

LinePeer::~LinePeer()
{
    CloseHandle(Handle(peerHandle));
    Pairs()[pairIndex].taken = false;
}

void LinePeer::Send(const Bytes& bytes)
{
    DWORD written = 0;
    Check(WriteFile(Handle(peerHandle), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                    nullptr),
          "WriteFile");
    if (written != bytes.size())
        throw std::runtime_error("the peer's write was cut short");
}

Bytes LinePeer::Receive(std::size_t count, std::chrono::milliseconds timeout)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout.count());
    Check(SetCommTimeouts(Handle(peerHandle), &timeouts), "SetCommTimeouts");
    Bytes received(count);
    DWORD got = 0;
    Check(ReadFile(Handle(peerHandle), received.data(), static_cast<DWORD>(count), &got, nullptr),
          "ReadFile");
    received.resize(got);
    return received;
}

void LinePeer::WaitUntilArrived(std::size_t)
{
    // The port under test is the stream's alone; all the peer can do is
    // give the relay time.
    std::this_thread::sleep_for(kRelayDelay);
}

std::string LinePeer::MissingPortName()
{
    return "\\\\.\\com40"; // the harness never maps it
}
