#include "bench/campaignkinds.h"

#include <algorithm>
#include <memory>

#include "bench/campaignchannel.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"
#include "sim/procedures.h"

namespace bench {

namespace {

using FaultMaker = std::function<sim::Fault(std::mt19937&)>;

bool Chance(std::mt19937& random, double probability)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < probability;
}

uint64_t Uniform(std::mt19937& random, uint64_t low, uint64_t high)
{
    return std::uniform_int_distribution<uint64_t>(low, high)(random);
}

// Each reply gets `make`'s fault with the given chance, else none.
sim::DeviceEngine::FaultSource EveryReply(std::mt19937& random, double rate, FaultMaker make)
{
    return [&random, rate, make]() {
        return Chance(random, rate) ? make(random) : sim::Fault::None();
    };
}

// Line noise as a device or a long cable produces it, with the nastier
// shapes mixed in: the start of a sync word, or a whole one followed by
// rubbish, which costs the host an attempt.
sim::Fault NoiseBurst(std::mt19937& random)
{
    std::vector<uint8_t> bytes(Uniform(random, 1, 64));
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    const uint8_t sync[] = {0x78, 0x5A, 0x3C, 0x1E};
    const uint64_t shape = Uniform(random, 0, 3);
    if (shape > 0 && bytes.size() >= 4) {
        const size_t syncBytes = shape == 3 ? 4 : Uniform(random, 1, 3);
        std::copy(sync, sync + syncBytes, bytes.end() - 4);
    }
    return sim::Fault::Noise(std::move(bytes));
}

// A storm of "send again" answers: 1 to 40 replies in a row, beyond the
// link's bound of 32 now and then.
sim::DeviceEngine::FaultSource Storms(std::mt19937& random, double rate)
{
    auto left = std::make_shared<uint64_t>(0);
    return [&random, rate, left]() {
        if (*left == 0 && Chance(random, rate))
            *left = Uniform(random, 1, 40);
        if (*left == 0)
            return sim::Fault::None();
        --*left;
        return sim::Fault::AskAgain();
    };
}

InProcessKind ReplyFaults(std::string name, std::string rate, double chance, FaultMaker make)
{
    return {std::move(name), std::move(rate), true, [chance, make](RunSetup& setup) {
                setup.cartridge.Engine().SetFaultSource(EveryReply(setup.random, chance, make));
            }};
}

InProcessKind SingleDamage(std::string name, std::string rate, double toDevice, double toHost)
{
    return {std::move(name), std::move(rate), true, [toDevice, toHost](RunSetup& setup) {
                setup.meter.SetDamagePerByte(toDevice, toHost);
            }};
}

InProcessKind LineDamage(std::string name, std::string rate, sim::LineNoise::Rates rates,
                         bool visible)
{
    return {std::move(name), std::move(rate), visible, [rates](RunSetup& setup) {
                setup.channel.SetNoiseToDevice(sim::LineNoise(rates, setup.random()));
                setup.channel.SetNoiseToHost(sim::LineNoise(rates, setup.random()));
            }};
}

// The cartridge restarts once, between two of the host's writes anywhere in
// the run. `waitsForHandshake`: it then ignores everything until a
// handshake, as a cartridge whose Game Boy was switched off and on.
InProcessKind ResetOnce(std::string name, bool waitsForHandshake)
{
    return {std::move(name), "once a run", true, [waitsForHandshake](RunSetup& setup) {
                const uint64_t at = Uniform(setup.random, 0, setup.cleanWrites - 1);
                sim::Cartridge& cartridge = setup.cartridge;
                setup.meter.SetWriteHook([&cartridge, at, waitsForHandshake](uint64_t write) {
                    if (write != at)
                        return;
                    if (waitsForHandshake)
                        cartridge.BootAfterHandshakes(1);
                    cartridge.Reset();
                });
            }};
}

// The cartridge is switched off at a chunk of the upload for 2 s: it hears
// nothing, then comes back with its buffer empty, silent until a handshake.
InProcessKind SwitchedOffForTwoSeconds()
{
    return {"switched off 2 s at a chunk", "once a run", true, [](RunSetup& setup) {
                constexpr uint64_t kChunkBytes = 2048;
                const uint64_t chunks = std::max<uint64_t>(1, setup.cleanBytesOut / kChunkBytes);
                setup.cartridge.RestartAt(sim::Procedure::kLoadBuffer,
                                          static_cast<uint32_t>(Uniform(setup.random, 1, chunks)),
                                          std::chrono::seconds(2));
            }};
}

// Late by 0.2 to 3 s: from a slow answer to one that misses three of the
// link's attempts at the upload's 1,000 ms.
sim::Fault LateBySomeSeconds(std::mt19937& random)
{
    return sim::Fault::Late(std::chrono::milliseconds(Uniform(random, 200, 3000)));
}

// A floating receive line or a flaky cable: one stray byte every 100 ms,
// whatever the host is doing.
InProcessKind NoiseTrickle()
{
    return {"noise trickle", "a byte every 0.1 s", true, [](RunSetup& setup) {
                sim::DeviceEngine& engine = setup.cartridge.Engine();
                auto next = std::make_shared<IComm::Time>(std::chrono::milliseconds(100));
                setup.channel.SetClockHook([&engine, &random = setup.random, next](IComm::Time at) {
                    for (; *next <= at; *next += std::chrono::milliseconds(100))
                        engine.Babble({static_cast<uint8_t>(random())});
                });
            }};
}

// The cartridge dies as the first block is erased; `clickAfter` seconds
// later (negative: never) the user clicks Cancel.
InProcessKind SilentFromACommit(std::string name, double clickAfter)
{
    return {std::move(name), "once a run", true, [clickAfter](RunSetup& setup) {
                setup.cartridge.FallSilentAt(sim::Procedure::kEraseRange);
                setup.user.clickAfterSilence = clickAfter;
            }};
}

} // namespace

std::vector<InProcessKind> InProcessKinds()
{
    using sim::Fault;
    return {
        {"none", "-", true, [](RunSetup&) {}},
        SingleDamage("1 bit flip per request", "1e-4/byte", 1e-4, 0.0),
        SingleDamage("1 bit flip per request", "1e-3/byte", 1e-3, 0.0),
        SingleDamage("1 bit flip per reply", "1e-2/byte", 0.0, 1e-2),
        LineDamage("bit flips, both ways, any number", "1e-5/byte", {1e-5, 0.0}, false),
        LineDamage("bit flips, both ways, any number", "1e-4/byte", {1e-4, 0.0}, false),
        LineDamage("dropped bytes, both ways", "1e-4/byte", {0.0, 1e-4}, true),
        ReplyFaults("noise before the reply", "10% of replies", 0.10, NoiseBurst),
        {"0xFE storms (1-40 in a row)", "1% of replies", true,
         [](RunSetup& setup) { setup.cartridge.Engine().SetFaultSource(Storms(setup.random, 0.01)); }},
        ReplyFaults("late reply", "5% of replies", 0.05, [](std::mt19937&) { return Fault::Late(); }),
        ReplyFaults("late reply, 0.2-3 s late", "5% of replies", 0.05, LateBySomeSeconds),
        NoiseTrickle(),
        ReplyFaults("reply lost (request done)", "5% of replies", 0.05,
                    [](std::mt19937&) { return Fault::Dropped(); }),
        ReplyFaults("request unheard", "5% of requests", 0.05,
                    [](std::mt19937&) { return Fault::Silent(); }),
        ReplyFaults("damaged reply sums", "10% of replies", 0.10, [](std::mt19937& random) {
            return Chance(random, 0.5) ? Fault::DamagedHeaderSum() : Fault::DamagedDataSum();
        }),
        ResetOnce("device reset, answers at once", false),
        ResetOnce("device power cycle, waits for handshake", true),
        SwitchedOffForTwoSeconds(),
        {"cable pulled (in process)", "once a run", true,
         [](RunSetup& setup) {
             setup.channel.PullCableAfter(Uniform(setup.random, 0, setup.cleanBytesOut - 1));
         }},
        SilentFromACommit("cartridge silent from a commit", -1.0),
        SilentFromACommit("... and Cancel 1 s later", 1.0),
        {"Cancel at a random moment", "once a run", true,
         [](RunSetup& setup) {
             setup.user.clickAt =
                 std::uniform_real_distribution<double>(0.0, setup.cleanSeconds)(setup.random);
         }},
        // Rows added later go last: a row's seed follows from its place.
        LineDamage("bit flips, both ways, any number", "3e-4/byte", {3e-4, 0.0}, false),
        {"1 bit flip per request, silent on damage", "1e-3/byte", true,
         [](RunSetup& setup) {
             setup.meter.SetDamagePerByte(1e-3, 0.0);
             setup.cartridge.Engine().SetDamagedRequests(sim::DeviceEngine::DamagedRequests::Ignore);
         }},
    };
}

std::vector<PtyKind> PtyKinds()
{
    PtyKind pulled{"cable pulled (pty, CPCSerial)", "once a run", true, 0,
                   [](sim::PtyServer::Options& options, sim::Cartridge&, std::mt19937& random,
                      uint64_t cleanBytesOut, UserPlan&) {
                       options.pullCableAfterBytes = Uniform(random, 1, cleanBytesOut);
                   }};
    // Late by half a second more than the host waits, on a paced line: the
    // device's answer to the resend follows right behind the late one.
    PtyKind late{"late reply (pty, 38400 baud)", "1% of replies", true, 38400,
                 [](sim::PtyServer::Options&, sim::Cartridge& cartridge,
                    std::mt19937& random, uint64_t, UserPlan&) {
                     cartridge.Engine().SetFaultSource(EveryReply(
                         random, 0.01, [](std::mt19937&) { return sim::Fault::Late(); }));
                 }};
    PtyKind lateSeconds{"late reply (pty, 38400 baud, 0.2-3 s)", "5% of replies", true, 38400,
                        [](sim::PtyServer::Options&, sim::Cartridge& cartridge,
                           std::mt19937& random, uint64_t, UserPlan&) {
                            cartridge.Engine().SetFaultSource(
                                EveryReply(random, 0.05, LateBySomeSeconds));
                        },
                        20};
    PtyKind silent{"silent from a commit, Cancel 1 s later (pty)", "once a run", true, 38400,
                   [](sim::PtyServer::Options&, sim::Cartridge& cartridge, std::mt19937&,
                      uint64_t, UserPlan& user) {
                       cartridge.FallSilentAt(sim::Procedure::kEraseRange);
                       user.clickAfterSilence = 1.0;
                   }};
    return {pulled, late, lateSeconds, silent};
}

} // namespace bench
