// The line both carriers run: its time, its quiet, its cable, with a made-up clock.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/line.h"

namespace {

using namespace std::chrono_literals;
using sim::LineSpeed;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

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

} // namespace
