// The line both carriers run: its time, its quiet, its cable, with a made-up clock.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/deviceengine.h"
#include "sim/inprocesschannel.h"
#include "sim/line.h"
#include "sim/wire.h"

namespace {

using namespace std::chrono_literals;
using sim::LineSpeed;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;
using Bytes = std::vector<uint8_t>;

const Clock::time_point kStart = Clock::time_point{} + 1h;

TEST(LineSpeed, ThirtyEightFourHundredBaudCarriesThreeThousandEightHundredFortyBytesASecond)
{
    const LineSpeed speed;
    EXPECT_EQ(speed.WireTime(3840), 1s);
    EXPECT_EQ(speed.WireTime(1), std::chrono::nanoseconds(260417));
    EXPECT_EQ(speed.WireTime<Micros>(1), Micros(261)) << "a coarser clock rounds up too";
    EXPECT_EQ(speed.WireTime<Micros>(3), Micros(782)) << "from the whole count, not per byte";
}

// On either carrier's clock, a byte counts as there exactly from the moment
// its wire time says: never before its last bit, never a tick after.
TEST(LineSpeed, ByteCountsAsCrossedFromTheMomentItsLastBitHas)
{
    const LineSpeed speed;
    for (const uint64_t bytes : {1u, 2u, 3u, 6u, 2065u, 3840u}) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(speed.BytesCrossed(speed.WireTime(bytes)), bytes);
        EXPECT_EQ(speed.BytesCrossed(speed.WireTime(bytes) - 1ns), bytes - 1);
        EXPECT_EQ(speed.BytesCrossed(speed.WireTime<Micros>(bytes)), bytes);
        EXPECT_EQ(speed.BytesCrossed(speed.WireTime<Micros>(bytes) - 1us), bytes - 1);
    }
    EXPECT_EQ(speed.BytesCrossed(-1s), 0u);
}

TEST(LineSpeed, FullSpeedLineTakesNoTime)
{
    const LineSpeed speed(0);
    EXPECT_TRUE(speed.Unpaced());
    EXPECT_EQ(speed.WireTime(1 << 20), 0s);
    EXPECT_GE(speed.BytesCrossed(0s), uint64_t{1} << 20) << "everything is there at once";
}

TEST(LineDirection, BytesHandedOverTogetherQueueAndAnIdleLineStartsFromNow)
{
    sim::LineDirection<Clock::time_point> direction{LineSpeed()};
    EXPECT_EQ(direction.Transmit(1920, kStart), kStart + 500ms);
    EXPECT_EQ(direction.Transmit(1920, kStart), kStart + 1s);
    EXPECT_EQ(direction.Transmit(384, kStart + 5s), kStart + 5s + 100ms);
}

TEST(QuietLine, ReceiverNoticesEachStretchOfQuietOnce)
{
    sim::QuietLine<Micros> quiet(100ms);
    EXPECT_FALSE(quiet.FallsQuietBy(Micros(1h))) << "nothing came yet";
    quiet.BytesUntil(1s);
    EXPECT_EQ(quiet.QuietAt(), 1100ms);
    EXPECT_FALSE(quiet.FallsQuietBy(1100ms - 1us));
    EXPECT_TRUE(quiet.FallsQuietBy(1100ms));
    EXPECT_FALSE(quiet.FallsQuietBy(2s)) << "once";
    EXPECT_EQ(quiet.QuietAt(), Micros::max());
}

// The cable goes with the last byte allowed: of a write that goes beyond it,
// only the bytes before cross.
TEST(Cable, PulledAfterBytesLetsExactlyThoseCross)
{
    sim::Cable cable;
    cable.PullAfter(10);
    EXPECT_EQ(cable.Pass(4), 4u);
    EXPECT_FALSE(cable.Pulled());
    EXPECT_EQ(cable.Pass(9), 6u);
    EXPECT_TRUE(cable.Pulled());
    cable.PlugIn();
    EXPECT_EQ(cable.Pass(100), 100u) << "plugged back in, nothing is armed";
    cable.PullAfter(0);
    EXPECT_TRUE(cable.Pulled());
}

// The in-process channel runs the same line: a request is heard, and each
// byte of a reply's header is there, exactly when the line time of the bytes
// so far has passed, at any speed.
class InProcessLine : public ::testing::TestWithParam<uint32_t>
{
};

TEST_P(InProcessLine, ReplyBytesArriveWhenTheirLastBitHasCrossed)
{
    const LineSpeed speed(GetParam());
    sim::DeviceEngine device;
    device.SetHandler(7, [](const Bytes& arguments) { return sim::Outcome::Reply(arguments); });
    sim::InProcessChannel channel(device, GetParam());
    const Bytes request = sim::RequestFrames(7, Bytes(20, 0x33));
    channel.Write(request.data(), static_cast<int32_t>(request.size()), 0);
    const Micros heard = channel.OutputDoneAt();
    EXPECT_EQ(heard, speed.WireTime<Micros>(request.size()));
    EXPECT_EQ(channel.TransferTime(static_cast<uint32_t>(request.size())), heard);

    Bytes header(9);
    size_t taken = 0;
    for (const size_t upTo : {size_t{1}, size_t{3}, size_t{8}, size_t{9}}) {
        SCOPED_TRACE(upTo);
        const auto wanted = static_cast<int32_t>(upTo - taken);
        ASSERT_EQ(channel.Read(header.data() + taken, wanted, 10000), wanted);
        taken = upTo;
        EXPECT_EQ(channel.Now(), heard + speed.WireTime<Micros>(upTo));
    }
    EXPECT_EQ(header[5], 20) << "the reply to the request";
}

INSTANTIATE_TEST_SUITE_P(Bauds, InProcessLine, ::testing::Values(9600u, 38400u, 115200u));

} // namespace
