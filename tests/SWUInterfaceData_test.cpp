// Byte format of the pack and of the request record, read and written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "SWUInterfaceData.h"
#include "TestSupport.h"

// Largest single allocation made while tracking is on: proves that a read
// never sizes a buffer from an announced length it cannot back with bytes.
namespace {
std::atomic<bool> g_trackAllocations{false};
std::atomic<size_t> g_largestAllocation{0};

void* TrackedAllocate(std::size_t size)
{
    if (g_trackAllocations) {
        size_t seen = g_largestAllocation;
        while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return TrackedAllocate(size); }
void* operator new[](std::size_t size) { return TrackedAllocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<unsigned char>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Bytes Contents(const QzPack& pack)
{
    return Bytes(pack.GetData(), pack.GetData() + pack.GetSize());
}

QzPack PackOf(const Bytes& bytes)
{
    QzPack pack;
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return pack;
}

Bytes Serialized(const SWUDataContainer& record)
{
    QzPack pack;
    EXPECT_TRUE(record.Serialize(pack));
    return Contents(pack);
}

Bytes EmptyStringGroups()
{
    Bytes out;
    for (int i = 0; i < 6; ++i)
        out.insert(out.end(), {0x01, 0x00, 0x00, 0x00, 0x00});
    return out;
}

// A record whose numbers all differ from the defaults, to see which keep
// their value.
SWUDataContainer Sentinel()
{
    SWUDataContainer record;
    record.m_strSoftwareID = "old-id";
    record.m_strCabinetID = "old-cab";
    record.m_lTotalBytes = 111;
    record.m_nProductType = 222;
    record.m_bIsURL = true;
    record.m_nUpgradeType = 333;
    record.m_nVerifyHost = 444;
    return record;
}

void ExpectNumbersUnchanged(const SWUDataContainer& record)
{
    EXPECT_EQ(record.m_lTotalBytes, 111u);
    EXPECT_EQ(record.m_nProductType, 222);
    EXPECT_TRUE(record.m_bIsURL);
    EXPECT_EQ(record.m_nUpgradeType, 333);
    EXPECT_EQ(record.m_nVerifyHost, 444);
}

// ------------------------------------------------------------- QzPack

TEST(QzPack, IntegersAreFourBytesLeastSignificantFirst)
{
    QzPack pack;
    pack.PutInt(1);
    pack.PutInt(-1);
    pack.PutInt(47);
    pack.PutInt(0x01020304);
    EXPECT_THAT(Contents(pack), ElementsAre(0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x2F, 0, 0, 0,
                                            0x04, 0x03, 0x02, 0x01));
}

TEST(QzPack, FlagsAreOneByte)
{
    QzPack pack;
    pack.PutBool(true);
    pack.PutBool(false);
    EXPECT_THAT(Contents(pack), ElementsAre(0x01, 0x00));
}

TEST(QzPack, PutBytesIgnoresNullPointerAndZeroCount)
{
    const unsigned char data[] = {7, 8};
    QzPack pack;
    pack.PutBytes(nullptr, 2);
    pack.PutBytes(data, 0);
    EXPECT_EQ(pack.GetSize(), 0u);
    pack.PutBytes(data, 2);
    EXPECT_THAT(Contents(pack), ElementsAre(7, 8));
}

TEST(QzPack, ReadsRemoveFromTheFront)
{
    QzPack pack = PackOf({0x2A, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x02, 0xAA, 0xBB});
    int32_t first = 0;
    uint32_t second = 0;
    bool flag = false;
    unsigned char tail[2] = {};
    pack.GetInt(first);
    pack.GetInt(second);
    pack.GetBool(flag);
    pack.GetBytes(tail, 2);
    EXPECT_EQ(first, 42);
    EXPECT_EQ(second, 0xFFFFFFFEu);
    EXPECT_TRUE(flag) << "any non-zero byte is true";
    EXPECT_THAT(tail, ElementsAre(0xAA, 0xBB));
    EXPECT_EQ(pack.GetSize(), 0u);
}

TEST(QzPack, ShortReadsChangeNothing)
{
    QzPack empty;
    int32_t value = 99;
    bool flag = true;
    empty.GetInt(value);
    empty.GetBool(flag);
    EXPECT_EQ(value, 99);
    EXPECT_TRUE(flag);
    EXPECT_EQ(empty.GetSize(), 0u);

    QzPack three = PackOf({0x00, 0x05, 0x06});
    three.GetInt(value);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(three.GetSize(), 3u);
    three.GetBool(flag);
    EXPECT_FALSE(flag) << "GetBool takes the first of the three bytes";
    EXPECT_THAT(Contents(three), ElementsAre(0x05, 0x06));
}

TEST(QzPack, GetBytesBeyondWhatIsHeldCopiesNothing)
{
    QzPack pack = PackOf({1, 2, 3});
    unsigned char dest[4] = {9, 9, 9, 9};
    pack.GetBytes(dest, 4);
    pack.GetBytes(dest, 0);
    EXPECT_THAT(dest, ElementsAre(9, 9, 9, 9));
    EXPECT_EQ(pack.GetSize(), 3u);
}

// ------------------------------------------------------------- record image

TEST(SWUDataContainerFormat, DefaultRecordIsFortySevenBytes)
{
    Bytes expected = EmptyStringGroups();
    expected.insert(expected.end(), 17, 0x00);
    EXPECT_THAT(Serialized(SWUDataContainer()), ElementsAreArray(expected));
}

TEST(SWUDataContainerFormat, ProductTypeSitsAtBytesThirtyFourToThirtySeven)
{
    SWUDataContainer record;
    record.m_nProductType = 50;
    Bytes bytes = Serialized(record);
    Bytes defaults = Serialized(SWUDataContainer());
    ASSERT_EQ(bytes.size(), 47u);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i >= 34 && i <= 37)
            continue;
        EXPECT_EQ(bytes[i], defaults[i]) << "byte " << i;
    }
    EXPECT_THAT(Bytes(bytes.begin() + 34, bytes.begin() + 38), ElementsAre(0x32, 0, 0, 0));
}

TEST(SWUDataContainerFormat, NumbersFollowTheStringsUnaligned)
{
    SWUDataContainer record;
    record.m_lTotalBytes = 1000;
    record.m_nProductType = 4;
    record.m_bIsURL = true;
    record.m_nUpgradeType = 9;
    record.m_nVerifyHost = -2;
    Bytes expected = EmptyStringGroups();
    expected.insert(expected.end(), {0xE8, 0x03, 0, 0, 0x04, 0, 0, 0, 0x01, 0x09, 0, 0, 0, 0xFE,
                                     0xFF, 0xFF, 0xFF});
    EXPECT_THAT(Serialized(record), ElementsAreArray(expected));
}

TEST(SWUDataContainerFormat, StringsCarryLengthPlusOneAndTheirZeroByte)
{
    SWUDataContainer record;
    record.m_strSoftwareID = "abc";
    Bytes bytes = Serialized(record);
    ASSERT_EQ(bytes.size(), 50u);
    EXPECT_THAT(Bytes(bytes.begin(), bytes.begin() + 8),
                ElementsAre(0x04, 0, 0, 0, 'a', 'b', 'c', 0x00));

    SWUDataContainer last;
    last.m_strCabinetID = "Z";
    Bytes tail = Serialized(last);
    EXPECT_THAT(Bytes(tail.begin() + 25, tail.begin() + 31), ElementsAre(0x02, 0, 0, 0, 'Z', 0));
}

TEST(SWUDataContainerFormat, SerializeAppendsBehindExistingBytes)
{
    QzPack pack = PackOf({0xAB, 0xCD});
    SWUDataContainer().Serialize(pack);
    Bytes bytes = Contents(pack);
    ASSERT_EQ(bytes.size(), 49u);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[1], 0xCD);
    EXPECT_EQ(bytes[2], 0x01);
}

TEST(SWUDataContainerFormat, RoundTripRestoresEveryFieldAndEmptiesThePack)
{
    SWUDataContainer sent;
    sent.m_strSoftwareID = "1 4096;2 100;";
    sent.m_strFileName = "image.img";
    sent.m_strSWVersion = "QR-KELTPNHAS-2.0";
    sent.m_strURL = "https://example.invalid/pkg";
    sent.m_strCertificatePath = "/etc/ssl/c.pem";
    sent.m_strCabinetID = "CAB-7";
    sent.m_lTotalBytes = 0xFFFFFFF0u;
    sent.m_nProductType = 9;
    sent.m_bIsURL = true;
    sent.m_nUpgradeType = 21;
    sent.m_nVerifyHost = -5;

    QzPack pack;
    sent.Serialize(pack);
    SWUDataContainer received;
    EXPECT_TRUE(received.Unserialize(pack));
    EXPECT_EQ(pack.GetSize(), 0u);
    EXPECT_EQ(received.m_strSoftwareID, sent.m_strSoftwareID);
    EXPECT_EQ(received.m_strFileName, sent.m_strFileName);
    EXPECT_EQ(received.m_strSWVersion, sent.m_strSWVersion);
    EXPECT_EQ(received.m_strURL, sent.m_strURL);
    EXPECT_EQ(received.m_strCertificatePath, sent.m_strCertificatePath);
    EXPECT_EQ(received.m_strCabinetID, sent.m_strCabinetID);
    EXPECT_EQ(received.m_lTotalBytes, sent.m_lTotalBytes);
    EXPECT_EQ(received.m_nProductType, sent.m_nProductType);
    EXPECT_EQ(received.m_bIsURL, sent.m_bIsURL);
    EXPECT_EQ(received.m_nUpgradeType, sent.m_nUpgradeType);
    EXPECT_EQ(received.m_nVerifyHost, sent.m_nVerifyHost);
}

TEST(SWUDataContainerFormat, LogsEntryAndExitAtErrorPriority)
{
    qztest::LogCapture log;
    QzPack pack;
    SWUDataContainer record;
    record.Serialize(pack);
    record.Unserialize(pack);
    const std::string hl = "\x1b[1m\x1b[33m";
    const std::string end = "\x1b[0;m";
    EXPECT_TRUE(log.Has('E', "Serialize", hl + "SWUDataContainer::Serialize Entry" + end));
    EXPECT_TRUE(log.Has('E', "Serialize", hl + "SWUDataContainer::Serialize Exit" + end));
    EXPECT_TRUE(log.Has('E', "Unserialize", hl + "SWUDataContainer::UnSerialize Entry" + end));
    for (const auto& record : log.Records())
        EXPECT_EQ(record.tag, "qz-swu-interface");
}

// ------------------------------------------------------------- reading short or odd data

TEST(SWUDataContainerRead, EmptyPackClearsStringsAndKeepsNumbers)
{
    SWUDataContainer record = Sentinel();
    QzPack pack;
    EXPECT_TRUE(record.Unserialize(pack));
    EXPECT_EQ(record.m_strSoftwareID, "");
    EXPECT_EQ(record.m_strCabinetID, "");
    ExpectNumbersUnchanged(record);
}

TEST(SWUDataContainerRead, PackEndingAfterTheStringsKeepsNumbers)
{
    SWUDataContainer source;
    source.m_strFileName = "f.bin";
    Bytes bytes = Serialized(source);
    bytes.resize(bytes.size() - 17);

    SWUDataContainer record = Sentinel();
    QzPack pack = PackOf(bytes);
    EXPECT_TRUE(record.Unserialize(pack));
    EXPECT_EQ(record.m_strSoftwareID, "");
    EXPECT_EQ(record.m_strFileName, "f.bin");
    ExpectNumbersUnchanged(record);
    EXPECT_EQ(pack.GetSize(), 0u);
}

TEST(SWUDataContainerRead, FlagByteTwoReadsAsTrue)
{
    Bytes bytes = Serialized(SWUDataContainer());
    bytes[38] = 0x02;
    SWUDataContainer record;
    QzPack pack = PackOf(bytes);
    record.Unserialize(pack);
    EXPECT_TRUE(record.m_bIsURL);
}

TEST(SWUDataContainerRead, ShortPackConsumesNothingItCannotRead)
{
    // Three bytes: no string length and no int can be read, but the flag can.
    SWUDataContainer record = Sentinel();
    record.m_bIsURL = false;
    QzPack pack = PackOf({0x07, 0x08, 0x09});
    EXPECT_TRUE(record.Unserialize(pack));
    EXPECT_EQ(record.m_strSoftwareID, "");
    EXPECT_EQ(record.m_lTotalBytes, 111u);
    EXPECT_EQ(record.m_nProductType, 222);
    EXPECT_TRUE(record.m_bIsURL) << "the flag took the first byte";
    EXPECT_EQ(record.m_nUpgradeType, 333);
    EXPECT_THAT(Contents(pack), ElementsAre(0x08, 0x09));
}

TEST(SWUDataContainerRead, OverLongLengthLeavesFollowingBytesInPlace)
{
    // Announced 100 with ten bytes after it: the ten bytes are a whole string
    // and become the next field.
    QzPack pack = PackOf({100, 0, 0, 0, 0x06, 0, 0, 0, 'x', 'y', 'z', 'a', 'b', 0});
    SWUDataContainer record = Sentinel();
    EXPECT_TRUE(record.Unserialize(pack));
    EXPECT_EQ(record.m_strSoftwareID, "");
    EXPECT_EQ(record.m_strFileName, "xyzab");
    EXPECT_EQ(record.m_strSWVersion, "");
    ExpectNumbersUnchanged(record);
    EXPECT_EQ(pack.GetSize(), 0u);
}

TEST(SWUDataContainerRead, HostileLengthAllocatesNothingOfItsSize)
{
    QzPack pack = PackOf({0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0});
    SWUDataContainer record = Sentinel();
    g_largestAllocation = 0;
    g_trackAllocations = true;
    bool ok = record.Unserialize(pack);
    g_trackAllocations = false;
    EXPECT_TRUE(ok);
    EXPECT_LT(g_largestAllocation.load(), 4096u);
    EXPECT_EQ(record.m_strSoftwareID, "");
    EXPECT_EQ(record.m_strFileName, "hello");
}

TEST(SWUDataContainerRead, MissingLengthReusesThePreviousStringsLength)
{
    // "a" (length 2), then only three bytes: the second string is read with
    // length 2 ("bc"), the third finds one byte, too few for length 2.
    QzPack pack = PackOf({0x02, 0, 0, 0, 'a', 0, 'b', 'c', 0x00});
    SWUDataContainer record = Sentinel();
    EXPECT_TRUE(record.Unserialize(pack));
    EXPECT_EQ(record.m_strSoftwareID, "a");
    EXPECT_EQ(record.m_strFileName, "bc");
    EXPECT_EQ(record.m_strSWVersion, "");
    EXPECT_FALSE(record.m_bIsURL) << "the last byte, 00, went to the flag";
    EXPECT_EQ(pack.GetSize(), 0u);
}

TEST(SWUDataContainerRead, StringWithoutZeroByteStopsAtItsLength)
{
    QzPack pack = PackOf({0x06, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 0x02, 0, 0, 0, 'g', 0});
    SWUDataContainer record;
    record.Unserialize(pack);
    EXPECT_EQ(record.m_strSoftwareID, "abcdef");
    EXPECT_EQ(record.m_strFileName, "g");
}

TEST(SWUDataContainerRead, EmbeddedZeroTruncatesButConsumesTheWholeString)
{
    SWUDataContainer sent;
    sent.m_strSoftwareID = std::string("ab\0cd", 5);
    sent.m_strFileName = "next";
    Bytes bytes = Serialized(sent);
    EXPECT_THAT(Bytes(bytes.begin(), bytes.begin() + 10),
                ElementsAre(0x06, 0, 0, 0, 'a', 'b', 0, 'c', 'd', 0));

    QzPack pack = PackOf(bytes);
    SWUDataContainer received;
    received.Unserialize(pack);
    EXPECT_EQ(received.m_strSoftwareID, "ab");
    EXPECT_EQ(received.m_strFileName, "next");
    EXPECT_EQ(pack.GetSize(), 0u);
}

}  // namespace
