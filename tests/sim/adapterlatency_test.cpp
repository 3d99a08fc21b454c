// A USB adapter's latency timer at the host's end of the simulated line:
// its packets, and the replies the in-process channel holds by it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "sim/adapterlatency.h"
#include "sim/deviceengine.h"
#include "sim/inprocesschannel.h"
#include "sim/line.h"
#include "sim/wire.h"

namespace {

using namespace std::chrono_literals;
using Micros = std::chrono::microseconds;
using Bytes = std::vector<uint8_t>;
using Packet = std::pair<size_t, Micros>; // size, sent at

struct PacketCase
{
    const char* what;
    std::vector<Micros> arrivals;
    std::vector<Packet> packets; // with a 16 ms timer
};

// `count` bytes coming in `step` apart from `from`, behind those of `before`.
std::vector<Micros> Evenly(size_t count, Micros from, Micros step, std::vector<Micros> before = {})
{
    for (size_t i = 0; i < count; ++i)
        before.push_back(from + step * static_cast<int64_t>(i));
    return before;
}

class AdapterPackets : public ::testing::TestWithParam<PacketCase>
{
};

TEST_P(AdapterPackets, GoWhenFullOrWhenTheTimerRunsOutAfterTheLastByte)
{
    const PacketCase& c = GetParam();
    SCOPED_TRACE(c.what);
    std::vector<Packet> sent;
    sim::AdapterLatency(16ms).Packets<Micros>(
        c.arrivals.size(), [&](size_t i) { return c.arrivals[i]; },
        [&](size_t size, Micros at) {
            sent.emplace_back(size, at);
            return true;
        });
    EXPECT_EQ(sent, c.packets);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdapterPackets,
    ::testing::Values(
        PacketCase{"short reply", Evenly(12, 1ms, 260us), {{12, 1ms + 11 * 260us + 16ms}}},
        PacketCase{"long burst",
                   Evenly(130, 0ms, 100us),
                   {{62, 61 * 100us}, {62, 123 * 100us}, {6, 129 * 100us + 16ms}}},
        PacketCase{"gap within the timer",
                   Evenly(3, 17ms, 1ms, Evenly(3, 0ms, 1ms)),
                   {{6, 19ms + 16ms}}},
        PacketCase{"gap of the whole timer",
                   Evenly(3, 18ms, 1ms, Evenly(3, 0ms, 1ms)),
                   {{3, 2ms + 16ms}, {3, 20ms + 16ms}}}));

// A reply through the in-process channel: the host finds nothing of it
// until the adapter sends, then the whole packet at once. The moments are
// compared with the same reply's on a line without the adapter.
struct Reads
{
    Bytes reply;
    std::vector<Micros> doneAt; // one for each read
};

// The reply to a request of `arguments` bytes, read in pieces of `sizes`
// bytes (the last piece: the rest), through an adapter with `timer`.
Reads ReadReply(std::chrono::milliseconds timer, size_t arguments, std::vector<size_t> sizes)
{
    sim::DeviceEngine device;
    device.SetHandler(7, [](const Bytes& echoed) { return sim::Outcome::Reply(echoed); });
    sim::InProcessChannel channel(device);
    channel.SetAdapterLatency(timer);
    const Bytes request = sim::RequestFrames(7, Bytes(arguments, 0x33));
    channel.Write(request.data(), static_cast<int32_t>(request.size()), 0);
    sizes.push_back(channel.Waiting() - std::min(channel.Waiting(), sizes.front()));
    Reads reads{Bytes(channel.Waiting()), {}};
    size_t taken = 0;
    for (const size_t size : sizes) {
        const auto wanted = static_cast<int32_t>(size);
        EXPECT_EQ(channel.Read(reads.reply.data() + taken, wanted, 1000), wanted);
        taken += size;
        reads.doneAt.push_back(channel.Now());
    }
    EXPECT_EQ(reads.reply, channel.DeviceToHost());
    return reads;
}

class AdapterOnTheLine : public ::testing::TestWithParam<int>
{
protected:
    std::chrono::milliseconds Timer() const { return std::chrono::milliseconds(GetParam()); }
};

TEST_P(AdapterOnTheLine, HoldsAShortReplyForTheTimerAfterItsLastByte)
{
    const Reads wire = ReadReply(0ms, 4, {1});
    const Reads held = ReadReply(Timer(), 4, {1});
    ASSERT_LT(held.reply.size(), sim::AdapterLatency::kPacketPayload);
    EXPECT_EQ(held.reply, wire.reply);
    const Micros sent = wire.doneAt[1] + Timer();
    EXPECT_EQ(held.doneAt, (std::vector<Micros>{GetParam() == 0 ? wire.doneAt[0] : sent, sent}));
}

TEST_P(AdapterOnTheLine, SendsAFullPacketAtItsLastByteAndTheRestAfterTheTimer)
{
    const Reads wire = ReadReply(0ms, 100, {sim::AdapterLatency::kPacketPayload});
    const Reads held = ReadReply(Timer(), 100, {sim::AdapterLatency::kPacketPayload});
    ASSERT_GT(held.reply.size(), sim::AdapterLatency::kPacketPayload);
    ASSERT_LT(held.reply.size(), 2 * sim::AdapterLatency::kPacketPayload);
    EXPECT_EQ(held.reply, wire.reply);
    EXPECT_EQ(held.doneAt, (std::vector<Micros>{wire.doneAt[0], wire.doneAt[1] + Timer()}));
}

INSTANTIATE_TEST_SUITE_P(TimerMs, AdapterOnTheLine, ::testing::Values(0, 1, 16));

} // namespace
