// Byte format of the request record, written and read through the pack.
#include <array>
#include <cstdlib>
#include <new>
#include <vector>

#include "RecordImage.h"
#include "SWUInterfaceData.h"
#include "TestCommon.h"

// The largest allocation seen, to show that a read sizes no buffer from a bare announced length;
// allocations from g_failFrom bytes on fail, as on a device out of memory.
static size_t g_largest = 0;
static size_t g_failFrom = SIZE_MAX;

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // malloc/free pairs GCC cannot see
void* operator new(std::size_t size)
{
    g_largest = std::max(size, g_largest);
    if (size >= g_failFrom)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// Under valgrind its own allocator replaces the one above, and the checks
// that watch allocations have nothing to watch.
static bool OwnAllocatorInUse()
{
    g_largest = 0;
    ::operator delete(::operator new(64));
    return g_largest == 64;
}

namespace {

std::string HexOf(const QzPack& pack) { return qztest::Hex(pack.GetData(), pack.GetSize()); }

// Hex written in groups for the reader: the spaces go.
std::string Grouped(std::string spaced)
{
    spaced.erase(std::remove(spaced.begin(), spaced.end(), ' '), spaced.end());
    return spaced;
}

const std::string kEmptyStrings =  // six, each length 1 and its zero byte
    Grouped("0100000000 0100000000 0100000000 0100000000 0100000000 0100000000");
// The flag, upgrade type and verify host of a new record.
const std::string kFlagAndKinds = Grouped("00 00000000 00000000");

std::array<std::string*, 6> StringsOf(SWUDataContainer& r)
{
    return {&r.m_strSoftwareID, &r.m_strFileName,        &r.m_strSWVersion,
            &r.m_strURL,        &r.m_strCertificatePath, &r.m_strCabinetID};
}

// 47 bytes by default, product type 50 at bytes 34-37; "abc" has length 4 and its zero byte.
TEST(SWUDataContainerFormat, WritesByteExactImagesThatReadBackWhole)
{
    SWUDataContainer record;
    QzPack fresh;
    EXPECT_TRUE(record.Serialize(fresh));
    EXPECT_EQ(HexOf(fresh), kEmptyStrings + Grouped("00000000 00000000") + kFlagAndKinds);
    record.m_nProductType = 50;
    QzPack typed;
    typed.PutBool(true);  // a record appends after what the pack holds
    record.Serialize(typed);
    EXPECT_EQ(HexOf(typed), "01" + kEmptyStrings + Grouped("00000000 32000000") + kFlagAndKinds);
    record.m_strSoftwareID = "abc";
    record.m_lTotalBytes = 0xFFFFFFF0u;
    record.m_bIsURL = true;
    QzPack pack;
    record.Serialize(pack);
    const std::string sent = HexOf(pack);
    EXPECT_EQ(sent.substr(0, 16), "0400000061626300");
    SWUDataContainer received;
    EXPECT_TRUE(received.Unserialize(pack));
    EXPECT_EQ(pack.GetSize(), 0u);
    received.Serialize(pack);
    EXPECT_EQ(HexOf(pack), sent);
}

// Lengths up to and past those at which the string copy changes its way of moving bytes.
TEST(SWUDataContainerFormat, OnePieceImageEqualsFieldByFieldImageAtEveryLength)
{
    for (size_t length = 0; length <= 130; ++length) {
        SCOPED_TRACE(length);
        SWUDataContainer record =
            qztest::MakeRecord({{"", "", "", "", "", ""}, 0x01020304u, -2, true, 3, 1});
        const auto strings = StringsOf(record);
        for (size_t i = 0; i < 6; ++i)  // each string a different length and letter
            strings[i]->assign(length + i * 7 % 11, static_cast<char>('a' + i));
        QzPack expected;
        for (const std::string* text : strings) {
            expected.PutInt(static_cast<int32_t>(text->size() + 1));
            expected.PutBytes(text->c_str(), static_cast<uint32_t>(text->size() + 1));
        }
        expected.PutInt(static_cast<int32_t>(record.m_lTotalBytes));
        expected.PutInt(record.m_nProductType);
        expected.PutBool(record.m_bIsURL);
        expected.PutInt(record.m_nUpgradeType);
        expected.PutInt(record.m_nVerifyHost);
        QzPack pack;
        record.Serialize(pack);
        ASSERT_EQ(HexOf(pack), HexOf(expected));
    }
}

// Every string is overwritten, to empty where the pack holds none; numbers not reached stay.
TEST(SWUDataContainerRead, ShortOrOddPacksLeaveWhatTheyCannotRead)
{
    const struct {
        const char* what;
        std::string input, fields;  // fields: the six strings, total, product type, flag
    } cases[] = {
        {"flag byte 02", kEmptyStrings + Grouped("00000000 00000000 02 0000000000000000"),
         "||||||0|0|1"},
        {"three bytes: too short for an int, one for the flag", "070809", "||||||111|77|1"},
        {"length 0xFFFFFFFF: nothing allocated, the following bytes stay",
         Grouped("ffffffff 06000000 68656c6c6f00"), "|hello|||||111|77|0"},
        // "a" (length 2), then "bc" read with length 2 again; the one byte left goes to the flag.
        {"a missing length reuses the previous one", Grouped("02000000 6100 626301"),
         "a|bc|||||111|77|1"},
        {"a length 0 reads as empty and consumes nothing more",
         Grouped("00000000 02000000 7a00 03000000 797900 02000000 7800 01000000 00 02000000 7700"),
         "|z|yy|x||w|111|77|0"},
        {"exactly four bytes left read as the total", kEmptyStrings + "2a000000", "||||||42|77|0"},
        {"exactly four bytes left read as the product type",
         kEmptyStrings + Grouped("2a000000 05000000"), "||||||42|5|0"},
    };
    const bool allocationsWatched = OwnAllocatorInUse();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SWUDataContainer record;
        record.m_lTotalBytes = 111;
        record.m_nProductType = 77;
        for (std::string* text : StringsOf(record))
            *text = "old";
        QzPack pack;
        auto bytes = qztest::Unhex(c.input);
        pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
        g_largest = 0;
        EXPECT_TRUE(record.Unserialize(pack));
        if (allocationsWatched) {
            EXPECT_LT(g_largest, 4096u);
        }
        std::string fields;
        for (const std::string* text : StringsOf(record))
            fields += *text + '|';
        fields += std::to_string(record.m_lTotalBytes) + '|' +
                  std::to_string(record.m_nProductType) + '|' + std::to_string(record.m_bIsURL);
        EXPECT_EQ(fields, c.fields);
    }
}

TEST(SWUDataContainerFormat, AStringWithoutMemoryFailsTheRead)
{
    if (!OwnAllocatorInUse())
        GTEST_SKIP() << "the allocator cannot be made to fail here";
    SWUDataContainer sent, received;
    sent.m_strURL.assign(5000, 'u');
    QzPack pack;
    sent.Serialize(pack);
    g_failFrom = 4096;
    const bool read = received.Unserialize(pack);
    g_failFrom = SIZE_MAX;
    EXPECT_FALSE(read);
}

// One byte sequence and nothing else: reads take bytes off its front while writes go on at
// the end, and no read position or allocator of its own rides along.
TEST(QzPackLayout, ReadsAndWritesInTurnsShowOnlyUnreadBytes)
{
    EXPECT_EQ(sizeof(QzPack), sizeof(std::vector<unsigned char>));
    QzPack pack;
    pack.PutInt(1);
    pack.PutInt(2);
    int32_t value = 0;
    pack.GetInt(value);
    pack.PutBool(true);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(HexOf(pack), "0200000001");
    SWUDataContainer record;
    record.Serialize(pack);  // appended after the unread bytes
    EXPECT_EQ(HexOf(pack).substr(0, 10 + 10), Grouped("0200000001 0100000000"));
    pack.GetInt(value);
    bool flag = false;
    pack.GetBool(flag);
    EXPECT_EQ(value, 2);
    EXPECT_TRUE(flag);
    SWUDataContainer read;
    EXPECT_TRUE(read.Unserialize(pack));
    EXPECT_EQ(pack.GetSize(), 0u);
    pack.PutInt(-1);  // a pack read empty starts over
    EXPECT_EQ(HexOf(pack), "ffffffff");
}

}  // namespace
