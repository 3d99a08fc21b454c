#pragma once
// The serial ports plemo-flash can use: the candidates, what state each one
// that exists is in, and the one port to use when none is named. Nothing is
// ever sent on a port here; discovery opens and closes each candidate once.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "serial/portdiscovery.h"

namespace plemoflash {

// Test rigs name their own candidates (pseudo-terminals) in this variable,
// separated as PATH is (':' on POSIX, ';' on Windows); it replaces the
// machine's candidate names.
constexpr char kCandidatePortsVariable[] = "PLEMO_CANDIDATE_PORTS";

std::vector<std::string> CandidatePortNames();

struct PortState
{
    enum class State
    {
        Free,
        Refused,  // held by another program, or no permission: see `refusal`
        Unusable, // exists, but does not open as a serial port
    };
    std::string name;
    State state = State::Free;
    PortRefusal refusal;
    PortIdentity identity; // maker, product, serial number, stable name, where known
};

// Every candidate that exists, in candidate order.
std::vector<PortState> SurveyPorts();
// The same over `names`, which must hold no port with an upload under way:
// each is opened (at 9600 baud) and closed again.
std::vector<PortState> SurveyPorts(const std::vector<std::string>& names);

// "free", "held by another program (pid 4321, minicom)", ...
std::string DescribeState(const PortState& port);
// "QEMU QEMU USB SERIAL, serial number 1, /dev/serial/by-id/...", or "" when
// nothing is known.
std::string DescribeIdentity(const PortIdentity& identity);
// What to do about a refused port.
std::string RefusalHint(const PortRefusal& refusal);

// A --port that names ports by a pattern ("/dev/ttyUSB*", "COM?"), where no
// shell expanded it.
bool IsPortPattern(const std::string& given);
// The ports a --port names, as the system opens them: a pattern, the
// candidates it matches (on Windows "COM*" names "\\.\com1" and so on, in
// any case); else the one port.
std::vector<std::string> PortsNamedBy(const std::string& given);

// --list-ports: an exit status.
int ListPorts(std::FILE* out);

// The one free candidate; else nothing, with the reason and the ports met
// said on `err`.
std::optional<std::string> ChooseFreePort(std::FILE* err);

} // namespace plemoflash
