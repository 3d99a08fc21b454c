#include "sim/ptyserver.h"

#include <algorithm>

namespace sim {

namespace {

// While nobody has the port open the pty keeps reporting the hang-up; the
// server looks for the next open this often.
constexpr std::chrono::milliseconds kHostAbsentPoll{10};

} // namespace

PtyServer::PtyServer(Cartridge& cartridge) : PtyServer(cartridge, Options{}) {}

PtyServer::PtyServer(Cartridge& cartridge, Options options)
    : cartridge(cartridge), options(options), wire(options.baud, options.interByteTimeout),
      adapter(options.adapterLatency)
{
    if (options.pullCableAfterBytes != 0)
        wire.cable.PullAfter(options.pullCableAfterBytes);
    if (!options.ttyPath.empty())
        line.UseExistingTty(options.ttyPath);
    if (options.replyStyle)
        cartridge.SetReplyStyle(*options.replyStyle);
}

PtyServer::~PtyServer()
{
    Stop();
}

bool PtyServer::Start(std::string& error)
{
    if (thread.joinable())
        return true;
    if (!line.Open(error))
        return false;
    {
        std::lock_guard<std::mutex> lock(nameMutex);
        portName = line.HostPath();
    }
    thread = std::thread([this] { Serve(); });
    return true;
}

void PtyServer::Stop()
{
    if (!thread.joinable())
        return;
    RunCommand(Command::Stop);
    thread.join();
    line.Close();
}

std::string PtyServer::PortName() const
{
    std::lock_guard<std::mutex> lock(nameMutex);
    return portName;
}

PtyServer::Stats PtyServer::GetStats() const
{
    Stats copy;
    copy.bytesFromHost = stats.bytesFromHost;
    copy.bytesToHost = stats.bytesToHost;
    copy.hostOpens = stats.hostOpens;
    copy.hostCloses = stats.hostCloses;
    copy.discardedBytes = stats.discardedBytes;
    copy.cablePulls = stats.cablePulls;
    return copy;
}

void PtyServer::PullCable()
{
    if (thread.joinable())
        RunCommand(Command::PullCable);
}

bool PtyServer::PlugCableIn(std::string& error)
{
    if (!thread.joinable()) {
        error = "the server is not running";
        return false;
    }
    RunCommand(Command::PlugIn);
    std::lock_guard<std::mutex> lock(commandMutex);
    error = commandError;
    return commandSucceeded;
}

// --- Commands from other threads ----------------------------------------------------

void PtyServer::RunCommand(Command next)
{
    std::unique_lock<std::mutex> lock(commandMutex);
    commandDone.wait(lock, [this] { return command == Command::None; });
    command = next;
    line.Wake();
    commandDone.wait(lock, [this] { return command == Command::None; });
}

// Carries out a pending command; false when the server is to stop.
bool PtyServer::HandleCommand()
{
    std::lock_guard<std::mutex> lock(commandMutex);
    const Command pending = command;
    switch (pending) {
    case Command::None:
        return true;
    case Command::PullCable:
        DoPullCable();
        break;
    case Command::PlugIn:
        commandSucceeded = line.IsOpen() || line.Open(commandError);
        if (commandSucceeded) {
            wire.cable.PlugIn();
            std::lock_guard<std::mutex> nameLock(nameMutex);
            portName = line.HostPath();
        }
        break;
    case Command::Stop:
        break;
    }
    command = Command::None;
    commandDone.notify_all();
    return pending != Command::Stop;
}

void PtyServer::DoPullCable()
{
    if (!line.IsOpen())
        return;
    // Counted first: the host notices the moment the line closes.
    wire.cable.Pull();
    ++stats.cablePulls;
    if (connected) {
        connected = false;
        ++stats.hostCloses;
    }
    line.Close();
    DropLineState();
}

// --- The server thread ------------------------------------------------------------------

void PtyServer::Serve()
{
    while (HandleCommand()) {
        if (!line.IsOpen()) {
            line.Wait(std::chrono::nanoseconds(-1), PtyLine::Watch::Nothing);
            continue;
        }
        if (!connected) {
            WatchForHost();
            continue;
        }
        const Clock::time_point now = Clock::now();
        ReadFromHost(now);
        if (!connected || !line.IsOpen())
            continue;
        DeliverDueInput(now);
        CollectReplies(now);
        NoticeQuietLine(now);
        SendDueOutput(now);
        if (connected)
            WaitForEvents(now);
    }
}

void PtyServer::WatchForHost()
{
    if (line.HostHasPortOpen()) {
        connected = true;
        ++stats.hostOpens;
        return;
    }
    line.Wait(kHostAbsentPoll, PtyLine::Watch::Nothing);
}

// A serial port drains its output when it is closed: what the host wrote
// before closing it still crosses the line and is heard, as a cancelled
// upload's last words are. The cartridge's answers to it go nowhere.
void PtyServer::OnHostClosed()
{
    connected = false;
    ++stats.hostCloses;
    DeliverAllInput();
    DropLineState();
    line.DiscardUnreadByHost();
}

// Whatever was on its way either direction is lost with the line; the
// cartridge forgets a request it had half received.
void PtyServer::DropLineState()
{
    inbound.clear();
    for (const Departure& departure : outbound)
        stats.discardedBytes += departure.bytes.size() - departure.sent;
    outbound.clear();
    stats.discardedBytes += held.size();
    held.clear();
    heldSendable = 0;
    writeBlocked = false;
    wire.Reset();
    std::lock_guard<std::mutex> lock(cartridgeMutex);
    cartridge.Engine().LineIdle();
    // Answers the cartridge has yet to put on the line have nobody to go to.
    OutputChunk unsent;
    while (cartridge.Engine().TakeOutput(unsent))
        stats.discardedBytes += unsent.bytes.size();
}

void PtyServer::ReadFromHost(Clock::time_point now)
{
    for (;;) {
        std::vector<uint8_t> bytes;
        const PtyLine::Io io = line.Read(bytes);
        if (io == PtyLine::Io::WouldBlock)
            return;
        if (io == PtyLine::Io::HungUp) {
            OnHostClosed();
            return;
        }
        bytes.resize(wire.cable.Pass(bytes.size()));
        Receive(std::move(bytes), now);
        if (wire.cable.Pulled()) {
            // The bytes before the pull still reach the cartridge.
            DeliverAllInput();
            DoPullCable();
            return;
        }
    }
}

void PtyServer::Receive(std::vector<uint8_t> bytes, Clock::time_point now)
{
    stats.bytesFromHost += bytes.size();
    const Clock::time_point heard = wire.toDevice.Transmit(bytes.size(), now);
    wire.quiet.BytesUntil(heard);
    inbound.push_back(Arrival{heard, std::move(bytes)});
}

void PtyServer::DeliverAllInput()
{
    DeliverDueInput(Clock::time_point::max());
}

void PtyServer::DeliverDueInput(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(cartridgeMutex);
    while (!inbound.empty() && inbound.front().due <= now) {
        cartridge.Engine().ClockAt(
            std::chrono::duration_cast<DeviceEngine::Time>(inbound.front().due.time_since_epoch()));
        cartridge.Engine().Feed(inbound.front().bytes);
        inbound.pop_front();
    }
}

void PtyServer::CollectReplies(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(cartridgeMutex);
    OutputChunk chunk;
    while (cartridge.Engine().TakeOutput(chunk)) {
        const Clock::time_point notBefore = now + chunk.delay;
        outbound.push_back(Departure{notBefore, std::move(chunk.bytes)});
    }
}

void PtyServer::NoticeQuietLine(Clock::time_point now)
{
    if (!wire.quiet.FallsQuietBy(now))
        return;
    std::lock_guard<std::mutex> lock(cartridgeMutex);
    cartridge.Engine().LineIdle();
}

bool PtyServer::WriteToHost(const uint8_t* bytes, size_t count, size_t& written)
{
    written = 0;
    const PtyLine::Io io = line.Write(bytes, count, written);
    if (io == PtyLine::Io::HungUp) {
        OnHostClosed();
        return false;
    }
    writeBlocked = io == PtyLine::Io::WouldBlock;
    stats.bytesToHost += written;
    return !writeBlocked;
}

void PtyServer::SendDueOutput(Clock::time_point now)
{
    writeBlocked = false;
    while (!outbound.empty() && now >= outbound.front().notBefore) {
        Departure& head = outbound.front();
        const Clock::time_point start = std::max(wire.toHost.FreeAt(), head.notBefore);
        const size_t remaining = head.bytes.size() - head.sent;
        // The host sees a byte once it has crossed the line whole.
        const auto count = static_cast<size_t>(
            std::min<uint64_t>(remaining, wire.speed.BytesCrossed(now - start)));
        if (count == 0)
            break;
        size_t passed = count;
        if (adapter.Holds()) {
            for (size_t i = 0; i < count; ++i)
                held.push_back(HeldByte{head.bytes[head.sent + i],
                                        start + wire.speed.WireTime<Clock::duration>(i + 1)});
        } else if (!WriteToHost(head.bytes.data() + head.sent, count, passed)) {
            return;
        }
        head.sent += passed;
        wire.toHost.Transmit(passed, start);
        if (head.sent == head.bytes.size())
            outbound.pop_front();
    }
    SendHeldPackets(now);
}

void PtyServer::SendHeldPackets(Clock::time_point now)
{
    size_t due = heldSendable;
    adapter.Packets<Clock::time_point>(
        held.size() - heldSendable, [&](size_t i) { return held[heldSendable + i].crossed; },
        [&](size_t size, Clock::time_point sentAt) {
            if (sentAt > now)
                return false;
            due += size;
            return true;
        });
    if (due == 0)
        return;
    std::vector<uint8_t> packets(due);
    for (size_t i = 0; i < due; ++i)
        packets[i] = held[i].byte;
    size_t written = 0;
    const bool open = WriteToHost(packets.data(), due, written);
    if (!open && !connected)
        return;
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(written));
    heldSendable = due - written;
}

PtyServer::Clock::time_point PtyServer::NextPacketAt(Clock::time_point now) const
{
    if (heldSendable > 0)
        return now;
    Clock::time_point next = Clock::time_point::max();
    adapter.Packets<Clock::time_point>(
        held.size(), [&](size_t i) { return held[i].crossed; },
        [&](size_t, Clock::time_point sentAt) {
            next = sentAt;
            return false;
        });
    return next;
}

PtyServer::Clock::time_point PtyServer::NextDeadline(Clock::time_point now) const
{
    Clock::time_point deadline = Clock::time_point::max();
    if (!inbound.empty())
        deadline = std::min(deadline, inbound.front().due);
    if (!outbound.empty() && !writeBlocked) {
        const Clock::time_point start = std::max(outbound.front().notBefore, wire.toHost.FreeAt());
        deadline = std::min(deadline, start + wire.speed.WireTime<Clock::duration>(1));
    }
    if (!writeBlocked)
        deadline = std::min(deadline, NextPacketAt(now));
    deadline = std::min(deadline, wire.quiet.QuietAt());
    return std::max(deadline, now);
}

void PtyServer::WaitForEvents(Clock::time_point now)
{
    const Clock::time_point deadline = NextDeadline(now);
    const auto timeout = deadline == Clock::time_point::max()
                             ? std::chrono::nanoseconds(-1)
                             : std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
    line.Wait(timeout, writeBlocked ? PtyLine::Watch::InputAndRoom : PtyLine::Watch::Input);
}

} // namespace sim
