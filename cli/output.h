#pragma once
// What one run writes, from every upload's thread: whole lines under one
// lock, so that no two ports' lines mix. On a terminal the progress of a
// run's ports is a board of one line a port, redrawn in place and kept below
// every other line; into a file or a pipe, and at a station (whose ports
// come and go), there is no board.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class QJsonObject;

namespace plemoflash {

class Output
{
public:
    // `json`: the records go to the standard output and the words for a
    // person to the standard error. `rows`: the ports, in board order
    // (a single port's row shows no name); none: a station's.
    Output(bool json, bool quiet, std::vector<std::string> rows);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Where the words for a person go.
    std::FILE* Human() const { return human; }
    bool Json() const { return json; }
    // A station's: ports come and go, and no progress is shown to a person.
    bool Station() const { return names.empty(); }
    // Whether progress goes to the board (else as lines).
    bool HasBoard() const { return boardShown; }
    // Several ports, or a station's: each line a port says begins with its
    // name. Board rows are fixed at the start, so this reads no shared state.
    std::string Tag(const std::string& port) const;

    // `line` and a newline, whole.
    void Say(std::FILE* stream, const std::string& line);
    // One record, one line, on the standard output.
    void Record(const QJsonObject& record);
    // The board's `row` now shows `text`.
    void ShowRow(std::size_t row, const std::string& text);
    // The first Ctrl-C's word, once for all ports.
    void SayCancelling();
    // The board stays as it was last drawn; lines go below it from here on.
    void EndBoard();

private:
    void WriteLocked(std::FILE* stream, const std::string& line);
    void EraseBoard();
    void DrawBoard();

    const bool json;
    std::FILE* const human;
    const std::vector<std::string> names;
    std::vector<std::string> rows;
    std::atomic<bool> boardShown{false}; // read unlocked by every upload
    bool boardDrawn = false;
    bool cancelSaid = false;
    std::mutex lock;
};

} // namespace plemoflash
