// The progress line on a simulated clock: what a terminal and a log see.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/progress.h"

namespace {

using plemoflash::Clock;
using plemoflash::ProgressLine;
using namespace std::chrono_literals;

class ProgressOutput : public ::testing::Test
{
protected:
    ~ProgressOutput() override { std::fclose(file); }

    ProgressLine Line(ProgressLine::Style style)
    {
        return ProgressLine(file, style, [this] { return now; });
    }
    std::string Printed()
    {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
            text += static_cast<char>(c);
        return text;
    }

    std::FILE* file = std::tmpfile();
    Clock::time_point now{};
};

TEST_F(ProgressOutput, PlainLinesComeAtMostOnceASecondWithSpeedAndTimeLeft)
{
    ProgressLine progress = Line(ProgressLine::Style::Plain);
    const struct
    {
        std::chrono::milliseconds at;
        int64_t sent;
    } reports[] = {{0ms, 2048}, {400ms, 4096}, {999ms, 6144}, {1000ms, 8192}, {1900ms, 10240},
                   {2100ms, 12288}};
    for (const auto& report : reports) {
        now = Clock::time_point(report.at);
        progress.Report(report.sent, 16384);
    }
    progress.Finish();

    EXPECT_EQ(Printed(), "progress:  12%  2,048 / 16,384 bytes  -- B/s  --:-- left\n"
                         "progress:  50%  8,192 / 16,384 bytes  6,144 B/s  0:02 left\n"
                         "progress:  75%  12,288 / 16,384 bytes  4,876 B/s  0:01 left\n");
}

TEST_F(ProgressOutput, ATerminalLineIsRedrawnInPlaceAndEndedOnce)
{
    ProgressLine progress = Line(ProgressLine::Style::Terminal);
    progress.Report(2048, 1000000);
    now += 50ms; // too soon to redraw
    progress.Report(4096, 1000000);
    now += 60ms;
    progress.Report(1000000, 1000000);
    progress.Finish();
    progress.Finish();

    const std::string first = "\r  0%  2,048 / 1,000,000 bytes  -- B/s  --:-- left";
    const std::string last = "\r100%  1,000,000 / 1,000,000 bytes  9,072,290 B/s  0:00 left";
    EXPECT_EQ(Printed(), first + last + "\n");
    EXPECT_GE(last.size(), first.size());
}

TEST_F(ProgressOutput, AShorterTerminalLineBlanksWhatIsLeftOfTheLongerOne)
{
    ProgressLine progress = Line(ProgressLine::Style::Terminal);
    progress.Report(2048, 100000000);
    now += 1s;
    progress.Report(3000, 3000); // the end: always drawn

    const std::string longer = ProgressLine::Text(2048, 100000000, 0.0);
    const std::string shorter = ProgressLine::Text(3000, 3000, 952.0);
    ASSERT_LT(shorter.size(), longer.size());
    EXPECT_EQ(Printed(), "\r" + longer + "\r" + shorter + std::string(longer.size() - shorter.size(), ' '));
}

TEST(ProgressText, RepeatedBlocksNeverShowMoreThanTheWhole)
{
    EXPECT_EQ(ProgressLine::Text(20480, 16384, 3840.0), "100%  16,384 / 16,384 bytes  3,840 B/s  0:00 left");
    EXPECT_EQ(ProgressLine::Text(0, 131072, 3840.0), "  0%  0 / 131,072 bytes  3,840 B/s  0:35 left");
    EXPECT_EQ(ProgressLine::Text(0, 3840 * 61, 3840.0), "  0%  0 / 234,240 bytes  3,840 B/s  1:01 left");
}

} // namespace
