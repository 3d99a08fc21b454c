#include "sim/cartsimoptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

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

} // namespace

const char* CartsimUsage()
{
    return "Usage: plemo-cartsim [options]\n"
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
           "  --seed S                    the generator's seed (default 1)\n"
           "\n"
           "  --verbose                   print every procedure call\n"
           "  --quiet                     do not print the cartridge's screen\n"
           "  --help                      this text\n"
           "\n"
           "Stop it with Ctrl+C (SIGINT) or SIGTERM.\n";
}

bool ParseCartsimOptions(int argc, char** argv, CartsimOptions& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takesValue = true;
        bool valid = true;
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
        } else if (option == "--dump") {
            valid = value != nullptr && *value != '\0';
            if (valid)
                options.dumpPath = value;
        } else if (option == "--fall-silent-at") {
            uint32_t procedure = 0;
            valid = ParseCount(value, 0, 255, procedure);
            options.fallSilentAt = static_cast<int>(procedure);
        } else if (ParseFaultOption(option, value, options.faults, valid)) {
            options.faultsGiven = true;
        } else if (option == "--load") {
            valid = value != nullptr && *value != '\0';
            if (valid)
                options.loadPath = value;
        } else {
            takesValue = false;
            if (option == "--full-speed")
                options.baud = 0;
            else if (option == "--verbose")
                options.verbose = true;
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
            return false;
        }
        if (takesValue)
            ++i;
    }
    if (options.faults.Total() > 1.0) {
        error = "the fault rates add up to more than 1";
        return false;
    }
    return true;
}

} // namespace sim
