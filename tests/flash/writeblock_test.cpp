// The host's device procedures and its block write, against the simulated
// cartridge: what the device is asked, what lands in its flash, and how
// failures, retries and a cancel end a block.
#include <gtest/gtest.h>

#include <algorithm>

#include "serial/serialstreamerror.h"
#include "tests/flash/cartridgeline.h"

using flashtest::Bytes;
using flashtest::CartridgeLine;
using flashtest::Pattern;
using Strings = std::vector<std::string>;

namespace {

Strings Tail(const Strings& lines, std::size_t count)
{
    return Strings(lines.end() - static_cast<long>(std::min(count, lines.size())), lines.end());
}

} // namespace

TEST(HostIdentity, MetaObjectNamesTheHostAndCastsToItsLink)
{
    CartridgeLine line;
    EXPECT_STREQ(line.host.metaObject()->className(), "CFlashXferHost");
    EXPECT_EQ(line.host.qt_metacast("CRpc"), static_cast<void*>(static_cast<CRpc*>(&line.host)));
}

TEST(RangeProcedures, OddAddressOrLengthSendsNothing)
{
    CartridgeLine line;
    EXPECT_EQ(line.host.OpenRange(1, 2), -1);
    EXPECT_EQ(line.host.OpenRange(2, 3), -1);
    EXPECT_EQ(line.host.EraseRange(3, 4), -1);
    EXPECT_EQ(line.host.CloseRange(4, 5), -1);
    EXPECT_EQ(line.channel.GetCounters().bytesWritten, 0u);
}

TEST(RangeProcedures, DeviceStatusIsReturnedWithoutRetrying)
{
    CartridgeLine line(4096, 3);
    EXPECT_EQ(line.host.OpenRange(0x1000, 0x1000), 0);
    EXPECT_EQ(line.host.OpenRange(0x400000, 2), sim::FlashStatus::kOutsideFlash);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kOpenRange),
              (Strings{"OpenRange(0x1000, 4096) -> 0", "OpenRange(0x400000, 2) -> -16"}));
}

TEST(RangeProcedures, LostRepliesAreRetriedByTheLinkThenByTheHostOnceTheAnswersAreInStep)
{
    // Four link attempts per call: four lost replies end the host's first
    // attempt. Those answers may still come, so before its second attempt
    // the host makes one call whose answer it knows.
    for (const int hostAttempts : {1, 2}) {
        SCOPED_TRACE(hostAttempts);
        CartridgeLine line(4096, hostAttempts);
        line.cartridge.Engine().InjectFault(sim::Fault::Dropped(), 4);
        EXPECT_EQ(line.host.CloseRange(0, 2), hostAttempts == 1 ? CRpc::TimedOut : 0);
        EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kCloseRange).size(), hostAttempts == 1 ? 4u : 5u);
        EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kGetBufferChecksum).size(),
                  hostAttempts == 1 ? 0u : 1u);
    }
}

TEST(Handshake, EachModeSendsItsMagicAndOthersSendNothing)
{
    CartridgeLine line;
    EXPECT_EQ(line.host.Handshake(3), -1);
    EXPECT_EQ(line.host.Handshake(0), -1);
    EXPECT_EQ(line.channel.GetCounters().bytesWritten, 0u);

    EXPECT_EQ(line.host.Handshake(CFlashXferHost::kFirmwareMode), 0);
    EXPECT_EQ(line.host.Handshake(CFlashXferHost::kBitstreamMode), 0);
    EXPECT_EQ(line.Calls(),
              (Strings{"Handshake(0xc001f00d) -> 0", "Handshake(0xbaadf00d) -> 0"}));
}

TEST(Handshake, CancelWhileTheCartridgeIsSilentEndsTheWaitOnce)
{
    CartridgeLine line;
    line.cartridge.BootAfterHandshakes(1000);
    EXPECT_EQ(line.host.Handshake(2), CRpc::TimedOut);
    line.host.Cancel(); // a click between two polls
    EXPECT_EQ(line.host.Handshake(2), CFlashXferHost::kCancelled);
    EXPECT_EQ(line.host.Handshake(2), CRpc::TimedOut) << "the cancel was used up";
}

TEST(Handshake, CancelPendingWhenItStartsEndsItWithoutWaiting)
{
    CartridgeLine line;
    line.cartridge.BootAfterHandshakes(1000);
    line.host.Cancel();
    EXPECT_EQ(line.host.Handshake(2), CFlashXferHost::kCancelled);
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kHandshake).size(), 1u)
        << "the request in flight is the last; no attempt follows it";
    EXPECT_EQ(line.host.Handshake(2), CRpc::TimedOut) << "the cancel was used up";
}

TEST(Handshake, CancelArrivingAsTheCartridgeAnswersStopsTheFirstChunk)
{
    CartridgeLine line;
    EXPECT_EQ(line.host.Handshake(1), 0);
    line.host.Cancel();
    const Bytes data = Pattern(64);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 64, true), -1);
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).empty());
}

TEST(WriteBlock, StagesInChunksChecksAndCommits)
{
    CartridgeLine line(8192);
    const Bytes data = Pattern(4098);
    EXPECT_EQ(line.host.WriteBlock(0x2000, data.data(), 4098, true), 0);
    EXPECT_EQ(line.Calls(), (Strings{
                                "SetTransferState(1, 0)",
                                "PrintText(2, \".\")",
                                "LoadBuffer(0, 2048)",
                                "PrintText(2, \".\")",
                                "LoadBuffer(2048, 2048)",
                                "PrintText(2, \".\")",
                                "LoadBuffer(4096, 2)",
                                "GetBufferChecksum(4098) -> 0",
                                "OpenRange(0x2000, 4098) -> 0",
                                "EraseRange(0x2000, 4098) -> 0",
                                "GetBufferChecksum(4098) -> 0",
                                "ProgramRange(0x2000, 4098) -> 0",
                                "SetTransferState(0, 0)",
                            }));
    EXPECT_TRUE(line.cartridge.Flash().Holds(0x2000, data));
}

TEST(WriteBlock, WithoutEraseTheCommitOnlyOpensAndPrograms)
{
    CartridgeLine line;
    const Bytes data = Pattern(2048);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2048, false), 0);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kLoadBuffer), Strings{"LoadBuffer(0, 2048)"});
    EXPECT_EQ(Tail(line.Calls(), 4), (Strings{"OpenRange(0x0, 2048) -> 0",
                                              "GetBufferChecksum(2048) -> 0",
                                              "ProgramRange(0x0, 2048) -> 0",
                                              "SetTransferState(0, 0)"}));
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, data));
}

TEST(WriteBlock, EmptyBlockSendsNoChunkAndNoProgress)
{
    CartridgeLine line;
    const Bytes none;
    EXPECT_GE(line.host.WriteBlock(0, none.data(), 0, true), 0);
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).empty());
    EXPECT_TRUE(line.progress.empty());
    EXPECT_EQ(line.CallsOf(sim::Procedure::kGetBufferChecksum),
              (Strings{"GetBufferChecksum(0) -> 0", "GetBufferChecksum(0) -> 0"}));
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kProgramRange).size(), 1u);
}

TEST(WriteBlock, OddBlockIsStagedButNeverCommitted)
{
    CartridgeLine line;
    const Bytes data = Pattern(2049);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2049, true), -1);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kLoadBuffer),
              (Strings{"LoadBuffer(0, 2048)", "LoadBuffer(2048, 1)"}));
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kOpenRange).empty());
    EXPECT_EQ(line.Calls().back(), "SetTransferState(0, 1)");
    EXPECT_TRUE(line.cartridge.Flash().IsErased(0, 4096));
}

TEST(WriteBlock, WrongDeviceChecksumStagesTheBlockAgain)
{
    CartridgeLine line(4096, 2);
    line.cartridge.CorruptChecksum(1);
    const Bytes data = Pattern(4096);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), 0);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kLoadBuffer),
              (Strings{"LoadBuffer(0, 2048)", "LoadBuffer(2048, 2048)", "LoadBuffer(0, 2048)",
                       "LoadBuffer(2048, 2048)"}));
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kProgramRange).size(), 1u);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, data));
}

TEST(WriteBlock, WrongDeviceChecksumWithOneAttemptFailsWithoutProgramming)
{
    CartridgeLine line;
    line.cartridge.CorruptChecksum(1);
    const Bytes data = Pattern(4096);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), -1);
    EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kOpenRange).empty());
    EXPECT_EQ(line.Calls().back(), "SetTransferState(0, 1)");
    EXPECT_TRUE(line.cartridge.Flash().IsErased(0, 4096));
}

TEST(WriteBlock, ChecksumStatusOtherThanZeroIsNeverTakenForStaged)
{
    const Bytes data = Pattern(2048);
    for (int32_t status : {7, -9}) {
        SCOPED_TRACE(status);
        CartridgeLine line;
        line.cartridge.ForceStatus(sim::Procedure::kGetBufferChecksum, status);
        EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2048, true), status < 0 ? status : -1);
        EXPECT_TRUE(line.cartridge.CallsOf(sim::Procedure::kProgramRange).empty());
        EXPECT_EQ(line.Calls().back(), "SetTransferState(0, 1)");
    }
}

TEST(WriteBlock, NegativeProgramStatusClosesTheRangeAndIsReturned)
{
    CartridgeLine line;
    line.cartridge.ForceStatus(sim::Procedure::kProgramRange, -5);
    const Bytes data = Pattern(2048);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2048, true), -5);
    EXPECT_EQ(Tail(line.Calls(), 6), (Strings{"OpenRange(0x0, 2048) -> 0",
                                              "EraseRange(0x0, 2048) -> 0",
                                              "GetBufferChecksum(2048) -> 0",
                                              "ProgramRange(0x0, 2048) -> -5",
                                              "CloseRange(0x0, 2048) -> 0",
                                              "SetTransferState(0, 1)"}));
}

TEST(WriteBlock, FailedCommitIsTriedAgainWithinTheRetryCount)
{
    CartridgeLine line(4096, 2);
    line.cartridge.ForceStatus(sim::Procedure::kProgramRange, -5);
    const Bytes data = Pattern(2048);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2048, true), 0);
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kProgramRange).size(), 2u);
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).size(), 1u) << "staged once";
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, data));
}

TEST(WriteBlock, CartridgeThatRestartsBeforeTheCommitIsNeverReportedAsProgrammed)
{
    // A restart empties the cartridge's buffer and closes its ranges. Once
    // right after the staged block was checked, once after the check that
    // comes just before programming: neither may end in a success.
    for (const std::size_t restartAfterCheck : {1u, 2u}) {
        SCOPED_TRACE(restartAfterCheck);
        CartridgeLine line;
        std::size_t checks = 0;
        line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
            if (call.procedure == sim::Procedure::kGetBufferChecksum && ++checks == restartAfterCheck)
                line.cartridge.Reset();
        });
        const Bytes data = Pattern(4096);
        EXPECT_LT(line.host.WriteBlock(0, data.data(), 4096, true), 0);
        EXPECT_EQ(line.Calls().back(), "SetTransferState(0, 1)");
        EXPECT_TRUE(line.cartridge.Flash().IsErased(0, 4096)) << "nothing programmed";
    }
}

// A commit is done only when ProgramRange says so: a reply without its
// status has not said that the block is in flash.
TEST(WriteBlock, ProgramRangeAnsweredWithoutAStatusIsNoSuccess)
{
    CartridgeLine line;
    line.cartridge.Engine().SetHandler(sim::Procedure::kProgramRange,
                                       [](const Bytes&) { return sim::Outcome::Reply(); });
    const Bytes data = Pattern(2048);
    EXPECT_LT(line.host.WriteBlock(0, data.data(), 2048, true), 0);
    EXPECT_EQ(Tail(line.Calls(), 2), (Strings{"CloseRange(0x0, 2048) -> 0",
                                              "SetTransferState(0, 1)"}));
    EXPECT_TRUE(line.cartridge.Flash().IsErased(0, 2048));
}

// The cartridge restarts after the block was checked: the check right
// before programming finds its buffer empty. The range it opened is closed
// and the block staged again, dots and progress included, within the
// host's attempts; no range is opened twice over a lost buffer.
TEST(WriteBlock, BufferLostBeforeProgrammingIsStagedAgain)
{
    CartridgeLine line(4096, 2);
    std::size_t checks = 0;
    line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
        if (call.procedure == sim::Procedure::kGetBufferChecksum && ++checks == 1)
            line.cartridge.Reset();
    });
    const Bytes data = Pattern(4096);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, data));
    const Strings calls = line.Calls();
    const auto closed = std::find(calls.begin(), calls.end(), "CloseRange(0x0, 4096) -> 0");
    ASSERT_NE(closed, calls.end()) << "the range opened over the lost buffer is closed";
    EXPECT_EQ(std::count(closed, calls.end(), std::string("LoadBuffer(2048, 2048)")), 1)
        << "then the block is staged again";
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kOpenRange).size(), 2u);
    EXPECT_EQ(line.progress, (std::vector<int>{0, 0, 0, 0})) << "four chunks reported";
}

// The block's sum is answered late twice, and the second answer outlasts
// the wait for it: before the commit the host asks a sum it knows to find
// where the answers stand, and that answer is late too. The stray sum of the
// whole block must never be taken for it, nor any answer for another call's.
TEST(WriteBlock, LateSumsThatOutlastTheirWaitAreNeverTakenForAKnownAnswer)
{
    CartridgeLine line;
    const Bytes block = Pattern(4096, 7);
    line.cartridge.SetCallObserver([&line, done = false](const sim::ProcedureCall& call) mutable {
        // The faults of the replies after this one: the sum's two attempts
        // and the question that follows.
        if (!done && call.procedure == sim::Procedure::kLoadBuffer && call.values.at(0) == 2048) {
            done = true;
            line.cartridge.Engine().InjectFault(sim::Fault::Late(std::chrono::milliseconds(1500)), 4);
        }
    });
    EXPECT_EQ(line.host.WriteBlock(0x2000, block.data(), 4096, true), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0x2000, block));
    EXPECT_FALSE(line.host.Failure().Failed()) << DescribeFailure(line.host.Failure());
    EXPECT_GT(line.cartridge.CallsOf(sim::Procedure::kGetBufferChecksum).size(), 3u)
        << "a sum of its own was asked: " << ::testing::PrintToString(line.Calls());
}

TEST(WriteBlock, ChunkThatCannotBeSentToACartridgeGoneSilentEndsTheBlockAtOnce)
{
    CartridgeLine line;
    // SetTransferState and the first "." get through; from the chunk on,
    // every reply is lost: the chunk goes once more (the cartridge had
    // answered its dot), and the unanswered dot before it ends the block.
    line.cartridge.Engine().InjectFault(sim::Fault::None(), 2);
    line.cartridge.Engine().InjectFault(sim::Fault::Dropped(), 100);
    const Bytes data = Pattern(4096);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), CRpc::TimedOut);
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).size(),
              std::size_t{CFlashXferHost::kLinkAttempts} + 1);
    EXPECT_EQ(line.CallsOf(sim::Procedure::kSetTransferState), Strings{"SetTransferState(1, 0)"});
}

TEST(WriteBlock, ChunkWhoseRepliesAreLostWhileTheCartridgeAnswersGoesAgainSmaller)
{
    CartridgeLine line;
    line.cartridge.Engine().InjectFault(sim::Fault::None(), 2);
    line.cartridge.Engine().InjectFault(sim::Fault::Dropped(), CFlashXferHost::kLinkAttempts);
    const Bytes data = Pattern(4096);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, data));
    EXPECT_EQ(line.cartridge.CallsOf(sim::Procedure::kLoadBuffer).at(4).values.at(1), 1024u);
}

TEST(WriteBlock, CancelBeforeTheSecondChunkStopsWithoutClosingState)
{
    CartridgeLine line;
    line.CancelAtProgressSignal(2);
    const Bytes data = Pattern(4096);
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), -1);
    EXPECT_EQ(line.Calls(), (Strings{"SetTransferState(1, 0)", "PrintText(2, \".\")",
                                     "LoadBuffer(0, 2048)", "PrintText(2, \".\")"}));

    // The cancel was honoured once: the next block goes through.
    line.cartridge.ClearCalls();
    EXPECT_EQ(line.host.WriteBlock(0, data.data(), 4096, true), 0);
    EXPECT_TRUE(line.cartridge.Flash().Holds(0, data));
}

TEST(WriteBlock, CommitRunsUnderTheLongTimeoutWhichIsPutBackAfterwards)
{
    CartridgeLine line;
    std::vector<std::pair<uint8_t, uint16_t>> seen;
    line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
        seen.emplace_back(call.procedure, line.host.GetTimeout());
    });
    const Bytes data = Pattern(2048);
    ASSERT_EQ(line.host.WriteBlock(0, data.data(), 2048, true), 0);
    for (const auto& [procedure, timeout] : seen) {
        const bool commit = procedure == sim::Procedure::kOpenRange ||
                            procedure == sim::Procedure::kEraseRange ||
                            procedure == sim::Procedure::kProgramRange;
        EXPECT_EQ(timeout, commit ? CFlashXferHost::kCommitTimeoutMs : 1000)
            << sim::ProcedureName(procedure);
    }
    EXPECT_EQ(line.host.GetTimeout(), 1000);
}

TEST(WriteBlock, TimeoutIsPutBackWhateverEndsTheCommit)
{
    const Bytes data = Pattern(2048);
    {
        CartridgeLine line;
        line.cartridge.ForceStatus(sim::Procedure::kProgramRange, -5);
        EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2048, true), -5);
        EXPECT_EQ(line.host.GetTimeout(), 1000);
    }
    {
        CartridgeLine line;
        line.cartridge.ForceStatus(sim::Procedure::kOpenRange, -16);
        EXPECT_EQ(line.host.WriteBlock(0, data.data(), 2048, true), -16);
        EXPECT_EQ(line.host.GetTimeout(), 1000);
    }
    {
        CartridgeLine line;
        line.cartridge.SetCallObserver([&](const sim::ProcedureCall& call) {
            if (call.procedure == sim::Procedure::kEraseRange)
                line.channel.PullCable();
        });
        EXPECT_THROW(line.host.WriteBlock(0, data.data(), 2048, true), SerialStreamError);
        EXPECT_EQ(line.host.GetTimeout(), 1000);
    }
}
