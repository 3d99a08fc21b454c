// A line that damages the host's requests, with the damage placed on
// purpose: two flips of one bit weight in opposite directions inside one
// chunk keep every byte sum, and a line that damages every long frame lets
// no full-size chunk through. Neither may end in a block confirmed over
// bytes the cartridge does not hold, nor in a failed upload while shorter
// frames arrive intact.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "flash/flashxferhost.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"
#include "tests/support/pattern.h"
#include "tests/support/replystyles.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The host's line to the simulated cartridge, damaging the argument frames
// of the chunks (the writes longer than `longFrame`) as `damage` says: it
// gets each such frame's bytes and its number, from 1.
class DamagingLine : public IComm
{
public:
    using Damage = std::function<void(Bytes& frame, int number)>;

    DamagingLine(IComm& line, uint32_t longFrame, Damage damage)
        : line(line), longFrame(longFrame), damage(std::move(damage))
    {
    }

    int32_t Write(const void* data, int32_t length, uint16_t timeoutMs) override
    {
        if (static_cast<uint32_t>(length) <= longFrame)
            return line.Write(data, length, timeoutMs);
        Bytes frame(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
        damage(frame, ++longFrames);
        line.Write(frame.data(), length, timeoutMs);
        return length;
    }
    int32_t Read(void* data, int32_t length, uint16_t timeoutMs) override
    {
        return line.Read(data, length, timeoutMs);
    }
    Time Now() const override { return line.Now(); }
    Time OutputDoneAt() override { return line.OutputDoneAt(); }
    Time TransferTime(uint32_t bytes) const override { return line.TransferTime(bytes); }

private:
    IComm& line;
    uint32_t longFrame;
    Damage damage;
    int longFrames = 0;
};

// The first bit weight at which byte `up` has a 0 and byte `down` a 1:
// flipping both keeps the frame's sum.
void FlipCompensating(Bytes& frame, std::size_t up, std::size_t down)
{
    for (int bit = 0; bit < 8; ++bit) {
        const auto mask = static_cast<uint8_t>(1u << bit);
        if ((frame[up] & mask) == 0 && (frame[down] & mask) != 0) {
            frame[up] |= mask;
            frame[down] &= static_cast<uint8_t>(~mask);
            return;
        }
    }
    FAIL() << "no bit weight to flip both ways";
}

struct Bench
{
    Bench(const sim::ReplyStyle& style, uint32_t longFrame, DamagingLine::Damage damage)
        : channel(cartridge.Engine()), line(channel, longFrame, std::move(damage)), host(&line, 1)
    {
        cartridge.SetReplyStyle(style);
        host.SetTimeout(1000);
    }

    sim::Cartridge cartridge;
    sim::InProcessChannel channel;
    DamagingLine line;
    CFlashXferHost host;
};

class DamagedLine : public styletest::StyledTest
{
};

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kAddress = 0x10000;

TEST_P(DamagedLine, CompensatingFlipsInOneChunkAreCaughtOnceTheLineHasShownDamage)
{
    // The first chunk's first two frames have one flip each (the cartridge
    // asks for them again: the line has shown damage); the second chunk's
    // frame keeps its sum over two flips far apart.
    Bench bench(Style(), 1000, [](Bytes& frame, int number) {
        if (number <= 2)
            frame[100] ^= 0x10;
        if (number == 4)
            FlipCompensating(frame, 300, 1900);
    });
    const Bytes data = testdata::Pattern(kBlock, 9);
    EXPECT_EQ(bench.host.WriteBlock(kAddress, data.data(), kBlock, true), 0);
    EXPECT_TRUE(bench.cartridge.Flash().Holds(kAddress, data))
        << "a block was confirmed over bytes the cartridge does not hold";
}

TEST_P(DamagedLine, ChunksShrinkWhereFullSizeFramesNeverArriveIntact)
{
    // Every frame longer than half a chunk arrives damaged: only smaller
    // chunks can get through, each still with its dot, whether the
    // cartridge asks for a damaged frame again or says nothing to it.
    using Answer = sim::DeviceEngine::DamagedRequests;
    for (const Answer answer : {Answer::AskAgain, Answer::Ignore}) {
        SCOPED_TRACE(answer == Answer::AskAgain ? "asks again" : "says nothing");
        Bench bench(Style(), 1100, [](Bytes& frame, int) { frame[frame.size() / 2] ^= 0x01; });
        bench.cartridge.Engine().SetDamagedRequests(answer);
        const Bytes data = testdata::Pattern(kBlock, 4);
        EXPECT_EQ(bench.host.WriteBlock(kAddress, data.data(), kBlock, true), 0);
        EXPECT_TRUE(bench.cartridge.Flash().Holds(kAddress, data));
        const sim::ProcedureCall* before = nullptr;
        for (const sim::ProcedureCall& call : bench.cartridge.Calls()) {
            if (call.procedure == sim::Procedure::kLoadBuffer) {
                EXPECT_LE(call.values.at(1), 1100u);
                ASSERT_NE(before, nullptr);
                EXPECT_EQ(before->bytes, Bytes{'.'}) << "every chunk comes after its dot";
            }
            before = &call;
        }
    }
}

TEST_P(DamagedLine, BlockConfirmedBeforeTheLineShowedDamageIsWrittenAgain)
{
    // The first block's first chunk keeps its sum over two flips while the
    // line has shown nothing; the next blocks' chunks arrive damaged every
    // other time, and the first block is then written again, checked.
    Bench bench(Style(), 1000, [](Bytes& frame, int number) {
        if (number == 1)
            FlipCompensating(frame, 300, 1900);
        if (number >= 3 && number <= 14 && number % 2 == 1)
            frame[frame.size() / 3] ^= 0x04;
    });
    const Bytes data = testdata::Pattern(3 * kBlock, 6);
    const std::string path = ::testing::TempDir() + "damagedline_" + GetParam() + ".frm";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
    }
    EXPECT_EQ(bench.host.UploadFirmware(0, path.c_str(), true), 0);
    std::remove(path.c_str());
    EXPECT_TRUE(bench.cartridge.Flash().Holds(0, data))
        << "a block confirmed before the damage showed kept its hidden flips";
    EXPECT_EQ(bench.host.BytesWritten(), static_cast<int64_t>(data.size()))
        << "a block written again counts once";
}

PLEMO_FOR_EACH_REPLY_STYLE(DamagedLine);

} // namespace
