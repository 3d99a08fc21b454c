#include "cli/ports.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>

#include "cli/console.h"
#include "cli/exitstatus.h"

namespace plemoflash {

namespace {

void PrintPorts(const std::vector<PortState>& ports, std::FILE* out)
{
    std::size_t width = 0;
    for (const PortState& port : ports)
        width = std::max(width, port.name.size());
    for (const PortState& port : ports) {
        const std::string identity = DescribeIdentity(port.identity);
        std::fprintf(out, "  %-*s  %s%s%s%s\n", static_cast<int>(width), port.name.c_str(),
                     DescribeState(port).c_str(), identity.empty() ? "" : "  (",
                     identity.c_str(), identity.empty() ? "" : ")");
    }
}

} // namespace

std::vector<std::string> CandidatePortNames()
{
    if (!qEnvironmentVariableIsSet(kCandidatePortsVariable))
        return GetCandidatePortNames();
    std::vector<std::string> names;
    const QStringList given = qEnvironmentVariable(kCandidatePortsVariable)
                                  .split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString& name : given)
        names.push_back(name.toStdString());
    return names;
}

bool IsPortPattern(const std::string& given)
{
    return given.find_first_of("*?[") != std::string::npos;
}

std::vector<std::string> PortsNamedBy(const std::string& pattern)
{
    if (!IsPortPattern(pattern))
        return {SystemPortName(pattern)};
    // A Windows name is matched without its "\\.\" as people write it.
    const auto spoken = [](const std::string& name) {
        return QString::fromStdString(name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name);
    };
#ifdef Q_OS_WIN
    constexpr auto kNameCase = QRegularExpression::CaseInsensitiveOption;
#else
    constexpr auto kNameCase = QRegularExpression::NoPatternOption;
#endif
    const QRegularExpression matching(QRegularExpression::wildcardToRegularExpression(spoken(pattern)),
                                      kNameCase);
    std::vector<std::string> names;
    for (const std::string& name : CandidatePortNames())
        if (matching.match(spoken(name)).hasMatch())
            names.push_back(name);
    return names;
}

std::vector<PortState> SurveyPorts()
{
    return SurveyPorts(CandidatePortNames());
}

std::vector<PortState> SurveyPorts(const std::vector<std::string>& candidates)
{
    const std::vector<SerialPortInfo> found = DiscoverSerialPorts(candidates, false);
    std::vector<PortState> ports;
    for (const std::string& name : candidates) {
        const auto met = std::find_if(found.begin(), found.end(),
                                      [&name](const SerialPortInfo& info) { return info.name == name; });
        PortState port{name, PortState::State::Free, {}, IdentifyPort(name)};
        if (met != found.end() && met->inUse) {
            port.state = PortState::State::Refused;
            port.refusal = ExplainRefusedPort(name);
        } else if (met == found.end()) {
            // Discovery leaves out what does not exist and what failed
            // otherwise; a device node that is there is worth a word.
            if (!QFileInfo::exists(QString::fromStdString(name)))
                continue;
            port.state = PortState::State::Unusable;
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

std::string DescribeState(const PortState& port)
{
    switch (port.state) {
    case PortState::State::Free:
        return "free";
    case PortState::State::Unusable:
        return "present, but does not open as a serial port";
    case PortState::State::Refused:
        break;
    }
    const PortRefusal& refusal = port.refusal;
    if (refusal.reason == PortRefusal::Reason::NoPermission)
        return "refused: no permission; " + RefusalHint(refusal);
    std::string text = "held by another program";
    if (refusal.holderPid != 0) {
        text += " (pid " + std::to_string(refusal.holderPid);
        if (!refusal.holderName.empty())
            text += ", " + refusal.holderName;
        text += ")";
    }
    return text;
}

std::string DescribeIdentity(const PortIdentity& identity)
{
    std::string text = identity.manufacturer;
    const auto add = [&text](const std::string& separator, const std::string& part) {
        if (part.empty())
            return;
        if (!text.empty())
            text += separator;
        text += part;
    };
    add(" ", identity.product);
    if (!identity.serialNumber.empty())
        add(", ", "serial number " + identity.serialNumber);
    add(", ", identity.stableName);
    return text;
}

std::string RefusalHint(const PortRefusal& refusal)
{
    if (refusal.reason == PortRefusal::Reason::HeldByAnotherProgram)
        return "close that program, or choose another port";
    if (refusal.group.empty())
        return "ask for access to the port";
    if (refusal.groupNeedsNewLogin)
        return "you are in the group " + refusal.group +
               ", but this login is not yet: log out and in again";
    return "join the group " + refusal.group + " (sudo usermod -aG " + refusal.group +
           " $USER), then log out and in again";
}

int ListPorts(std::FILE* out)
{
    const std::vector<PortState> ports = SurveyPorts();
    if (ports.empty())
        std::fprintf(out, "no serial port found (candidates tried: %s)\n",
                     std::to_string(CandidatePortNames().size()).c_str());
    else
        PrintPorts(ports, out);
    std::fflush(out);
    return kSucceeded;
}

std::optional<std::string> ChooseFreePort(std::FILE* err)
{
    const std::vector<PortState> ports = SurveyPorts();
    const auto freeCount = std::count_if(ports.begin(), ports.end(), [](const PortState& port) {
        return port.state == PortState::State::Free;
    });
    if (freeCount == 1)
        return std::find_if(ports.begin(), ports.end(), [](const PortState& port) {
                   return port.state == PortState::State::Free;
               })->name;
    if (freeCount == 0)
        std::fprintf(err, "plemo-flash: no free serial port: plug the cable in, or name the port "
                          "with --port%s\n",
                     ports.empty() ? "" : "; the ports found:");
    else
        std::fprintf(err, "plemo-flash: %d free serial ports: choose one with --port\n",
                     static_cast<int>(freeCount));
    PrintPorts(ports, err);
    return std::nullopt;
}

} // namespace plemoflash
