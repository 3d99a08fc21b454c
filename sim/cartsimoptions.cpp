#include "sim/cartsimoptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "sim/cartridge.h"

namespace sim {

namespace {

bool ParseCount(const char* text, uint32_t low, uint32_t high, uint32_t& value)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// A decimal number from `low` to `high`.
bool ParseNumber(const char* text, double low, double high, double& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

// The fault options; false when `option` is none of them.
bool ParseFaultOption(const std::string& option, const char* value, FaultRates& faults,
                      bool& valid)
{
    struct RateOption
    {
        const char* name;
        double FaultRates::*rate;
    };
    static const RateOption kRates[] = {
        {"--corrupt-reply-rate", &FaultRates::corruptReply},
        {"--corrupt-header-rate", &FaultRates::corruptHeader},
        {"--late-reply-rate", &FaultRates::lateReply},
        {"--ask-again-rate", &FaultRates::askAgain},
        {"--noise-rate", &FaultRates::noise},
        {"--drop-reply-rate", &FaultRates::dropReply},
    };
    for (const RateOption& rate : kRates) {
        if (option == rate.name) {
            valid = ParseNumber(value, 0.0, 1.0, faults.*rate.rate);
            return true;
        }
    }
    uint32_t count = 0;
    if (option == "--lateness") {
        valid = ParseCount(value, 1, 60000, count);
        faults.lateness = std::chrono::milliseconds(count);
    } else if (option == "--noise-bytes") {
        valid = ParseCount(value, 1, 4096, count);
        faults.noiseBytes = count;
    } else if (option == "--seed") {
        valid = ParseCount(value, 0, std::numeric_limits<uint32_t>::max(), count);
        faults.seed = count;
    } else {
        return false;
    }
    return true;
}

// The reply style's options, applied on top of the named style whatever
// their order on the command line.
struct StyleChoices
{
    std::string name = ReplyStyle::kDefaultName;
    std::optional<ReplyStyle::Ignored> ignored;
    std::optional<std::pair<uint32_t, uint32_t>> extra;
    std::optional<double> extraZeros;
    bool terse = false;
};

// N or MIN-MAX, each 0..ReplyStyle::kMaxExtraBytes.
bool ParseExtraBytes(const char* text, std::optional<std::pair<uint32_t, uint32_t>>& extra)
{
    if (text == nullptr)
        return false;
    const std::string value = text;
    const size_t dash = value.find('-', 1);
    uint32_t low = 0;
    uint32_t high = 0;
    if (dash == std::string::npos) {
        if (!ParseCount(text, 0, ReplyStyle::kMaxExtraBytes, low))
            return false;
        high = low;
    } else if (!ParseCount(value.substr(0, dash).c_str(), 0, ReplyStyle::kMaxExtraBytes, low) ||
               !ParseCount(value.substr(dash + 1).c_str(), low, ReplyStyle::kMaxExtraBytes, high)) {
        return false;
    }
    extra = std::make_pair(low, high);
    return true;
}

// The reply style options; false when `option` is none of them.
bool ParseStyleOption(const std::string& option, const char* value, StyleChoices& choices,
                      bool& valid, bool& takesValue)
{
    if (option == "--reply-style") {
        valid = value != nullptr && ReplyStyle::Named(value).has_value();
        if (valid)
            choices.name = value;
    } else if (option == "--ignored-replies") {
        choices.ignored = ReplyStyle::IgnoredNamed(value != nullptr ? value : "");
        valid = choices.ignored.has_value();
    } else if (option == "--extra-bytes") {
        valid = ParseExtraBytes(value, choices.extra);
    } else if (option == "--extra-zeros") {
        double share = 0.0;
        valid = ParseNumber(value, 0.0, 1.0, share);
        choices.extraZeros = share;
    } else if (option == "--terse-status") {
        choices.terse = true;
        takesValue = false;
    } else {
        return false;
    }
    return true;
}

ReplyStyle ChosenStyle(const StyleChoices& choices, uint64_t seed)
{
    ReplyStyle style = ReplyStyle::Named(choices.name).value_or(ReplyStyle{});
    if (choices.ignored)
        style.ignored = *choices.ignored;
    if (choices.extra) {
        style.extraMin = choices.extra->first;
        style.extraMax = choices.extra->second;
    }
    if (choices.extraZeros)
        style.extraZeros = *choices.extraZeros;
    style.terse = style.terse || choices.terse;
    style.seed = seed;
    return style;
}

// PROCEDURE:N, N from 1.
bool ParseRestart(const char* text, CartsimOptions& options)
{
    if (text == nullptr)
        return false;
    const std::string value = text;
    const size_t colon = value.find(':');
    uint32_t procedure = 0;
    if (colon == std::string::npos ||
        !ParseCount(value.substr(0, colon).c_str(), 0, 255, procedure) ||
        !ParseCount(value.substr(colon + 1).c_str(), 1, std::numeric_limits<uint32_t>::max(),
                    options.restartCall))
        return false;
    options.restartProcedure = static_cast<int>(procedure);
    return true;
}

std::string StyleNames()
{
    std::string names;
    for (const std::string& name : ReplyStyle::Names())
        names += (names.empty() ? "" : ", ") + name;
    return names;
}

constexpr char kUsage[] =
    "Usage: plemo-cartsim [options]\n"
    "\n"
    "A simulated cartridge on a pseudo-terminal. It prints the path of its serial\n"
    "end; open that path as the serial port of the Plemo Upload Utility (or make\n"
    "it appear under a name of your choice with --link). It answers the upload\n"
    "protocol with 4 MiB of flash, shows what the cartridge's screen would show,\n"
    "and keeps serving when the port is closed and opened again.\n"
    "\n"
    "Options:\n"
    "  --link PATH                 also make PATH a symlink to the serial end;\n"
    "                              it is removed on exit\n"
    "  --tty PATH                  answer on this existing terminal (a USB gadget's\n"
    "                              serial port, say) instead of a pseudo-terminal\n"
    "  --boot-after-handshakes N   ignore the first N handshakes, as a cartridge\n"
    "                              that is still booting (default 0)\n"
    "  --boot-delay SECONDS        stay silent this long after start, then boot\n"
    "  --buffer-size BYTES         the transfer buffer (default 4096, 1..1048576)\n"
    "  --baud N                    line speed to pace at (default 38400)\n"
    "  --full-speed                no pacing: bytes cross the line at once\n"
    "  --adapter-latency MS        hold replies as a USB adapter's latency timer\n"
    "                              does: sent when 62 bytes are held or MS ms\n"
    "                              after the last came in (default 0: not held)\n"
    "  --dump FILE                 write the flash to FILE on exit and on SIGUSR1\n"
    "  --load FILE                 start with this flash image instead of an\n"
    "                              erased chip\n"
    "  --fall-silent-at PROCEDURE  answer nothing more from the first request of\n"
    "                              that procedure number on (4: as a block is\n"
    "                              committed)\n"
    "\n"
    "Faults, each on a share R (0..1) of the replies, drawn from a seeded\n"
    "generator; what took effect is printed on exit:\n"
    "  --corrupt-reply-rate R      the reply's data sum arrives wrong\n"
    "  --corrupt-header-rate R     the reply header's sum arrives wrong\n"
    "  --late-reply-rate R         the reply leaves --lateness later\n"
    "  --lateness MS               how much later (default 1500)\n"
    "  --ask-again-rate R          0xFE (send again) instead of the reply\n"
    "  --noise-rate R              --noise-bytes of noise before the reply\n"
    "  --noise-bytes N             bytes of each burst (default 8)\n"
    "  --drop-reply-rate R         the request is carried out, its reply lost\n"
    "  --silent-on-damage          say nothing to a request heard damaged\n"
    "                              (instead of 0xFE, send again)\n"
    "  --seed S                    the generator's seed (default 1; also the\n"
    "                              reply style's)\n"
    "\n"
    "Reply styles: what the cartridge puts in its replies, within what the\n"
    "protocol leaves open (the faults above come on top of any style):\n"
    "  --reply-style NAME          one of:\n"
    "      exact    no data where the host reads none (LoadBuffer, PrintText,\n"
    "               SetTransferState, FinishUpload); a status 4 bytes, the buffer\n"
    "               size 4, status and checksum 6 (the default)\n"
    "      status   those four answer a 4-byte status 0; the rest exact\n"
    "      padded   1-3 bytes (random, at times zeros) behind every status,\n"
    "               size and checksum; no data where the host reads none\n"
    "      random   0-16 random bytes where the host reads none; 0-3 random\n"
    "               bytes behind every status, size and checksum\n"
    "      terse    Handshake, OpenRange, EraseRange and CloseRange answer\n"
    "               success with no data at all; the rest exact\n"
    "  --ignored-replies KIND      none, status or random (0-16 bytes): the\n"
    "                              data of the replies the host does not read\n"
    "  --extra-bytes N|MIN-MAX     bytes (0-16) behind the fields of the\n"
    "                              replies the host reads\n"
    "  --extra-zeros R             the share (0..1) of those that are zeros\n"
    "  --terse-status              success without data, as in terse\n"
    "  These options change the chosen style, in any order.\n"
    "\n"
    "A restart in the middle of an upload:\n"
    "  --restart-at-call PROC:N    at the N-th request of procedure number PROC\n"
    "                              (1 = the first) the cartridge is switched off:\n"
    "                              it hears nothing for --off-for, then comes\n"
    "                              back with an empty buffer and no open range,\n"
    "                              silent until a handshake finds it booted\n"
    "  --off-for MS                how long it stays off (default 2000)\n"
    "\n"
    "  --verbose                   print every procedure call\n"
    "  --quiet                     do not print the cartridge's screen\n"
    "  --help                      this text\n"
    "\n"
    "Stop it with Ctrl+C (SIGINT) or SIGTERM.\n";

} // namespace

const char* CartsimUsage()
{
    return kUsage;
}

namespace {

// The options that take a value (other than the faults' and the reply
// style's); false when `option` is none of them.
bool ParseValueOption(const std::string& option, const char* value, CartsimOptions& options,
                      bool& valid)
{
    if (option == "--link" || option == "--tty") {
        valid = value != nullptr && *value != '\0';
        if (valid)
            (option == "--link" ? options.linkPath : options.ttyPath) = value;
    } else if (option == "--boot-after-handshakes") {
        valid = ParseCount(value, 0, std::numeric_limits<uint32_t>::max(),
                           options.bootAfterHandshakes);
    } else if (option == "--boot-delay") {
        valid = ParseNumber(value, 0.0, 86400.0, options.bootDelaySeconds);
        options.bootDelayGiven = valid;
    } else if (option == "--buffer-size") {
        valid = ParseCount(value, 1, Cartridge::kMaxBufferSize, options.bufferSize);
    } else if (option == "--baud") {
        valid = ParseCount(value, 50, 4000000, options.baud);
    } else if (option == "--adapter-latency") {
        valid = ParseCount(value, 0, 255, options.adapterLatencyMs);
    } else if (option == "--dump") {
        valid = value != nullptr && *value != '\0';
        if (valid)
            options.dumpPath = value;
    } else if (option == "--fall-silent-at") {
        uint32_t procedure = 0;
        valid = ParseCount(value, 0, 255, procedure);
        options.fallSilentAt = static_cast<int>(procedure);
    } else if (option == "--restart-at-call") {
        valid = ParseRestart(value, options);
    } else if (option == "--off-for") {
        valid = ParseCount(value, 0, 3600000, options.offForMs);
    } else if (option == "--load") {
        valid = value != nullptr && *value != '\0';
        if (valid)
            options.loadPath = value;
    } else {
        return false;
    }
    return true;
}

} // namespace

bool ParseCartsimOptions(int argc, char** argv, CartsimOptions& options, std::string& error)
{
    StyleChoices style;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takesValue = true;
        bool valid = true;
        if (ParseValueOption(option, value, options, valid)) {
        } else if (ParseFaultOption(option, value, options.faults, valid)) {
            options.faultsGiven = true;
        } else if (ParseStyleOption(option, value, style, valid, takesValue)) {
        } else {
            takesValue = false;
            if (option == "--full-speed")
                options.baud = 0;
            else if (option == "--verbose")
                options.verbose = true;
            else if (option == "--silent-on-damage")
                options.silentOnDamage = true;
            else if (option == "--quiet")
                options.quiet = true;
            else if (option == "--help" || option == "-h")
                options.help = true;
            else {
                error = "unknown option '" + option + "'";
                return false;
            }
        }
        if (!valid) {
            error = value == nullptr ? option + " needs a value"
                                     : "bad value '" + std::string(value) + "' for " + option;
            if (option == "--reply-style")
                error += " (one of " + StyleNames() + ")";
            return false;
        }
        if (takesValue)
            ++i;
    }
    options.replyStyle = ChosenStyle(style, options.faults.seed);
    if (options.faults.Total() > 1.0) {
        error = "the fault rates add up to more than 1";
        return false;
    }
    return true;
}

} // namespace sim
