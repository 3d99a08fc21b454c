// The time bytes take on a paced line, with a made-up clock.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/linepacer.h"

namespace {

using namespace std::chrono_literals;
using sim::LinePacer;

const LinePacer::Clock::time_point kStart = LinePacer::Clock::time_point{} + 1h;

TEST(LinePacer, ThirtyEightFourHundredBaudCarriesThreeThousandEightHundredFortyBytesASecond)
{
    const LinePacer pacer;
    EXPECT_EQ(pacer.WireTime(3840), 1s);
    EXPECT_EQ(pacer.WireTime(1), std::chrono::nanoseconds(260417));
}

TEST(LinePacer, BytesHandedOverTogetherQueueBehindEachOther)
{
    LinePacer pacer;
    EXPECT_EQ(pacer.Transmit(1920, kStart), kStart + 500ms);
    EXPECT_EQ(pacer.Transmit(1920, kStart), kStart + 1s);
    EXPECT_EQ(pacer.FreeAt(), kStart + 1s);
}

TEST(LinePacer, ByteCountsAsCrossedOnlyOnceItsLastBitHas)
{
    const LinePacer pacer;
    EXPECT_EQ(pacer.BytesCrossed(kStart, kStart), 0u);
    EXPECT_EQ(pacer.BytesCrossed(kStart, kStart + pacer.WireTime(1) - 1ns), 0u);
    EXPECT_EQ(pacer.BytesCrossed(kStart, kStart + pacer.WireTime(1)), 1u);
    EXPECT_EQ(pacer.BytesCrossed(kStart, kStart + 1s), 3840u);
    EXPECT_EQ(pacer.BytesCrossed(kStart + 1s, kStart), 0u);
}

TEST(LinePacer, LineThatFellIdleStartsAgainFromNow)
{
    LinePacer pacer;
    pacer.Transmit(384, kStart);
    EXPECT_EQ(pacer.Transmit(384, kStart + 5s), kStart + 5s + 100ms);
}

TEST(LinePacer, FullSpeedLineTakesNoTime)
{
    LinePacer pacer(0);
    EXPECT_TRUE(pacer.Unpaced());
    EXPECT_EQ(pacer.Transmit(1 << 20, kStart), kStart);
}

} // namespace
