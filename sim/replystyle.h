#pragma once
// How a cartridge shapes the data of its replies, within what the protocol
// leaves to the device: the host reads nothing from some replies, and only
// the first bytes of the others, so a cartridge that keeps the protocol may
// send any data after the first and more than the host reads after the
// others. A style is a combination of these choices; the named ones are
// the devices the tests and the fault campaign upload to.
//
//   exact   the ignored replies carry no data; a status 4 bytes, the buffer
//           size 4, status and checksum 6
//   status  the ignored replies carry a 4-byte status 0; the rest exact
//   padded  the ignored replies carry no data; every reply the host reads
//           carries 1-3 bytes more (random, a quarter of them zeros)
//   random  the ignored replies carry 0-16 random bytes; the replies the
//           host reads carry 0-3 random bytes more
//   terse   Handshake, OpenRange, EraseRange and CloseRange answer success
//           with no data at all (the host reads that as status 0); a
//           failure, ProgramRange, the size and the checksum exact
//
// The random choices come from a generator seeded with `seed`: the same
// replies, run after run.
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

struct ReplyStyle
{
    // The data of a reply to LoadBuffer, PrintText, SetTransferState and
    // FinishUpload, which the host does not read.
    enum class Ignored
    {
        None,   // no data
        Status, // a 4-byte status 0
        Random, // 0 to kMaxIgnoredBytes random bytes
    };

    static constexpr uint32_t kMaxExtraBytes = 16;
    static constexpr uint32_t kMaxIgnoredBytes = 16;

    Ignored ignored = Ignored::None;
    // Bytes behind the fields of each reply the host reads (status, size,
    // status and checksum): from extraMin to extraMax, each count as likely.
    uint32_t extraMin = 0;
    uint32_t extraMax = 0;
    // The share (0..1) of those replies whose extra bytes are all zeros.
    double extraZeros = 0.0;
    // Status procedures other than ProgramRange answer success without data.
    bool terse = false;
    uint64_t seed = 1;

    static const char* const kDefaultName; // "exact"
    // The style of that name; nothing for a name that is none of Names().
    static std::optional<ReplyStyle> Named(const std::string& name);
    static std::vector<std::string> Names();
    static std::optional<Ignored> IgnoredNamed(const std::string& name); // none|status|random

    // Whether every reply carries exactly the bytes the host reads.
    bool Exact() const { return ignored == Ignored::None && extraMax == 0 && !terse; }
};

// Shapes a cartridge's reply data to its style, one reply after the other.
class ReplyShaper
{
public:
    explicit ReplyShaper(const ReplyStyle& style = ReplyStyle{});
    const ReplyStyle& Style() const { return style; }

    // The data `procedure` answers in this style, for `data` the exact
    // reply. A reply without the fields the host reads (a buffer size not
    // given) stays as it is.
    std::vector<uint8_t> Shape(uint8_t procedure, std::vector<uint8_t> data);

private:
    uint32_t Between(uint32_t low, uint32_t high);
    void AppendRandom(std::vector<uint8_t>& data, uint32_t count, bool zeros);

    ReplyStyle style;
    std::mt19937_64 generator;
};

} // namespace sim
