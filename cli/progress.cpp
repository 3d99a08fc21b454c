#include "cli/progress.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <QLocale>

namespace plemoflash {

std::string Grouped(uint64_t value)
{
    return QLocale(QLocale::English).toString(static_cast<qulonglong>(value)).toStdString();
}

namespace {

std::string TimeLeft(int64_t bytesLeft, double bytesPerSecond)
{
    if (bytesPerSecond <= 0.0)
        return "--:-- left";
    const auto seconds = static_cast<int64_t>(std::ceil(static_cast<double>(bytesLeft) / bytesPerSecond));
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld left", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

// The line into a stream: redrawn in place on a terminal, blanking what is
// left of a longer line before; else a line each time.
ProgressLine::Sink StreamSink(std::FILE* out, ProgressLine::Style style)
{
    if (style != ProgressLine::Style::Terminal)
        return {[out](const std::string& text, int64_t, int64_t) {
                    std::fprintf(out, "progress: %s\n", text.c_str());
                    std::fflush(out);
                },
                [] {}};
    auto shownLength = std::make_shared<std::size_t>(0);
    return {[out, shownLength](const std::string& text, int64_t, int64_t) {
                const std::size_t pad = *shownLength > text.size() ? *shownLength - text.size() : 0;
                std::fprintf(out, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
                std::fflush(out);
                *shownLength = text.size();
            },
            [out, shownLength] {
                if (*shownLength == 0)
                    return;
                std::fputs("\n", out);
                std::fflush(out);
                *shownLength = 0;
            }};
}

} // namespace

ProgressLine::ProgressLine(std::FILE* out, Style style, std::function<Clock::time_point()> now)
    : ProgressLine(StreamSink(out, style), style, std::move(now))
{
}

ProgressLine::ProgressLine(Sink sink, Style style, std::function<Clock::time_point()> now)
    : sink(std::move(sink)), style(style), now(std::move(now))
{
}

std::string ProgressLine::Text(int64_t sent, int64_t total, double bytesPerSecond)
{
    // A block staged again counts again: the count may pass the total.
    const int64_t shown = std::clamp<int64_t>(sent, 0, std::max<int64_t>(total, 0));
    const int percent = total > 0 ? static_cast<int>(shown * 100 / total) : 100;
    char text[160];
    std::snprintf(text, sizeof text, "%3d%%  %s / %s bytes  %s B/s  %s", percent,
                  Grouped(static_cast<uint64_t>(shown)).c_str(),
                  Grouped(static_cast<uint64_t>(std::max<int64_t>(total, 0))).c_str(),
                  bytesPerSecond > 0.0 ? Grouped(static_cast<uint64_t>(bytesPerSecond)).c_str() : "--",
                  TimeLeft(total - shown, bytesPerSecond).c_str());
    return text;
}

void ProgressLine::Report(int64_t sent, int64_t total)
{
    if (style == Style::Silent)
        return;
    const Clock::time_point at = now();
    // Each report names the chunk about to go out: the speed counts from
    // the first report on.
    if (!started) {
        started = true;
        firstReport = at;
        firstBytes = sent;
    }
    const auto interval = style == Style::Terminal
                              ? std::chrono::duration_cast<Clock::duration>(kRedrawInterval)
                              : std::chrono::duration_cast<Clock::duration>(kPlainInterval);
    const bool last = sent >= total;
    if (printed && at - lastPrint < interval && !(last && style == Style::Terminal))
        return;
    const double seconds = std::chrono::duration<double>(at - firstReport).count();
    const double speed = seconds > 0.0 ? static_cast<double>(sent - firstBytes) / seconds : 0.0;
    printed = true;
    lastPrint = at;
    sink.show(Text(sent, total, speed), sent, total);
}

void ProgressLine::Finish()
{
    if (style != Style::Silent)
        sink.finish();
}

} // namespace plemoflash
