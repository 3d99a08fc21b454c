#include "sim/replystyle.h"

#include <algorithm>

#include "sim/procedures.h"

namespace sim {

namespace {

struct NamedStyle
{
    const char* name;
    ReplyStyle style;
};

ReplyStyle Style(ReplyStyle::Ignored ignored, uint32_t extraMin, uint32_t extraMax,
                 double extraZeros, bool terse)
{
    ReplyStyle style;
    style.ignored = ignored;
    style.extraMin = extraMin;
    style.extraMax = extraMax;
    style.extraZeros = extraZeros;
    style.terse = terse;
    return style;
}

const std::vector<NamedStyle>& NamedStyles()
{
    using Ignored = ReplyStyle::Ignored;
    static const std::vector<NamedStyle> styles = {
        {"exact", Style(Ignored::None, 0, 0, 0.0, false)},
        {"status", Style(Ignored::Status, 0, 0, 0.0, false)},
        {"padded", Style(Ignored::None, 1, 3, 0.25, false)},
        {"random", Style(Ignored::Random, 0, 3, 0.0, false)},
        {"terse", Style(Ignored::None, 0, 0, 0.0, true)},
    };
    return styles;
}

bool IgnoresReply(uint8_t procedure)
{
    return procedure == Procedure::kLoadBuffer || procedure == Procedure::kPrintText ||
           procedure == Procedure::kSetTransferState || procedure == Procedure::kFinishUpload;
}

// Status procedures whose short reply the host reads as status 0.
bool StatusMayBeLeftOut(uint8_t procedure)
{
    return procedure == Procedure::kHandshake || procedure == Procedure::kOpenRange ||
           procedure == Procedure::kEraseRange || procedure == Procedure::kCloseRange;
}

// The bytes the host reads from a reply: its fields.
size_t FieldLength(uint8_t procedure)
{
    return procedure == Procedure::kGetBufferChecksum ? 6 : 4;
}

} // namespace

const char* const ReplyStyle::kDefaultName = "exact";

std::optional<ReplyStyle> ReplyStyle::Named(const std::string& name)
{
    for (const NamedStyle& named : NamedStyles()) {
        if (name == named.name)
            return named.style;
    }
    return std::nullopt;
}

std::vector<std::string> ReplyStyle::Names()
{
    std::vector<std::string> names;
    for (const NamedStyle& named : NamedStyles())
        names.emplace_back(named.name);
    return names;
}

std::optional<ReplyStyle::Ignored> ReplyStyle::IgnoredNamed(const std::string& name)
{
    if (name == "none")
        return Ignored::None;
    if (name == "status")
        return Ignored::Status;
    if (name == "random")
        return Ignored::Random;
    return std::nullopt;
}

ReplyShaper::ReplyShaper(const ReplyStyle& style) : style(style), generator(style.seed) {}

uint32_t ReplyShaper::Between(uint32_t low, uint32_t high)
{
    if (high <= low)
        return low;
    return low + static_cast<uint32_t>(generator() % (uint64_t{high} - low + 1));
}

void ReplyShaper::AppendRandom(std::vector<uint8_t>& data, uint32_t count, bool zeros)
{
    for (uint32_t i = 0; i < count; ++i)
        data.push_back(zeros ? 0 : static_cast<uint8_t>(generator()));
}

std::vector<uint8_t> ReplyShaper::Shape(uint8_t procedure, std::vector<uint8_t> data)
{
    if (IgnoresReply(procedure)) {
        switch (style.ignored) {
        case ReplyStyle::Ignored::None:
            break;
        case ReplyStyle::Ignored::Status:
            data.assign(4, 0);
            break;
        case ReplyStyle::Ignored::Random:
            data.clear();
            AppendRandom(data, Between(0, ReplyStyle::kMaxIgnoredBytes), false);
            break;
        }
        return data;
    }
    if (data.size() < FieldLength(procedure))
        return data;
    if (style.terse && StatusMayBeLeftOut(procedure) &&
        std::all_of(data.begin(), data.end(), [](uint8_t byte) { return byte == 0; }))
        return {};
    const uint32_t extra = Between(style.extraMin, std::min(style.extraMax, ReplyStyle::kMaxExtraBytes));
    if (extra > 0) {
        // 53 random bits as a fraction: the same draws with every library.
        const double draw = static_cast<double>(generator() >> 11) * 0x1.0p-53;
        AppendRandom(data, extra, draw < style.extraZeros);
    }
    return data;
}

} // namespace sim
