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

bool ParseSeconds(const char* text, double& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && *end == '\0' && value >= 0.0 && value <= 86400.0;
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
        if (option == "--link") {
            valid = value != nullptr && *value != '\0';
            if (valid)
                options.linkPath = value;
        } else if (option == "--boot-after-handshakes") {
            valid = ParseCount(value, 0, std::numeric_limits<uint32_t>::max(),
                               options.bootAfterHandshakes);
        } else if (option == "--boot-delay") {
            valid = ParseSeconds(value, options.bootDelaySeconds);
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
    return true;
}

} // namespace sim
