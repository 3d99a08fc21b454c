// The message buffer: byte order, exact growth, bounded reads, the size limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rpc/rpcmessage.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ContentOf(const CRpcMessage& message)
{
    return Bytes(message.Data(), message.Data() + message.Length());
}

TEST(RpcMessagePacking, IntegersGoOutLeastSignificantByteFirst)
{
    CRpcMessage message(256);
    ASSERT_EQ(message.PutU32(0xC001F00D), 0);
    ASSERT_EQ(message.PutU16(500), 0);
    ASSERT_EQ(message.PutU8(0x7F), 0);
    EXPECT_EQ(ContentOf(message), (Bytes{0x0D, 0xF0, 0x01, 0xC0, 0xF4, 0x01, 0x7F}));
}

TEST(RpcMessagePacking, EmptyByteBlockIsJustItsZeroCount)
{
    CRpcMessage message(256);
    ASSERT_EQ(message.PutBytes(nullptr, 0), 0);
    EXPECT_EQ(ContentOf(message), (Bytes{0x00, 0x00}));
}

TEST(RpcMessagePacking, ByteBlockCarriesItsCountThenTheBytes)
{
    CRpcMessage message(256);
    const Bytes text = {'h', 'i', 0};
    ASSERT_EQ(message.PutBytes(text.data(), 3), 0);
    EXPECT_EQ(ContentOf(message), (Bytes{0x03, 0x00, 'h', 'i', 0}));
}

TEST(RpcMessagePacking, ReadsBackWhatWasPut)
{
    CRpcMessage message(4);
    message.PutU8(0xAB);
    message.PutU16(0xBEEF);
    message.PutU32(0x12345678);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(message.GetU8(u8), 0);
    EXPECT_EQ(message.GetU16(u16), 0);
    EXPECT_EQ(message.GetU32(u32), 0);
    EXPECT_EQ(u8, 0xAB);
    EXPECT_EQ(u16, 0xBEEF);
    EXPECT_EQ(u32, 0x12345678u);
}

TEST(RpcMessageGrowth, GrowsToExactlyTheNeedAndNoMore)
{
    CRpcMessage message(3);
    message.PutU8(1);
    message.PutU16(2);
    EXPECT_EQ(message.Capacity(), 3u);
    message.PutU8(3);
    EXPECT_EQ(message.Capacity(), 4u);
}

TEST(RpcMessageGrowth, ReusedMessageKeepsItsLargestArray)
{
    CRpcMessage message(256);
    const Bytes chunk(2048, 0x5A);
    message.PutU32(0);
    EXPECT_EQ(message.Capacity(), 256u);
    ASSERT_EQ(message.PutBytes(chunk.data(), 2048), 0);
    EXPECT_EQ(message.Capacity(), 2054u);
    EXPECT_EQ(message.Length(), 2054);

    const uint8_t* array = message.Data();
    message.Reset();
    message.PutU32(0);
    ASSERT_EQ(message.PutBytes(chunk.data(), 2048), 0);
    EXPECT_EQ(message.Capacity(), 2054u);
    EXPECT_EQ(message.Data(), array) << "a second chunk of the same size must not reallocate";
}

TEST(RpcMessageReading, ShortValueFailsAndLeavesTheByteForASmallerRead)
{
    CRpcMessage message(8);
    message.PutU8(0x42);
    uint16_t wide = 0xAAAA;
    EXPECT_EQ(message.GetU16(wide), -1);
    EXPECT_EQ(wide, 0xAAAA) << "a failed read must not touch the value";
    uint32_t widest = 0xBBBBBBBB;
    EXPECT_EQ(message.GetU32(widest), -1);
    EXPECT_EQ(widest, 0xBBBBBBBBu);
    uint8_t narrow = 0;
    EXPECT_EQ(message.GetU8(narrow), 0);
    EXPECT_EQ(narrow, 0x42);
    EXPECT_EQ(message.GetU8(narrow), -1);
}

TEST(RpcMessageReading, NothingIsLeftToReadAfterReset)
{
    CRpcMessage message(8);
    message.PutU32(0xFFFFFFFF);
    message.Reset();
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(message.GetU8(u8), -1);
    EXPECT_EQ(message.GetU16(u16), -1);
    EXPECT_EQ(message.GetU32(u32), -1);
    EXPECT_EQ(message.Length(), 0);
}

// A message is bounded by the 16-bit length on the wire. Growth computed in
// 16 bits would wrap to a tiny array here and the append would run past it.
TEST(RpcMessageLimit, AppendPastTheLimitIsRefusedAndAppendsNothing)
{
    CRpcMessage message(16);
    const Bytes fill(CRpcMessage::kMaxLength - 2, 0x11);
    ASSERT_EQ(message.PutBytes(fill.data(), static_cast<uint16_t>(fill.size())), 0);
    ASSERT_EQ(message.Length(), CRpcMessage::kMaxLength);

    EXPECT_LT(message.PutU8(1), 0);
    EXPECT_LT(message.PutU16(1), 0);
    EXPECT_LT(message.PutU32(1), 0);
    EXPECT_LT(message.PutBytes(fill.data(), 0), 0);
    EXPECT_EQ(message.Length(), CRpcMessage::kMaxLength);
    EXPECT_EQ(message.Capacity(), CRpcMessage::kMaxLength);
}

TEST(RpcMessageLimit, ByteBlockThatWouldNotFitLeavesNotEvenItsCount)
{
    CRpcMessage message(16);
    message.PutU32(7);
    const Bytes big(CRpcMessage::kMaxLength - 5, 0x22);
    EXPECT_LT(message.PutBytes(big.data(), static_cast<uint16_t>(big.size())), 0);
    EXPECT_EQ(message.Length(), 4);
    const Bytes fits(CRpcMessage::kMaxLength - 6, 0x22);
    EXPECT_EQ(message.PutBytes(fits.data(), static_cast<uint16_t>(fits.size())), 0);
    EXPECT_EQ(message.Length(), CRpcMessage::kMaxLength);
}

TEST(RpcMessageLimit, FourBytesShortOfTheLimitTakeAWordButNotMore)
{
    CRpcMessage message(16);
    const Bytes fill(CRpcMessage::kMaxLength - 6, 0x33);
    message.PutBytes(fill.data(), static_cast<uint16_t>(fill.size()));
    ASSERT_EQ(message.Length(), CRpcMessage::kMaxLength - 4);
    EXPECT_LT(message.PutBytes(fill.data(), 3), 0);
    EXPECT_EQ(message.Length(), CRpcMessage::kMaxLength - 4);
    EXPECT_EQ(message.PutU32(0xDEADBEEF), 0);
    ASSERT_EQ(message.Length(), CRpcMessage::kMaxLength);
    const uint8_t* tail = message.Data() + CRpcMessage::kMaxLength - 4;
    EXPECT_EQ(Bytes(tail, tail + 4), (Bytes{0xEF, 0xBE, 0xAD, 0xDE}));
}

} // namespace
