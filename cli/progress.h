#pragma once
// The progress of a transfer as a person reads it: one line with the
// percentage, the bytes, the speed and the time left. On a terminal the line
// is redrawn in place; into a file or a pipe it goes as plain lines, at most
// one a second, so that a build log stays readable.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace plemoflash {

using Clock = std::chrono::steady_clock;

// 16384 as "16,384".
std::string Grouped(uint64_t value);

class ProgressLine
{
public:
    enum class Style
    {
        Terminal, // one line, redrawn in place
        Plain,    // a line each time, at most once a second
        Silent,
    };
    // A terminal is redrawn at most this often: fast lines send a chunk
    // every few milliseconds.
    static constexpr std::chrono::milliseconds kRedrawInterval{100};
    static constexpr std::chrono::seconds kPlainInterval{1};

    // Where a due line goes: its text and the counts it shows; and the end
    // of the line.
    struct Sink
    {
        std::function<void(const std::string& text, int64_t sent, int64_t total)> show;
        std::function<void()> finish;
    };

    ProgressLine(std::FILE* out, Style style, std::function<Clock::time_point()> now);
    // Terminal and Plain differ only in pace: `sink` draws the line.
    ProgressLine(Sink sink, Style style, std::function<Clock::time_point()> now);

    // `sent` of `total` bytes have been handed to the cartridge.
    void Report(int64_t sent, int64_t total);
    // Ends a line left open on a terminal.
    void Finish();

    // The line's text, for `sent` of `total` bytes at `bytesPerSecond`
    // (0 while not yet known).
    static std::string Text(int64_t sent, int64_t total, double bytesPerSecond);

private:
    Sink sink;
    Style style;
    std::function<Clock::time_point()> now;
    bool started = false;
    Clock::time_point firstReport{};
    int64_t firstBytes = 0;
    bool printed = false;
    Clock::time_point lastPrint{};
};

} // namespace plemoflash
