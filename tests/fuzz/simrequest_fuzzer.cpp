// Any host traffic into the simulated cartridge (requestscript.h): the
// device engine's receiver cuts it into requests, the cartridge carries out
// what is intact, and the replies go on the line.
//
// Properties:
//  - the device's output is nothing but well-formed replies: sync word,
//    code, length and a right header checksum; after 0xFF the data and its
//    right checksum, after any other code no data;
//  - one reply for every request that ended (intact, damaged or too large),
//    none for bytes that never formed one;
//  - requests framed correctly and delivered whole are every one heard
//    intact, in full, and none is taken for damaged;
//  - the device's records, screen and buffer stay within their bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/cartridge.h"
#include "sim/wire.h"
#include "tests/fuzz/fuzzcheck.h"
#include "tests/fuzz/requestscript.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fuzzinput::RequestScript;

void Feed(sim::DeviceEngine& engine, const Bytes& traffic, const RequestScript& script)
{
    const size_t piece = RequestScript::kPieceSizes[script.pieceMode];
    if (piece == 0) {
        engine.Feed(traffic);
        return;
    }
    for (size_t at = 0; at < traffic.size(); at += piece) {
        engine.Feed(traffic.data() + at, std::min(piece, traffic.size() - at));
        if (script.quietBetweenPieces)
            engine.LineIdle();
    }
}

Bytes TakeOutput(sim::DeviceEngine& engine)
{
    Bytes line;
    sim::OutputChunk chunk;
    while (engine.TakeOutput(chunk)) {
        FUZZ_CHECK(chunk.delay.count() == 0);
        line.insert(line.end(), chunk.bytes.begin(), chunk.bytes.end());
    }
    return line;
}

uint16_t LittleEndian16(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// Reads the line as a sequence of replies; the number of replies.
size_t CheckRepliesWellFormed(const Bytes& line)
{
    constexpr size_t kSync = sizeof sim::kSyncBytes;
    constexpr size_t kHeader = kSync + sim::kHeaderPayloadLength + sim::kChecksumLength;
    size_t replies = 0;
    size_t at = 0;
    while (at < line.size()) {
        FUZZ_CHECK(line.size() - at >= kHeader);
        FUZZ_CHECK(std::equal(std::begin(sim::kSyncBytes), std::end(sim::kSyncBytes),
                              line.begin() + static_cast<std::ptrdiff_t>(at)));
        const uint8_t* payload = line.data() + at + kSync;
        FUZZ_CHECK(sim::ByteSum(payload, sim::kHeaderPayloadLength) ==
                   LittleEndian16(payload + sim::kHeaderPayloadLength));
        const uint8_t code = payload[0];
        const size_t length = LittleEndian16(payload + 1);
        at += kHeader;
        if (code == sim::ReplyCode::kReplyFollows) {
            FUZZ_CHECK(line.size() - at >= length + sim::kChecksumLength);
            FUZZ_CHECK(sim::ByteSum(line.data() + at, length) ==
                       LittleEndian16(line.data() + at + length));
            at += length + sim::kChecksumLength;
        } else {
            FUZZ_CHECK(length == 0);
        }
        ++replies;
    }
    return replies;
}

void CheckBounds(const sim::Cartridge& cartridge, uint32_t bufferSize)
{
    FUZZ_CHECK(cartridge.BufferSize() == bufferSize);
    FUZZ_CHECK(cartridge.Flash().Contents().size() == sim::FlashModel::kSize);
    FUZZ_CHECK(cartridge.ScreenText().size() <= sim::Cartridge::kMaxScreenText);
    FUZZ_CHECK(cartridge.Calls().size() <= sim::Cartridge::kMaxCallRecords);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const RequestScript script = RequestScript::Decode(bytes, size);
    sim::Cartridge cartridge(script.bufferSize);
    sim::DeviceEngine& engine = cartridge.Engine();
    if (script.maxArgumentLength != 0)
        engine.SetMaxArgumentLength(script.maxArgumentLength);

    const Bytes traffic =
        script.framedHere ? RequestScript::Frame(script.requests) : script.traffic;
    Feed(engine, traffic, script);

    const sim::EngineStats& stats = engine.Stats();
    const size_t replies = CheckRepliesWellFormed(TakeOutput(engine));
    FUZZ_CHECK(replies == stats.replies);
    FUZZ_CHECK(replies == stats.requests + stats.oversizeRequests + stats.badHeaderSums +
                              stats.badArgumentSums);
    if (script.framedHere && !script.quietBetweenPieces) {
        FUZZ_CHECK(stats.badHeaderSums == 0 && stats.badArgumentSums == 0);
        FUZZ_CHECK(stats.requests + stats.oversizeRequests == script.requests.size());
        FUZZ_CHECK(stats.skippedBytes == 0);
    }
    CheckBounds(cartridge, script.bufferSize);
    return 0;
}
