// The reply styles of the simulated cartridge, read off its engine's
// records: what each style puts behind the fields the host reads and in
// the replies it ignores, the same for the same seed, with every fault on
// top; and a cartridge switched off in the middle of a run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"
#include "sim/wire.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using sim::Cartridge;
using sim::ReplyStyle;
namespace Procedure = sim::Procedure;

Bytes U32(uint32_t value)
{
    Bytes bytes;
    sim::AppendU32(bytes, value);
    return bytes;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using sim::RequestFrames;

struct Call
{
    uint8_t procedure;
    Bytes arguments;
};

// One block's worth of an upload: every procedure the host uses once.
const std::vector<Call>& OneBlock()
{
    static const std::vector<Call> calls = {
        {Procedure::kHandshake, U32(Cartridge::kMagicMode1)},
        {Procedure::kPrintText, {2, 0, '.', 0}},
        {Procedure::kSetTransferState, {1, 0}},
        {Procedure::kGetBufferSize, {}},
        {Procedure::kLoadBuffer, Concat(U32(0), {2, 0, 0x12, 0x34})},
        {Procedure::kGetBufferChecksum, U32(2)},
        {Procedure::kOpenRange, Concat(U32(0), U32(2))},
        {Procedure::kEraseRange, Concat(U32(0), U32(2))},
        {Procedure::kProgramRange, Concat(U32(0), U32(2))},
        {Procedure::kCloseRange, Concat(U32(0), U32(2))},
        {Procedure::kOpenRange, Concat(U32(0x7FFFFFF0), U32(2))}, // a failure: outside the flash
        {Procedure::kFinishUpload, U32(0x08020000)},
    };
    return calls;
}

bool HostIgnoresReply(uint8_t procedure)
{
    return procedure == Procedure::kLoadBuffer || procedure == Procedure::kPrintText ||
           procedure == Procedure::kSetTransferState || procedure == Procedure::kFinishUpload;
}

// The reply data of every call of `rounds` blocks, in order.
std::vector<Bytes> Replies(const ReplyStyle& style, int rounds)
{
    Cartridge cartridge;
    cartridge.SetReplyStyle(style);
    for (int round = 0; round < rounds; ++round) {
        for (const Call& call : OneBlock())
            cartridge.Engine().Feed(RequestFrames(call.procedure, call.arguments));
    }
    std::vector<Bytes> replies;
    for (const sim::CallRecord& call : cartridge.Engine().Calls()) {
        EXPECT_TRUE(call.answered);
        replies.push_back(call.reply);
    }
    return replies;
}

class EachStyle : public ::testing::TestWithParam<std::string>
{
protected:
    ReplyStyle Style() const { return ReplyStyle::Named(GetParam()).value(); }
};

// Every reply begins with the exact reply's fields, the extra bytes keep to
// the style's bounds, and over many replies every count within them occurs.
TEST_P(EachStyle, RepliesHoldTheExactFieldsAndOnlyWhatTheStyleAddsBehindThem)
{
    constexpr int kRounds = 60;
    const ReplyStyle style = Style();
    const std::vector<Bytes> exact = Replies(ReplyStyle{}, kRounds);
    const std::vector<Bytes> styled = Replies(style, kRounds);
    ASSERT_EQ(styled.size(), exact.size());
    std::set<size_t> extraCounts;
    std::set<size_t> ignoredLengths;
    for (size_t i = 0; i < styled.size(); ++i) {
        const uint8_t procedure = OneBlock()[i % OneBlock().size()].procedure;
        SCOPED_TRACE(sim::ProcedureName(procedure));
        const Bytes& reply = styled[i];
        if (HostIgnoresReply(procedure)) {
            ASSERT_TRUE(exact[i].empty());
            ignoredLengths.insert(reply.size());
            if (style.ignored == ReplyStyle::Ignored::Status) {
                EXPECT_EQ(reply, Bytes(4, 0));
            }
            continue;
        }
        if (style.terse && reply.empty()) {
            EXPECT_EQ(exact[i], Bytes(4, 0)) << "only a success may leave its status out";
            EXPECT_NE(procedure, Procedure::kProgramRange);
            continue;
        }
        ASSERT_GE(reply.size(), exact[i].size());
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + exact[i].size()), exact[i]);
        extraCounts.insert(reply.size() - exact[i].size());
    }
    std::set<size_t> expectedExtra;
    for (uint32_t n = style.extraMin; n <= style.extraMax; ++n)
        expectedExtra.insert(n);
    EXPECT_EQ(extraCounts, expectedExtra);
    if (style.ignored == ReplyStyle::Ignored::Random) {
        EXPECT_EQ(*ignoredLengths.begin(), 0u);
        EXPECT_EQ(*ignoredLengths.rbegin(), ReplyStyle::kMaxIgnoredBytes);
    } else {
        EXPECT_EQ(ignoredLengths.size(), 1u);
    }
}

TEST_P(EachStyle, SameSeedGivesTheSameRepliesAndAnotherSeedOthers)
{
    ReplyStyle style = Style();
    EXPECT_EQ(Replies(style, 5), Replies(style, 5));
    const std::vector<Bytes> first = Replies(style, 5);
    style.seed = 2;
    const bool random = style.ignored == ReplyStyle::Ignored::Random || style.extraMax > 0;
    EXPECT_EQ(Replies(style, 5) != first, random);
}

// The host's link on top: every fault the engine injects still works, and
// the calls answered in the style carry what the host reads.
TEST_P(EachStyle, FaultsComeOnTopOfTheStyle)
{
    Cartridge cartridge;
    cartridge.SetReplyStyle(Style());
    sim::DeviceEngine& engine = cartridge.Engine();
    engine.InjectFault(sim::Fault::AskAgain());
    engine.InjectFault(sim::Fault::DamagedDataSum());
    engine.InjectFault(sim::Fault::UnknownCode(0x42));
    engine.InjectFault(sim::Fault::Noise({1, 2, 3}));
    engine.InjectFault(sim::Fault::Dropped());
    engine.InjectFault(sim::Fault::Silent());
    for (int i = 0; i < 7; ++i)
        engine.Feed(RequestFrames(Procedure::kGetBufferSize, {}));
    std::vector<sim::Fault::Kind> faults;
    for (const sim::CallRecord& call : engine.Calls()) {
        faults.push_back(call.fault);
        if (call.answered && call.replyCode == sim::ReplyCode::kReplyFollows) {
            EXPECT_EQ(Bytes(call.reply.begin(), call.reply.begin() + 4), U32(4096));
        }
    }
    using Kind = sim::Fault::Kind;
    EXPECT_EQ(faults, (std::vector<Kind>{Kind::AskAgain, Kind::DamagedDataSum, Kind::UnknownCode,
                                         Kind::Noise, Kind::Dropped, Kind::Silent, Kind::None}));
    const sim::FaultCounts& counts = engine.Stats().faults;
    EXPECT_EQ(counts.askedAgain + counts.damagedDataSums + counts.unknownCodes +
                  counts.noiseBursts + counts.droppedReplies + counts.silenced,
              6u);
}

INSTANTIATE_TEST_SUITE_P(Styles, EachStyle, ::testing::ValuesIn(ReplyStyle::Names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(ReplyStyleNames, OnlyTheNamedStylesAreKnown)
{
    EXPECT_EQ(ReplyStyle::Names(),
              (std::vector<std::string>{"exact", "status", "padded", "random", "terse"}));
    EXPECT_FALSE(ReplyStyle::Named("Exact").has_value());
    EXPECT_TRUE(ReplyStyle::Named(ReplyStyle::kDefaultName)->Exact());
}

// --- A restart in the middle of a run ----------------------------------------------

class Restart : public ::testing::Test
{
protected:
    int Call(uint8_t procedure, const Bytes& arguments)
    {
        message.Reset();
        for (const uint8_t byte : arguments)
            message.PutU8(byte);
        return link.Call(procedure, message);
    }
    int Load(uint32_t offset) { return Call(Procedure::kLoadBuffer, Concat(U32(offset), {2, 0, 7, 7})); }
    int Handshake() { return Call(Procedure::kHandshake, U32(Cartridge::kMagicMode1)); }

    Cartridge cartridge;
    sim::InProcessChannel channel{cartridge.Engine()};
    CRpc link{&channel, 1};
    CRpcMessage message{256};
};

TEST_F(Restart, CartridgeHearsNothingWhileOffThenWaitsForAHandshakeWithItsBufferEmpty)
{
    ASSERT_EQ(Call(Procedure::kOpenRange, Concat(U32(0), U32(2))), 0);
    cartridge.RestartAt(Procedure::kLoadBuffer, 2, 2s);
    ASSERT_EQ(Load(0), 0);
    EXPECT_EQ(Load(2), CRpc::TimedOut) << "the second LoadBuffer switches it off";
    EXPECT_TRUE(cartridge.SwitchedOff());
    const auto offAt = cartridge.Engine().Now(); // when that request arrived
    EXPECT_EQ(Handshake(), CRpc::TimedOut);
    ASSERT_LT(channel.Now(), offAt + 2s);
    EXPECT_GT(cartridge.Engine().Stats().unheardBytes, 0u);
    EXPECT_EQ(cartridge.Buffer()[0], 7) << "nothing changes while it is off";

    channel.Idle(offAt + 2s - channel.Now());
    EXPECT_EQ(Load(0), CRpc::TimedOut) << "back on, it answers nothing before a handshake";
    EXPECT_FALSE(cartridge.SwitchedOff());
    EXPECT_EQ(cartridge.Restarts(), 1u);
    EXPECT_EQ(cartridge.Buffer()[0], 0);
    EXPECT_FALSE(cartridge.Flash().IsOpen(0, 2));
    EXPECT_EQ(Handshake(), CRpc::TimedOut) << "the first handshake boots it";
    EXPECT_EQ(Handshake(), 0);
    EXPECT_EQ(Load(0), 0);
    EXPECT_EQ(Load(2), 0) << "once only";
}

} // namespace
