// Writes the fuzz programs' seed inputs: valid ".bit" files, device replies
// and host requests, plus the near misses each parser must refuse.
//   plemo-fuzz-seeds DIRECTORY
// makes DIRECTORY/bitstream, DIRECTORY/rpc_reply and DIRECTORY/sim_request.
// The seeds in tests/fuzz/corpus were made by it; run it again after a
// change to an input layout and commit what changed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/procedures.h"
#include "sim/wire.h"
#include "tests/support/bitfile.h"
#include "tests/fuzz/replyscript.h"
#include "tests/fuzz/requestscript.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

void Write(const fs::path& directory, const std::string& name, const Bytes& bytes)
{
    fs::create_directories(directory);
    std::ofstream out(directory / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// --- ".bit" files ---------------------------------------------------------------

void WriteBitstreamSeeds(const fs::path& directory)
{
    using namespace bitfile;
    Fields standard;
    Write(directory, "standard.bit", File(standard));
    Write(directory, "header-only.bit", Header(standard));

    Fields full;
    full.designName = Bytes(32, 'n');
    full.partName = Bytes(16, 'p');
    full.date = Bytes(16, 'd');
    full.time = Bytes(16, 't');
    Write(directory, "full-slots.bit", File(full));

    Fields tooLong = standard;
    tooLong.designName = Bytes(33, 'n');
    Write(directory, "design-name-too-long.bit", File(tooLong));

    Fields reversal;
    reversal.data.clear();
    for (int value = 0; value < 256; ++value)
        reversal.data.push_back(static_cast<uint8_t>(value));
    Write(directory, "every-byte-value.bit", File(reversal));

    Fields empty;
    empty.data.clear();
    Write(directory, "no-data.bit", File(empty));

    // Stray bytes between the fields, skipped up to the next key letter.
    Bytes stray = Header(standard);
    stray.insert(stray.end(), {0x00, 0x13, 0x37});
    stray.push_back('e');
    AppendBigEndian(stray, 2, 4);
    stray.insert(stray.end(), {0x01, 0x80, 0xEE});
    Write(directory, "stray-bytes-and-trailer.bit", stray);

    // A count one beyond the room an upload gives, and one the data cuts short.
    Bytes beyond = Header(standard);
    beyond.push_back('e');
    AppendBigEndian(beyond, 130089, 4);
    beyond.insert(beyond.end(), 8, 0xAA);
    Write(directory, "count-beyond-room.bit", beyond);

    Bytes cut = Header(standard);
    cut.push_back('e');
    AppendBigEndian(cut, 100, 4);
    cut.insert(cut.end(), 10, 0x55);
    Write(directory, "data-cut-short.bit", cut);
}

// --- Device replies ------------------------------------------------------------------

Bytes Reply(const Bytes& data)
{
    return Concat({sim::ReplyHeaderFrame(sim::ReplyCode::kReplyFollows,
                                         static_cast<uint16_t>(data.size())),
                   sim::DataFrame(data)});
}

Bytes Damaged(Bytes frame)
{
    frame.back() ^= 0x01;
    return frame;
}

fuzzinput::ReplyScript Script(std::vector<Bytes> replies, int calls = 1, uint8_t arguments = 0,
                              uint8_t retries = 4)
{
    fuzzinput::ReplyScript script;
    script.replies = std::move(replies);
    script.calls = calls;
    script.argumentLength = arguments;
    script.retries = retries;
    return script;
}

void WriteReplySeeds(const fs::path& directory)
{
    const Bytes bufferSize = Reply({0x00, 0x08, 0x00, 0x00});
    const Bytes sendAgain = sim::ReplyHeaderFrame(sim::ReplyCode::kSendAgain, 0);
    // A false start of the sync word, and noise that holds a whole one.
    const Bytes falseStart = {0x00, 0x78, 0x5A, 0x78, 0x5A, 0x3C};
    const Bytes syncInNoise = {0x00, 0x78, 0x5A, 0x78, 0x5A, 0x3C, 0x1E};

    Write(directory, "buffer-size", Script({bufferSize}).Encode());
    Write(directory, "noise-before-reply", Script({Concat({falseStart, bufferSize})}).Encode());
    Write(directory, "sync-word-in-noise-costs-an-attempt",
          Script({Concat({syncInNoise, bufferSize}), bufferSize}).Encode());
    Write(directory, "send-again-then-reply", Script({sendAgain, bufferSize}).Encode());
    Write(directory, "damaged-header-then-reply",
          Script({Damaged(sim::ReplyHeaderFrame(0xFF, 4)), bufferSize}).Encode());
    Write(directory, "damaged-data-then-reply", Script({Damaged(bufferSize), bufferSize}).Encode());
    Write(directory, "refused", Script({sim::ReplyHeaderFrame(0x00, 0)}).Encode());
    Write(directory, "reply-without-data", Script({Reply({})}, 1, 6).Encode());
    Write(directory, "reply-too-large-for-message",
          Script({sim::ReplyHeaderFrame(0xFF, 0xFFF8)}, 1, 16).Encode());
    Write(directory, "silent-device", Script({{}, {}, {}, {}}).Encode());
    Write(directory, "two-replies-after-a-silence",
          Script({{}, Concat({bufferSize, Reply({7})})}).Encode());
    Write(directory, "three-calls",
          Script({Reply({1, 2, 3}), Damaged(Reply({4})), Reply({4}), Reply({5, 6})}, 3, 2, 2)
              .Encode());
}

// --- Host requests ---------------------------------------------------------------

Bytes U32(uint32_t value)
{
    Bytes bytes;
    sim::AppendU32(bytes, value);
    return bytes;
}

Bytes Counted(const Bytes& bytes)
{
    Bytes out;
    sim::AppendU16(out, static_cast<uint16_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

// One upload's worth of requests, as the host makes them.
std::vector<fuzzinput::RequestScript::Request> Session()
{
    using namespace sim::Procedure;
    const Bytes chunk = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    const std::string text = "Uploading seed.bit\n";
    return {
        {kHandshake, U32(0xBAADF00D)},
        {kGetBufferSize, {}},
        {kPrintText, Counted(Bytes(text.begin(), text.end() + 1))},
        {kSetTransferState, {1, 0}},
        {kLoadBuffer, Concat({U32(0), Counted(chunk)})},
        {kGetBufferChecksum, U32(static_cast<uint32_t>(chunk.size()))},
        {kOpenRange, Concat({U32(0x3C0000), U32(8)})},
        {kEraseRange, Concat({U32(0x3C0000), U32(8)})},
        {kProgramRange, Concat({U32(0x3C0000), U32(8)})},
        {kCloseRange, Concat({U32(0x3C0000), U32(8)})},
        {kSetTransferState, {0, 0}},
        {kFinishUpload, U32(0x08020000)},
        {5, {}},
    };
}

fuzzinput::RequestScript Requests(bool framedHere, int pieceMode = 0, bool quiet = false)
{
    fuzzinput::RequestScript script;
    script.framedHere = framedHere;
    script.pieceMode = pieceMode;
    script.quietBetweenPieces = quiet;
    script.requests = Session();
    if (!framedHere)
        script.traffic = fuzzinput::RequestScript::Frame(script.requests);
    return script;
}

void WriteRequestSeeds(const fs::path& directory)
{
    Write(directory, "session-framed", Requests(true).Encode());
    Write(directory, "session-raw", Requests(false).Encode());
    Write(directory, "session-byte-by-byte", Requests(false, 1).Encode());
    Write(directory, "session-in-pieces-with-quiet-line", Requests(false, 3, true).Encode());

    fuzzinput::RequestScript damaged = Requests(false);
    damaged.traffic[8] ^= 0x01;   // the first request's header checksum
    damaged.traffic.insert(damaged.traffic.begin() + 40, {0x78, 0x5A, 0x00}); // noise
    damaged.traffic.back() ^= 0x01; // the last request's argument checksum
    Write(directory, "damaged-and-noisy", damaged.Encode());

    fuzzinput::RequestScript oversize = Requests(true);
    oversize.maxArgumentLength = 16;
    oversize.requests = {{sim::Procedure::kLoadBuffer, Concat({U32(0), Counted(Bytes(32, 0xAB))})},
                         {sim::Procedure::kGetBufferSize, {}}};
    Write(directory, "request-too-large", oversize.Encode());

    fuzzinput::RequestScript smallBuffer = Requests(true);
    smallBuffer.bufferSize = 16;
    smallBuffer.requests = {{sim::Procedure::kLoadBuffer, Concat({U32(12), Counted(Bytes(8, 1))})},
                            {sim::Procedure::kGetBufferChecksum, U32(17)},
                            {sim::Procedure::kProgramRange, Concat({U32(0x3FFFF8), U32(16)})}};
    Write(directory, "past-the-buffer", smallBuffer.Encode());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    WriteBitstreamSeeds(root / "bitstream");
    WriteReplySeeds(root / "rpc_reply");
    WriteRequestSeeds(root / "sim_request");
    return 0;
}
