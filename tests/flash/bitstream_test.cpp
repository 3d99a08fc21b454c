// The ".bit" reader: what lands in the header record and the data buffer for
// well-formed files, and how every kind of damaged file is refused.
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "flash/bitstream.h"
#include "tests/support/bitfile.h"

namespace {

using bitfile::Bytes;
using bitfile::Fields;

constexpr uint8_t kUnwritten = 0xEE;

// A header record and a data buffer filled with a value the reader never
// writes by itself, so that a test sees exactly what it touched.
struct Parse
{
    explicit Parse(const Bytes& file, uint32_t room = 256)
        : stream(bitfile::AsString(file)), data(room, kUnwritten), count(room)
    {
        std::memset(&header, kUnwritten, sizeof header);
    }

    int Run() { return ParseBitstream(stream, data.data(), &count, &header); }
    int RunHeaderOnly() { return ParseBitstream(stream, nullptr, nullptr, &header); }

    std::istringstream stream;
    Bytes data;
    uint32_t count;
    BitstreamHeader header;
};

Bytes Slot(const uint8_t* slot, std::size_t size)
{
    return Bytes(slot, slot + size);
}

Bytes Filled(std::size_t size, uint8_t value)
{
    return Bytes(size, value);
}

constexpr uint32_t kUnwrittenWord = 0xEEEEEEEE;
constexpr uint16_t kUnwrittenHalf = 0xEEEE;

} // namespace

TEST(BitstreamReader, StandardFileFillsRecordAndReversesData)
{
    Fields f;
    ASSERT_EQ(f.designName.size(), 29u);
    Parse p(bitfile::File(f));

    ASSERT_EQ(p.Run(), 0);
    EXPECT_EQ(Slot(p.header.designName, 29), f.designName);
    EXPECT_EQ(Slot(p.header.partName, f.partName.size()), f.partName);
    EXPECT_EQ(Slot(p.header.date, f.date.size()), f.date);
    EXPECT_EQ(Slot(p.header.time, f.time.size()), f.time);
    EXPECT_EQ(p.header.dataLength, 4u);
    EXPECT_EQ(p.count, 4u);
    EXPECT_EQ(Slot(p.data.data(), 5), (Bytes{0x80, 0x01, 0x48, 0x55, kUnwritten}));
    EXPECT_EQ(p.header.checksum, 0x80 + 0x01 + 0x48 + 0x55 + 4);
    EXPECT_EQ(p.header.marker, 0xCAFE);
}

TEST(BitstreamReader, TextSlotsTakeTheirFullRoomAndNoMore)
{
    Fields exact;
    exact.designName = Filled(32, 'N');
    exact.partName = Filled(16, 'P');
    exact.date = Filled(16, 'D');
    exact.time = Filled(16, 'T');
    Parse fits(bitfile::File(exact));
    ASSERT_EQ(fits.Run(), 0);
    EXPECT_EQ(Slot(fits.header.designName, 32), exact.designName);
    EXPECT_EQ(Slot(fits.header.partName, 16), exact.partName);
    EXPECT_EQ(Slot(fits.header.date, 16), exact.date);
    EXPECT_EQ(Slot(fits.header.time, 16), exact.time);

    Fields longName;
    longName.designName = Filled(33, 'N');
    Parse refused(bitfile::File(longName));
    EXPECT_EQ(refused.Run(), -1);
    EXPECT_EQ(Slot(refused.header.designName, 32), Filled(32, kUnwritten));
}

TEST(BitstreamReader, SeventeenBytesOfPartDateOrTimeAreRefused)
{
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        Fields f;
        Bytes& field = which == 0 ? f.partName : which == 1 ? f.date : f.time;
        field = Filled(17, 'x');
        Parse p(bitfile::File(f));
        EXPECT_EQ(p.Run(), -1);
        EXPECT_EQ(Slot(p.header.designName, f.designName.size()), f.designName);
        const uint8_t* slot =
            which == 0 ? p.header.partName : which == 1 ? p.header.date : p.header.time;
        EXPECT_EQ(Slot(slot, 16), Filled(16, kUnwritten)) << "a refused field leaves its slot";
    }
}

TEST(BitstreamReader, FieldsAreCopiedRawWithoutAddingATerminator)
{
    Fields f;
    f.designName = {'a', 0x00, 'b'};   // a NUL inside, none at the end
    f.partName = {};                   // an empty field
    f.date = {0x00, 0x00};
    Parse p(bitfile::File(f));
    ASSERT_EQ(p.Run(), 0);
    EXPECT_EQ(Slot(p.header.designName, 4), (Bytes{'a', 0x00, 'b', kUnwritten}));
    EXPECT_EQ(Slot(p.header.partName, 1), Bytes{kUnwritten});
    EXPECT_EQ(Slot(p.header.date, 3), (Bytes{0x00, 0x00, kUnwritten}));
}

TEST(BitstreamReader, StrayBytesBeforeAKeyAreSkippedAndTheFirstKeyCounts)
{
    Fields f;
    Bytes file;
    bitfile::AppendField(file, f.first);
    file.insert(file.end(), {0x00, 0x01, 'x', 'y', 'a'});
    bitfile::AppendField(file, {'A', 0});
    file.insert(file.end(), {0x00, 0xFF, 'b'});
    bitfile::AppendField(file, {'B', 0});
    file.insert(file.end(), {'b'}); // a second 'b': only a stray byte now
    bitfile::AppendField(file, {'X', 0});
    file.push_back('c');
    bitfile::AppendField(file, f.date);
    file.push_back('d');
    bitfile::AppendField(file, f.time);
    file.insert(file.end(), {'q', 'e', 0, 0, 0, 1, 0x01});

    Parse p(file);
    ASSERT_EQ(p.Run(), 0);
    EXPECT_EQ(Slot(p.header.designName, 2), (Bytes{'A', 0}));
    EXPECT_EQ(Slot(p.header.partName, 2), (Bytes{'B', 0}));
    EXPECT_EQ(p.data[0], 0x80);
}

TEST(BitstreamReader, DataCountIsCheckedAgainstTheRoomGiven)
{
    Fields f;
    f.data = Filled(10, 0x01);

    Parse tooLong(bitfile::File(f), 9);
    EXPECT_EQ(tooLong.Run(), -1);
    EXPECT_EQ(tooLong.header.dataLength, 10u) << "the record keeps the count it refused";
    EXPECT_EQ(tooLong.header.checksum, kUnwrittenHalf);
    EXPECT_EQ(tooLong.count, 9u);
    EXPECT_EQ(tooLong.data, Filled(9, kUnwritten));

    Parse exact(bitfile::File(f), 10);
    ASSERT_EQ(exact.Run(), 0);
    EXPECT_EQ(exact.data, Filled(10, 0x80));
    EXPECT_EQ(exact.count, 10u);
}

TEST(BitstreamReader, EmptyDataSucceedsAndWritesNoByte)
{
    Fields f;
    f.data = {};
    Parse p(bitfile::File(f), 8);
    ASSERT_EQ(p.Run(), 0);
    EXPECT_EQ(p.count, 0u);
    EXPECT_EQ(p.header.dataLength, 0u);
    EXPECT_EQ(p.header.checksum, 0);
    EXPECT_EQ(p.data, Filled(8, kUnwritten));
}

TEST(BitstreamReader, ChecksumCountsOneMoreThanEachStoredByte)
{
    Fields f;
    f.data = {0x01, 0x80};
    Parse p(bitfile::File(f));
    ASSERT_EQ(p.Run(), 0);
    EXPECT_EQ(Slot(p.data.data(), 2), (Bytes{0x80, 0x01}));
    EXPECT_EQ(p.header.checksum, 0x0083);

    Fields ones;
    ones.data = Filled(65536, 0xFF);
    Parse wraps(bitfile::File(ones), 65536);
    ASSERT_EQ(wraps.Run(), 0);
    EXPECT_EQ(wraps.data, Filled(65536, 0xFF));
    EXPECT_EQ(wraps.header.checksum, 0) << "each 0xFF adds 0x100";
}

TEST(BitstreamReader, EveryEarlyEndOfFileIsRefused)
{
    Fields f;
    const Bytes whole = bitfile::File(f);
    const std::size_t headerSize = bitfile::Header(f).size();
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        const Bytes truncated(whole.begin(), whole.begin() + static_cast<long>(cut));
        Parse withData(truncated);
        EXPECT_EQ(withData.Run(), -1);
        EXPECT_EQ(withData.count, 256u) << "the caller's count stays";
        EXPECT_EQ(withData.header.marker, 0xCAFE);

        Parse headerOnly(truncated);
        EXPECT_EQ(headerOnly.RunHeaderOnly(), cut >= headerSize ? 0 : -1);
    }
}

TEST(BitstreamReader, EndOfFileInsideTheDataKeepsWhatWasRead)
{
    Fields f;
    f.data = {0x01, 0x02, 0x03};
    Bytes file = bitfile::File(f);
    file.pop_back();
    Parse p(file);
    EXPECT_EQ(p.Run(), -1);
    EXPECT_EQ(Slot(p.data.data(), 3), (Bytes{0x80, 0x40, kUnwritten}));
    EXPECT_EQ(p.header.checksum, 0x80 + 1 + 0x40 + 1);
    EXPECT_EQ(p.count, 256u);
}

TEST(BitstreamReader, HeaderOnlyModeStopsAfterTheTimeField)
{
    Fields f;
    const Bytes file = bitfile::File(f);

    Parse p(file);
    ASSERT_EQ(p.RunHeaderOnly(), 0);
    EXPECT_EQ(Slot(p.header.time, f.time.size()), f.time);
    EXPECT_EQ(p.header.dataLength, kUnwrittenWord);
    EXPECT_EQ(p.header.checksum, kUnwrittenHalf);
    EXPECT_EQ(p.stream.get(), 'e') << "nothing beyond the 'd' field is read";

    // Either null pointer asks for the header alone.
    Parse noCount(file);
    EXPECT_EQ(ParseBitstream(noCount.stream, noCount.data.data(), nullptr, &noCount.header), 0);
    EXPECT_EQ(noCount.data, Filled(256, kUnwritten));
    Parse noData(file);
    EXPECT_EQ(ParseBitstream(noData.stream, nullptr, &noData.count, &noData.header), 0);
    EXPECT_EQ(noData.count, 256u);

    // A file that ends right after 'd' is whole for the header alone.
    Parse noDataSection(bitfile::Header(f));
    EXPECT_EQ(noDataSection.Run(), -1);
    Parse headerFile(bitfile::Header(f));
    EXPECT_EQ(headerFile.RunHeaderOnly(), 0);
}

TEST(BitstreamReader, MarkerIsSetWhateverTheOutcome)
{
    Parse empty(Bytes{});
    EXPECT_EQ(empty.Run(), -1);
    EXPECT_EQ(empty.header.marker, 0xCAFE);

    Parse good(bitfile::File(Fields{}));
    EXPECT_EQ(good.Run(), 0);
    EXPECT_EQ(good.header.marker, 0xCAFE);
}

TEST(BitstreamRecord, StoredBytesAreLittleEndianWithTheMarkerLast)
{
    BitstreamHeader header{};
    for (int i = 0; i < 32; ++i)
        header.designName[i] = static_cast<uint8_t>(i);
    header.partName[0] = 'P';
    header.date[15] = 'D';
    header.time[0] = 'T';
    header.dataLength = 0x11223344;
    header.checksum = 0xA1B2;
    header.marker = BitstreamHeader::kMarker;

    const auto bytes = header.StoredBytes();
    ASSERT_EQ(bytes.size(), 88u);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[31], 31);
    EXPECT_EQ(bytes[32], 'P');
    EXPECT_EQ(bytes[63], 'D');
    EXPECT_EQ(bytes[64], 'T');
    EXPECT_EQ(Bytes(bytes.begin() + 80, bytes.end()),
              (Bytes{0x44, 0x33, 0x22, 0x11, 0xB2, 0xA1, 0xFE, 0xCA}));
}

TEST(BitstreamSteps, ReverseBitsMirrorsEveryBit)
{
    EXPECT_EQ(ReverseBits(0x01), 0x80);
    EXPECT_EQ(ReverseBits(0x12), 0x48);
    EXPECT_EQ(ReverseBits(0xAA), 0x55);
    EXPECT_EQ(ReverseBits(0xA5), 0xA5);
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_EQ(ReverseBits(static_cast<uint8_t>(1 << bit)), 1 << (7 - bit)) << bit;
}

TEST(BitstreamSteps, ReadBigEndianReportsAShortRead)
{
    std::istringstream in(std::string("\x12\x34\x80\x00\x00\x01\x07", 7));
    EXPECT_EQ(ReadBigEndian(in, 0), 0u);
    EXPECT_EQ(ReadBigEndian(in, 2), 0x1234u);
    EXPECT_EQ(ReadBigEndian(in, 4), 0x80000001u);
    EXPECT_EQ(ReadBigEndian(in, 2), std::nullopt);
}

TEST(BitstreamStepsDeathTest, ReadBigEndianOfMoreThanFourBytesIsAProgrammingError)
{
    std::istringstream in(std::string(8, '\0'));
    EXPECT_DEATH(ReadBigEndian(in, 5), "len<=4");
}

TEST(BitstreamSteps, SkipToKeyConsumesTheKeyItself)
{
    std::istringstream in("xxaaZ");
    EXPECT_EQ(SkipToKey(in, 'a'), 0);
    EXPECT_EQ(in.get(), 'a');
    EXPECT_EQ(SkipToKey(in, 'q'), -1);
}

TEST(BitstreamSteps, ReadFieldLongerThanItsRoomReadsNoFurther)
{
    uint8_t slot[4] = {kUnwritten, kUnwritten, kUnwritten, kUnwritten};
    std::istringstream tooLong(std::string("\x00\x05zzzzz", 7));
    EXPECT_EQ(ReadField(tooLong, slot, 4), -1);
    EXPECT_EQ(tooLong.get(), 'z');
    EXPECT_EQ(Slot(slot, 4), Filled(4, kUnwritten));

    std::istringstream cut(std::string("\x00\x04zz", 4));
    EXPECT_EQ(ReadField(cut, slot, 4), -1);
    EXPECT_EQ(Slot(slot, 4), (Bytes{'z', 'z', kUnwritten, kUnwritten}));
}
