// The progress line on a simulated clock: what a log and a terminal see.
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
    ProgressLine Line(ProgressLine::Style style) { return ProgressLine(file, style, [this] { return now; }); }
    std::string Printed()
    {
        std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        text.resize(std::fread(text.data(), 1, text.size(), file));
        return text;
    }

    std::FILE* file = std::tmpfile();
    Clock::time_point now{};
};

TEST_F(ProgressOutput, PlainLinesComeAtMostOnceASecondWithSpeedAndTimeLeft)
{
    ProgressLine progress = Line(ProgressLine::Style::Plain);
    for (const auto& [at, sent] : {std::pair{0ms, 2048}, {400ms, 4096}, {999ms, 6144}, {1000ms, 8192},
                                   {1900ms, 10240}, {2100ms, 20480}}) {
        now = Clock::time_point(at);
        progress.Report(sent, 16384); // a block sent again counts again
    }
    progress.Finish();

    EXPECT_EQ(Printed(), "progress:  12%  2,048 / 16,384 bytes  -- B/s  --:-- left\n"
                         "progress:  50%  8,192 / 16,384 bytes  6,144 B/s  0:02 left\n"
                         "progress: 100%  16,384 / 16,384 bytes  8,777 B/s  0:00 left\n");
}

TEST_F(ProgressOutput, ATerminalLineIsRedrawnInPlaceBlankingWhatIsLeftOfALongerOne)
{
    ProgressLine progress = Line(ProgressLine::Style::Terminal);
    progress.Report(2048, 1000000);
    now += 50ms; // too soon to redraw
    progress.Report(4096, 1000000);
    now += 950ms;
    progress.Report(6144, 6144); // shorter; the end is always drawn
    progress.Finish();
    progress.Finish();

    const std::string first = "  0%  2,048 / 1,000,000 bytes  -- B/s  --:-- left";
    const std::string last = "100%  6,144 / 6,144 bytes  4,096 B/s  0:00 left";
    EXPECT_EQ(Printed(), "\r" + first + "\r" + last + std::string(first.size() - last.size(), ' ') + "\n");
}

} // namespace
