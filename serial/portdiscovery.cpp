#include "serial/portdiscovery.h"

#include "serial/serialstream.h"

namespace {

// Milliseconds since discovery began, for the trace lines.
class Elapsed
{
public:
    Elapsed() : start(DiscoveryTicks()) {}
    int operator()() const { return static_cast<int32_t>(DiscoveryTicks() - start); }

private:
    uint32_t start;
};

// Opens, optionally probes and closes one candidate; appends what it found.
void TryCandidate(CSerialStream& stream, const std::string& candidate, bool testForModem,
                  const Elapsed& elapsed, std::vector<SerialPortInfo>& found)
{
    try {
        TraceLog("%d: about to connect to %s\n", elapsed(), candidate.c_str());
        stream.Open(candidate);
        bool isModem = false;
        if (testForModem) {
            TraceLog("%d: about to test if modem\n", elapsed());
            isModem = stream.ProbeModem();
            TraceLog("%d: done testing, modem=%d\n", elapsed(), isModem ? 1 : 0);
        }
        found.push_back(SerialPortInfo{candidate, false, isModem});
        TraceLog("%d: about to disconnect\n", elapsed());
        stream.Close();
        TraceLog("%d: disconnected\n", elapsed());
    } catch (const SerialStreamError& error) {
        // A port left open by the failure is closed by the next Open, or by
        // the final Close.
        if (error.code == SerialStreamError::AccessDenied)
            found.push_back(SerialPortInfo{candidate, true, false});
    }
}

std::vector<SerialPortInfo> Discover(const std::vector<std::string>* givenNames,
                                     bool testForModem)
{
    const Elapsed elapsed;
    std::vector<SerialPortInfo> found;
    CSerialStream stream;
    TraceLog("%d: about to find candidate portnames\n", elapsed());
    const std::vector<std::string> candidates =
        givenNames != nullptr ? *givenNames : GetCandidatePortNames();
    TraceLog("%d: found candidate portnames\n", elapsed());

    for (const std::string& candidate : candidates)
        TryCandidate(stream, candidate, testForModem, elapsed, found);
    stream.Close();
    return found;
}

} // namespace

std::vector<SerialPortInfo> DiscoverSerialPorts(bool testForModem)
{
    return Discover(nullptr, testForModem);
}

std::vector<SerialPortInfo> DiscoverSerialPorts(const std::vector<std::string>& candidateNames,
                                                bool testForModem)
{
    return Discover(&candidateNames, testForModem);
}
