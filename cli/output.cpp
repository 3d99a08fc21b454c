#include "cli/output.h"

#include <algorithm>

#include <QJsonDocument>
#include <QJsonObject>

#include "cli/console.h"

namespace plemoflash {

Output::Output(bool json, bool quiet, std::vector<std::string> rows)
    : json(json),
      human(json ? stderr : stdout),
      names(std::move(rows)),
      rows(names.size()),
      boardShown(!quiet && !names.empty() && IsTerminal(human))
{
}

std::string Output::Tag(const std::string& port) const
{
    return names.size() == 1 ? std::string() : port + ": ";
}

void Output::Say(std::FILE* stream, const std::string& line)
{
    const std::lock_guard<std::mutex> held(lock);
    WriteLocked(stream, line);
}

void Output::Record(const QJsonObject& record)
{
    const QByteArray text = QJsonDocument(record).toJson(QJsonDocument::Compact);
    Say(stdout, text.toStdString());
}

void Output::ShowRow(std::size_t row, const std::string& text)
{
    const std::lock_guard<std::mutex> held(lock);
    if (!boardShown)
        return;
    EraseBoard();
    rows[row] = text;
    DrawBoard();
}

void Output::SayCancelling()
{
    const std::lock_guard<std::mutex> held(lock);
    if (cancelSaid)
        return;
    cancelSaid = true;
    WriteLocked(stderr, "plemo-flash: cancelling (Ctrl-C again stops at once)");
}

void Output::EndBoard()
{
    const std::lock_guard<std::mutex> held(lock);
    boardShown = false;
}

// A line while the board is shown goes above it: the board is drawn again
// below the line.
void Output::WriteLocked(std::FILE* stream, const std::string& line)
{
    if (boardShown)
        EraseBoard();
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
    if (boardShown)
        DrawBoard();
}

void Output::EraseBoard()
{
    if (boardDrawn)
        std::fprintf(human, "\x1b[%zuA\x1b[J", rows.size());
    boardDrawn = false;
}

void Output::DrawBoard()
{
    std::size_t width = 0;
    for (const std::string& name : names)
        width = std::max(width, name.size());
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (names.size() > 1)
            std::fprintf(human, "%-*s  ", static_cast<int>(width), names[row].c_str());
        std::fprintf(human, "%s\n", rows[row].c_str());
    }
    std::fflush(human);
    boardDrawn = true;
}

} // namespace plemoflash
