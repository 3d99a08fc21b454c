// The simulated cartridge's procedures, called through the host's own link:
// the NOR flash rules, open ranges, the transfer buffer and its checksum,
// the boot state, and what the cartridge records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"
#include "sim/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::Cartridge;
namespace Procedure = sim::Procedure;

constexpr int kNoStatus = 0x7FFFFFFF; // the reply held no status

class CartridgeTest : public ::testing::Test
{
protected:
    // The link's result, or the status the cartridge answered.
    int Range(uint8_t procedure, uint32_t address, uint32_t length)
    {
        message.Reset();
        message.PutU32(address);
        message.PutU32(length);
        return StatusOf(procedure);
    }

    int Load(uint32_t offset, const Bytes& chunk)
    {
        message.Reset();
        message.PutU32(offset);
        message.PutBytes(chunk.data(), static_cast<uint16_t>(chunk.size()));
        return link.Call(Procedure::kLoadBuffer, message);
    }

    int Handshake(uint32_t magic)
    {
        message.Reset();
        message.PutU32(magic);
        return StatusOf(Procedure::kHandshake);
    }

    // Stages `data` in the buffer and programs it at `address`.
    int Program(uint32_t address, const Bytes& data)
    {
        const int loaded = Load(0, data);
        if (loaded != 0)
            return loaded;
        return Range(Procedure::kProgramRange, address, static_cast<uint32_t>(data.size()));
    }

    int Checksum(uint32_t length, uint16_t& sum)
    {
        message.Reset();
        message.PutU32(length);
        const int status = StatusOf(Procedure::kGetBufferChecksum);
        if (message.GetU16(sum) != 0)
            return kNoStatus;
        return status;
    }

    int StatusOf(uint8_t procedure)
    {
        const int result = link.Call(procedure, message);
        if (result != 0)
            return result;
        uint32_t status = 0;
        if (message.GetU32(status) != 0)
            return kNoStatus;
        return static_cast<int32_t>(status);
    }

    Cartridge cartridge;
    sim::InProcessChannel channel{cartridge.Engine()};
    CRpc link{&channel, 1};
    CRpcMessage message{256};
};

// --- NOR flash --------------------------------------------------------------------

TEST_F(CartridgeTest, FreshFlashIsErasedEverywhere)
{
    EXPECT_TRUE(cartridge.Flash().IsErased(0, sim::FlashModel::kSize));
}

TEST_F(CartridgeTest, ProgrammedBytesReadBackFromFlash)
{
    const Bytes data = {0x12, 0x34, 0x56, 0x78, 0x00, 0xFF};
    ASSERT_EQ(Range(Procedure::kOpenRange, 0x1000, 6), 0);
    EXPECT_EQ(Program(0x1000, data), 0);
    EXPECT_TRUE(cartridge.Flash().Holds(0x1000, data));
    EXPECT_TRUE(cartridge.Flash().IsErased(0x1006, 16));
}

TEST_F(CartridgeTest, ProgrammingCanOnlyClearBitsAndSaysSo)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 2), 0);
    ASSERT_EQ(Program(0, {0x0F, 0xAA}), 0);
    EXPECT_EQ(Program(0, {0xF0, 0xAA}), sim::FlashStatus::kVerifyFailed);
    EXPECT_EQ(cartridge.Flash().Read(0, 2), (Bytes{0x00, 0xAA}));
    ASSERT_EQ(Range(Procedure::kEraseRange, 0, 2), 0);
    EXPECT_EQ(Program(0, {0xF0, 0x55}), 0);
    EXPECT_EQ(cartridge.Flash().Read(0, 2), (Bytes{0xF0, 0x55}));
}

TEST_F(CartridgeTest, EraseTouchesOnlyItsRange)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 8), 0);
    ASSERT_EQ(Program(0, Bytes(8, 0x00)), 0);
    ASSERT_EQ(Range(Procedure::kEraseRange, 2, 4), 0);
    EXPECT_EQ(cartridge.Flash().Read(0, 8), (Bytes{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
}

// --- Open ranges -------------------------------------------------------------------

TEST_F(CartridgeTest, WritingOutsideAnOpenRangeFailsAndChangesNothing)
{
    EXPECT_EQ(Program(0, {0x00}), sim::FlashStatus::kNotOpen);
    EXPECT_EQ(Range(Procedure::kEraseRange, 0, 2), sim::FlashStatus::kNotOpen);
    ASSERT_EQ(Range(Procedure::kOpenRange, 0x100, 0x100), 0);
    EXPECT_EQ(Program(0xF0, Bytes(0x20, 0x00)), sim::FlashStatus::kNotOpen)
        << "a range only partly open is not open";
    EXPECT_TRUE(cartridge.Flash().IsErased(0, 0x200));
}

TEST_F(CartridgeTest, ClosedRangeCannotBeWrittenAgain)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 4), 0);
    ASSERT_EQ(Range(Procedure::kCloseRange, 0, 4), 0);
    EXPECT_EQ(Program(0, {0, 0, 0, 0}), sim::FlashStatus::kNotOpen);
}

TEST_F(CartridgeTest, NeighbouringRangesJoinAndClosingAMiddlePartSplitsThem)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 0x1000), 0);
    ASSERT_EQ(Range(Procedure::kOpenRange, 0x1000, 0x1000), 0);
    EXPECT_TRUE(cartridge.Flash().IsOpen(0, 0x2000));
    ASSERT_EQ(Range(Procedure::kCloseRange, 0x800, 0x100), 0);
    EXPECT_TRUE(cartridge.Flash().IsOpen(0, 0x800));
    EXPECT_TRUE(cartridge.Flash().IsOpen(0x900, 0x1700));
    EXPECT_FALSE(cartridge.Flash().IsOpen(0x7FE, 4));
}

TEST_F(CartridgeTest, RangesBeyondTheFlashAreRefused)
{
    constexpr uint32_t kEnd = sim::FlashModel::kSize;
    EXPECT_EQ(Range(Procedure::kOpenRange, kEnd - 2, 4), sim::FlashStatus::kOutsideFlash);
    EXPECT_EQ(Range(Procedure::kOpenRange, 0xFFFFFFF0, 0x20), sim::FlashStatus::kOutsideFlash)
        << "address plus length must not wrap around";
    EXPECT_EQ(Range(Procedure::kEraseRange, kEnd, 2), sim::FlashStatus::kOutsideFlash);
    EXPECT_EQ(Range(Procedure::kOpenRange, kEnd - 2, 2), 0);
}

TEST_F(CartridgeTest, ProgrammingMoreThanTheBufferHoldsIsRefused)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 8192), 0);
    EXPECT_EQ(Range(Procedure::kProgramRange, 0, Cartridge::kDefaultBufferSize + 2),
              sim::CartridgeStatus::kBeyondBuffer);
    EXPECT_TRUE(cartridge.Flash().IsErased(0, 8192));
}

// --- Transfer buffer and checksum ---------------------------------------------------

TEST_F(CartridgeTest, ChunksLandAtTheirOffsets)
{
    ASSERT_EQ(Load(0, Bytes(2048, 0x11)), 0);
    ASSERT_EQ(Load(2048, Bytes(2048, 0x22)), 0);
    EXPECT_EQ(cartridge.Buffer()[2047], 0x11);
    EXPECT_EQ(cartridge.Buffer()[2048], 0x22);
    EXPECT_EQ(cartridge.Buffer()[4095], 0x22);
}

TEST_F(CartridgeTest, ChunkPastTheBufferIsRefusedAndChangesNothing)
{
    EXPECT_EQ(Load(4095, {1, 2}), CRpc::BadReplyCode);
    EXPECT_EQ(Load(0xFFFFFFFF, {1}), CRpc::BadReplyCode);
    EXPECT_EQ(cartridge.Buffer()[4095], 0);
    EXPECT_EQ(Load(4094, {1, 2}), 0);
}

TEST_F(CartridgeTest, ChecksumIsTheWrappingSumOfUnsignedBytes)
{
    ASSERT_EQ(Load(0, Bytes(300, 0xFF)), 0);
    uint16_t sum = 0;
    ASSERT_EQ(Checksum(300, sum), 0);
    EXPECT_EQ(sum, (300 * 255) % 65536);
    ASSERT_EQ(Checksum(0, sum), 0);
    EXPECT_EQ(sum, 0);
}

TEST_F(CartridgeTest, ChecksumPastTheBufferFails)
{
    uint16_t sum = 0;
    EXPECT_EQ(Checksum(Cartridge::kDefaultBufferSize + 1, sum), sim::CartridgeStatus::kBeyondBuffer);
}

TEST_F(CartridgeTest, WrongChecksumOnDemandIsWrongOnceOnly)
{
    ASSERT_EQ(Load(0, {1, 2, 3}), 0);
    cartridge.CorruptChecksum();
    uint16_t sum = 0;
    ASSERT_EQ(Checksum(3, sum), 0);
    EXPECT_NE(sum, 6);
    ASSERT_EQ(Checksum(3, sum), 0);
    EXPECT_EQ(sum, 6);
}

TEST_F(CartridgeTest, BufferSizeAnswerCanBeMadeWrong)
{
    message.Reset();
    EXPECT_EQ(StatusOf(Procedure::kGetBufferSize), 4096);
    cartridge.ReportBufferSize(3);
    message.Reset();
    EXPECT_EQ(StatusOf(Procedure::kGetBufferSize), 3);
    cartridge.ReportNoBufferSize();
    message.Reset();
    EXPECT_EQ(StatusOf(Procedure::kGetBufferSize), kNoStatus);
}

// --- Boot and handshake -----------------------------------------------------------------

TEST_F(CartridgeTest, CartridgeBootsAfterTheConfiguredHandshakes)
{
    cartridge.BootAfterHandshakes(3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Handshake(Cartridge::kMagicMode2), CRpc::TimedOut) << "handshake " << i;
    EXPECT_EQ(Handshake(Cartridge::kMagicMode2), 0);
    EXPECT_EQ(cartridge.HandshakeMode(), 2);
}

TEST_F(CartridgeTest, CartridgeThatHasNotBootedAnswersNothing)
{
    cartridge.BootAfterHandshakes(1);
    message.Reset();
    EXPECT_EQ(link.Call(Procedure::kGetBufferSize, message), CRpc::TimedOut);
    EXPECT_EQ(Handshake(Cartridge::kMagicMode1), CRpc::TimedOut);
    EXPECT_EQ(Handshake(Cartridge::kMagicMode1), 0);
    EXPECT_EQ(cartridge.HandshakeMode(), 1);
}

// A cartridge that does not answer, still booting or dead, says nothing
// whatever it hears: no 0xFE for a damaged request, none for a fault queued
// for its replies. The fault waits for a reply that goes out.
class QuietCartridge : public ::testing::TestWithParam<bool>
{
protected:
    bool Booting() const { return GetParam(); }
    // Every byte the cartridge puts on the line for `request`.
    Bytes Hear(const Bytes& request)
    {
        cartridge.Engine().Feed(request);
        Bytes all;
        sim::OutputChunk chunk;
        while (cartridge.Engine().TakeOutput(chunk))
            all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
        return all;
    }

    Cartridge cartridge;
    const Bytes sizeRequest = sim::RequestFrames(Procedure::kGetBufferSize, {});
};

TEST_P(QuietCartridge, SaysNothingAndKeepsItsFaultForItsFirstReply)
{
    if (Booting())
        cartridge.BootAfterHandshakes(1);
    else
        cartridge.FallSilentAt(Procedure::kGetBufferSize);
    EXPECT_TRUE(Hear(sizeRequest).empty());
    cartridge.Engine().InjectFault(sim::Fault::AskAgain());
    Bytes damaged = sizeRequest;
    damaged.back() ^= 0x01; // the arguments' checksum
    EXPECT_TRUE(Hear(damaged).empty()) << "no 0xFE for a damaged request";
    EXPECT_TRUE(Hear(sizeRequest).empty()) << "nor for the queued fault";
    EXPECT_EQ(cartridge.Engine().PendingFaults(), 1u);
    EXPECT_EQ(cartridge.CallsOf(Procedure::kGetBufferSize).size(), 2u) << "each was heard";
    if (!Booting())
        return;
    EXPECT_TRUE(Hear(sim::RequestFrames(Procedure::kHandshake, {0x0D, 0xF0, 0x01, 0xC0})).empty());
    EXPECT_EQ(Hear(sizeRequest), (Bytes{0x78, 0x5A, 0x3C, 0x1E, 0xFE, 0x00, 0x00, 0xFE, 0x00}))
        << "booted, its first reply takes the fault";
}

INSTANTIATE_TEST_SUITE_P(BootingOrDead, QuietCartridge, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Booting" : "Dead";
                         });

// A turn planned at the host's n-th request of a procedure counts every one
// the host sent, also those a fault kept from running.
class TurnAtARequest : public ::testing::TestWithParam<sim::Fault>
{
};

TEST_P(TurnAtARequest, CountsTheRequestAFaultKeptFromRunning)
{
    Cartridge cartridge;
    cartridge.RestartAt(Procedure::kGetBufferSize, 2, std::chrono::seconds(1));
    cartridge.Engine().InjectFault(GetParam());
    const Bytes request = sim::RequestFrames(Procedure::kGetBufferSize, {});
    cartridge.Engine().Feed(request);
    EXPECT_FALSE(cartridge.SwitchedOff());
    cartridge.Engine().Feed(request);
    EXPECT_TRUE(cartridge.SwitchedOff()) << "the host's second GetBufferSize";
}

INSTANTIATE_TEST_SUITE_P(Faults, TurnAtARequest,
                         ::testing::Values(sim::Fault::AskAgain(), sim::Fault::Silent(),
                                           sim::Fault::UnknownCode(0x42)),
                         [](const ::testing::TestParamInfo<sim::Fault>& info) {
                             return std::to_string(static_cast<int>(info.param.kind));
                         });

TEST_F(CartridgeTest, HandshakeWithAStrangeMagicFails)
{
    EXPECT_EQ(Handshake(0x12345678), sim::CartridgeStatus::kUnknownMagic);
    EXPECT_EQ(cartridge.HandshakeMode(), 0);
}

TEST_F(CartridgeTest, ResetLosesTheBufferAndOpenRangesButKeepsTheFlash)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 4), 0);
    ASSERT_EQ(Program(0, {1, 2, 3, 4}), 0);
    cartridge.Reset();
    EXPECT_EQ(cartridge.Buffer()[0], 0);
    EXPECT_FALSE(cartridge.Flash().IsOpen(0, 4));
    EXPECT_TRUE(cartridge.Flash().Holds(0, {1, 2, 3, 4}));
}

// --- Forced answers, records, refusals -----------------------------------------------------

TEST_F(CartridgeTest, ForcedStatusIsAnsweredOnceWithoutDoingTheWork)
{
    ASSERT_EQ(Range(Procedure::kOpenRange, 0, 2), 0);
    cartridge.ForceStatus(Procedure::kProgramRange, -5);
    EXPECT_EQ(Program(0, {0, 0}), -5);
    EXPECT_TRUE(cartridge.Flash().IsErased(0, 2));
    EXPECT_EQ(Program(0, {0, 0}), 0);
}

TEST_F(CartridgeTest, TextsValuesAndStatesAreRecorded)
{
    const char text[] = "Uploading x.frm\n";
    message.Reset();
    message.PutBytes(text, sizeof text);
    ASSERT_EQ(link.Call(Procedure::kPrintText, message), 0);
    message.Reset();
    message.PutU32(0x08020000);
    ASSERT_EQ(link.Call(Procedure::kFinishUpload, message), 0);
    message.Reset();
    message.PutU8(1);
    message.PutU8(0);
    ASSERT_EQ(link.Call(Procedure::kSetTransferState, message), 0);

    EXPECT_EQ(cartridge.ScreenText(), "Uploading x.frm\n");
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{0x08020000});
    EXPECT_EQ(cartridge.TransferStates(), (std::vector<sim::TransferState>{{1, 0}}));
    ASSERT_EQ(cartridge.Calls().size(), 3u);
    EXPECT_EQ(cartridge.Calls()[0].Describe(), "PrintText(17, \"Uploading x.frm\\n\")");
    EXPECT_EQ(cartridge.Calls()[1].Describe(), "FinishUpload(0x8020000)");
}

TEST_F(CartridgeTest, RangeCallsAreRecordedWithTheirStatus)
{
    Range(Procedure::kOpenRange, 0x3C0000, 0x20000);
    const sim::ProcedureCall& call = cartridge.Calls().at(0);
    EXPECT_EQ(call.values, (std::vector<uint32_t>{0x3C0000, 0x20000}));
    EXPECT_TRUE(call.hasStatus);
    EXPECT_EQ(call.Describe(), "OpenRange(0x3c0000, 131072) -> 0");
}

TEST_F(CartridgeTest, MalformedArgumentsAreRefused)
{
    message.Reset();
    message.PutU32(0);
    message.PutU16(4);
    EXPECT_EQ(link.Call(Procedure::kProgramRange, message), CRpc::BadReplyCode);
    message.Reset();
    message.PutU32(0);
    message.PutU16(10);
    message.PutU8(1);
    EXPECT_EQ(link.Call(Procedure::kLoadBuffer, message), CRpc::BadReplyCode)
        << "a chunk shorter than its count";
    EXPECT_TRUE(cartridge.Calls().back().refused);
}

TEST_F(CartridgeTest, UnusedProcedureNumbersAreRefused)
{
    for (uint8_t procedure : {5, 7, 10, 14, 255}) {
        message.Reset();
        EXPECT_EQ(link.Call(procedure, message), CRpc::BadReplyCode) << int(procedure);
    }
}

} // namespace
