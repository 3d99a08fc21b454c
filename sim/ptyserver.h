#pragma once
// Serves a simulated cartridge behind a pseudo-terminal, in a thread of its
// own. The host opens PortName() as it would a serial port.
//
// The line is paced like a real one (38,400 baud unless told otherwise):
// bytes from the host reach the cartridge only once they would have crossed
// the wire, and replies leave no faster than the line carries them. The
// server notices the host closing the port (what the host wrote before
// still reaches the cartridge, as a port drains its output before it
// closes), drops what the host left unread, and serves whoever opens it
// next. A test can pull the cable: then what was on its way is lost.
//
// The cartridge is shared with the server thread: reach it only through
// WithCartridge, which holds the server's lock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/adapterlatency.h"
#include "sim/cartridge.h"
#include "sim/line.h"
#include "sim/ptyline.h"

namespace sim {

class PtyServer
{
public:
    using Clock = std::chrono::steady_clock;

    struct Options
    {
        uint32_t baud = LineSpeed::kDefaultBaud; // 0: full speed
        // A request whose bytes stop coming for this long is dropped.
        std::chrono::milliseconds interByteTimeout = QuietLine<Clock::time_point>::kDefaultTimeout;
        // Pulls the cable by itself once this many bytes came from the host
        // (0: never): a cable pulled mid-transfer, at a repeatable moment.
        uint64_t pullCableAfterBytes = 0;
        // An existing terminal to answer on instead of a new pseudo-terminal.
        std::string ttyPath;
        // The cartridge's reply style, when given (else it keeps its own).
        std::optional<ReplyStyle> replyStyle;
        // A USB adapter's latency timer at the host's end (0: none): what
        // has crossed the line reaches the host in the adapter's packets.
        std::chrono::milliseconds adapterLatency{0};
    };

    struct Stats
    {
        uint64_t bytesFromHost = 0;
        uint64_t bytesToHost = 0;
        uint64_t hostOpens = 0;
        uint64_t hostCloses = 0;
        uint64_t discardedBytes = 0; // replies the host was no longer there to read
        uint64_t cablePulls = 0;
    };

    explicit PtyServer(Cartridge& cartridge);
    PtyServer(Cartridge& cartridge, Options options);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the line and starts serving. False with `error` set on failure.
    bool Start(std::string& error);
    void Stop();

    // The path the host opens (changes when a pulled cable is plugged back in).
    std::string PortName() const;
    bool HostConnected() const { return connected; }
    Stats GetStats() const;

    // The host's port sees the line gone: its reads and writes fail.
    void PullCable();
    // A fresh line under a new name after PullCable.
    bool PlugCableIn(std::string& error);

    // Runs `inspect(cartridge)` under the server's lock and returns its result.
    template <class Inspect>
    auto WithCartridge(Inspect&& inspect)
    {
        std::lock_guard<std::mutex> lock(cartridgeMutex);
        return inspect(cartridge);
    }

private:
    // Bytes on their way to the cartridge, there at `due`.
    struct Arrival
    {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };
    // Bytes on their way to the host, not to leave before `notBefore`.
    struct Departure
    {
        Clock::time_point notBefore;
        std::vector<uint8_t> bytes;
        size_t sent = 0;
    };
    enum class Command
    {
        None,
        PullCable,
        PlugIn,
        Stop,
    };

    void Serve();
    bool HandleCommand();
    void RunCommand(Command command);
    void WaitForEvents(Clock::time_point now);
    Clock::time_point NextDeadline(Clock::time_point now) const;

    void WatchForHost();
    void OnHostClosed();
    void ReadFromHost(Clock::time_point now);
    void Receive(std::vector<uint8_t> bytes, Clock::time_point now);
    void DeliverDueInput(Clock::time_point now);
    void DeliverAllInput();
    void CollectReplies(Clock::time_point now);
    void NoticeQuietLine(Clock::time_point now);
    void SendDueOutput(Clock::time_point now);
    // The adapter's packets that are due, to the host.
    void SendHeldPackets(Clock::time_point now);
    // When the adapter sends its next packet; max() when it holds nothing.
    Clock::time_point NextPacketAt(Clock::time_point now) const;
    // Hands bytes to the host's port; false (nothing more to do now) when
    // it hung up or is full, with `written` set to what it took.
    bool WriteToHost(const uint8_t* bytes, size_t count, size_t& written);
    void DropLineState();
    void DoPullCable();

    Cartridge& cartridge;
    const Options options;
    std::mutex cartridgeMutex;

    PtyLine line;
    mutable std::mutex nameMutex;
    std::string portName;
    std::atomic<bool> connected{false};
    Line<Clock::time_point> wire;
    std::deque<Arrival> inbound;
    std::deque<Departure> outbound;
    bool writeBlocked = false;
    // Bytes that have crossed the line, held by the adapter, with the
    // moment each came in; the first `heldSendable` of them are due.
    struct HeldByte
    {
        uint8_t byte;
        Clock::time_point crossed;
    };
    const AdapterLatency adapter;
    std::deque<HeldByte> held;
    size_t heldSendable = 0;

    std::mutex commandMutex;
    std::condition_variable commandDone;
    Command command = Command::None;
    bool commandSucceeded = false;
    std::string commandError;
    std::thread thread;

    struct AtomicStats
    {
        std::atomic<uint64_t> bytesFromHost{0};
        std::atomic<uint64_t> bytesToHost{0};
        std::atomic<uint64_t> hostOpens{0};
        std::atomic<uint64_t> hostCloses{0};
        std::atomic<uint64_t> discardedBytes{0};
        std::atomic<uint64_t> cablePulls{0};
    } stats;
};

} // namespace sim
