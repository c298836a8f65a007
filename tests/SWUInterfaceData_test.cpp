// Byte format of the pack and of the request record, read and written.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>

#include "SWUInterfaceData.h"
#include "TestSupport.h"

// The largest single allocation while tracking is on: a read must never size
// a buffer from an announced length that the pack cannot back with bytes.
namespace {
std::atomic<bool> g_track{false};
std::atomic<size_t> g_largest{0};
}  // namespace

// The replaced operators pair malloc with free; GCC cannot see through the
// replacement and would report every inlined new/delete pair as mismatched.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    for (size_t seen = g_largest; g_track && size > seen;)
        if (g_largest.compare_exchange_weak(seen, size))
            break;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using Setter = void (*)(SWUDataContainer&);

std::string HexOf(const QzPack& pack) { return qztest::Hex(pack.GetData(), pack.GetSize()); }

QzPack PackOf(const std::string& hex)
{
    QzPack pack;
    auto bytes = qztest::Unhex(hex);
    pack.PutBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return pack;
}

// The six strings, then the numbers and the flag, each followed by '|'.
std::string Fields(const SWUDataContainer& r)
{
    std::ostringstream out;
    for (const auto& field : {r.m_strSoftwareID, r.m_strFileName, r.m_strSWVersion, r.m_strURL,
                              r.m_strCertificatePath, r.m_strCabinetID})
        out << field << '|';
    out << r.m_lTotalBytes << '|' << r.m_nProductType << '|' << r.m_bIsURL << '|'
        << r.m_nUpgradeType << '|' << r.m_nVerifyHost << '|';
    return out.str();
}

const std::string kEmptyStrings =  // six times: length 1, then the zero byte
    "0100000000" "0100000000" "0100000000" "0100000000" "0100000000" "0100000000";
const std::string kZeroNumbers(34, '0');   // 17 bytes: four ints and the flag
const std::string kEmbeddedZero = "06000000616200636400" "050000006e65787400" +
                                  kEmptyStrings.substr(20) + kZeroNumbers;

TEST(QzPack, WritesLittleEndianIntsOneByteFlagsAndRawBytes)
{
    const unsigned char data[] = {7, 8};
    QzPack pack;
    for (int32_t value : {1, -1, 47, 0x01020304})
        pack.PutInt(value);
    pack.PutBool(true);
    pack.PutBool(false);
    pack.PutBytes(nullptr, 2);
    pack.PutBytes(data, 0);
    pack.PutBytes(data, 2);
    EXPECT_EQ(HexOf(pack), "01000000ffffffff2f00000004030201" "0100" "0708");
}

TEST(QzPack, ReadsTakeFromTheFrontAndShortReadsChangeNothing)
{
    QzPack pack = PackOf("2a000000feffffff02aabb");
    int32_t first = 0;
    uint32_t second = 0;
    bool flag = false;
    unsigned char tail[2] = {};
    pack.GetInt(first), pack.GetInt(second), pack.GetBool(flag), pack.GetBytes(tail, 2);
    EXPECT_EQ(first, 42);
    EXPECT_EQ(second, 0xFFFFFFFEu);
    EXPECT_TRUE(flag) << "any non-zero byte is true";
    EXPECT_EQ(qztest::Hex(tail, 2), "aabb");
    EXPECT_EQ(pack.GetSize(), 0u);

    int32_t value = 99;
    flag = true;
    pack.GetInt(value), pack.GetBool(flag);
    EXPECT_EQ(value, 99);
    EXPECT_TRUE(flag) << "an empty pack";

    QzPack three = PackOf("000506");
    unsigned char dest[4] = {9, 9, 9, 9};
    three.GetInt(value), three.GetBytes(dest, 4), three.GetBytes(dest, 0);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(qztest::Hex(dest, 4), "09090909");
    three.GetBool(flag);
    EXPECT_FALSE(flag) << "GetBool takes the first of the three bytes";
    EXPECT_EQ(HexOf(three), "0506");
}

TEST(SWUDataContainerFormat, ImagesAreByteExact)
{
    const struct {
        const char* what;
        Setter set;
        std::string hex;
    } cases[] = {
        {"default: 47 bytes", [](SWUDataContainer&) {}, kEmptyStrings + kZeroNumbers},
        {"product type 50 at bytes 34-37", [](SWUDataContainer& r) { r.m_nProductType = 50; },
         kEmptyStrings + "00000000" "32000000" "00" "00000000" "00000000"},
        {"numbers follow the strings unaligned",
         [](SWUDataContainer& r) {
             r.m_lTotalBytes = 1000, r.m_nProductType = 4, r.m_bIsURL = true;
             r.m_nUpgradeType = 9, r.m_nVerifyHost = -2;
         },
         kEmptyStrings + "e8030000" "04000000" "01" "09000000" "feffffff"},
        {"\"abc\": length plus one and the zero byte",
         [](SWUDataContainer& r) { r.m_strSoftwareID = "abc"; },
         "0400000061626300" + kEmptyStrings.substr(10) + kZeroNumbers},
        {"the last string", [](SWUDataContainer& r) { r.m_strCabinetID = "Z"; },
         kEmptyStrings.substr(0, 50) + "020000005a00" + kZeroNumbers},
        {"an embedded zero travels with the whole string",
         [](SWUDataContainer& r) {
             r.m_strSoftwareID = std::string("ab\0cd", 5), r.m_strFileName = "next";
         },
         kEmbeddedZero},
    };
    for (const auto& c : cases) {
        SWUDataContainer record;
        c.set(record);
        QzPack pack;
        EXPECT_TRUE(record.Serialize(pack));
        EXPECT_EQ(HexOf(pack), c.hex) << c.what;
    }
    QzPack pack = PackOf("abcd");
    SWUDataContainer().Serialize(pack);
    EXPECT_EQ(HexOf(pack), "abcd" + kEmptyStrings + kZeroNumbers) << "appended behind";
}

TEST(SWUDataContainerFormat, RoundTripRestoresEveryFieldAndEmptiesThePack)
{
    SWUDataContainer sent;
    sent.m_strSoftwareID = "1 4096;2 100;", sent.m_strFileName = "image.img";
    sent.m_strSWVersion = "QR-KELTPNHAS-2.0", sent.m_strURL = "https://example.invalid/pkg";
    sent.m_strCertificatePath = "/etc/ssl/c.pem", sent.m_strCabinetID = "CAB-7";
    sent.m_lTotalBytes = 0xFFFFFFF0u, sent.m_nProductType = 9, sent.m_bIsURL = true;
    sent.m_nUpgradeType = 21, sent.m_nVerifyHost = -5;
    QzPack pack;
    sent.Serialize(pack);
    SWUDataContainer received;
    EXPECT_TRUE(received.Unserialize(pack));
    EXPECT_EQ(pack.GetSize(), 0u);
    EXPECT_EQ(Fields(received), Fields(sent));
}

TEST(SWUDataContainerFormat, LogsEntryAndExitAtErrorPriority)
{
    qztest::LogCapture log;
    QzPack pack;
    SWUDataContainer record;
    record.Serialize(pack);
    record.Unserialize(pack);
    auto line = [](const std::string& text) { return "\x1b[1m\x1b[33m" + text + "\x1b[0;m"; };
    EXPECT_TRUE(log.Has('E', "Serialize", line("SWUDataContainer::Serialize Entry")));
    EXPECT_TRUE(log.Has('E', "Serialize", line("SWUDataContainer::Serialize Exit")));
    EXPECT_TRUE(log.Has('E', "Unserialize", line("SWUDataContainer::UnSerialize Entry")));
    for (const auto& r : log.Records())
        EXPECT_EQ(r.tag, "qz-swu-interface");
}

// Short or odd data, read into a record that starts with strings and
// numbers of its own, so that what a read leaves alone shows.
TEST(SWUDataContainerRead, ShortOrOddPacksLeaveWhatTheyCannotRead)
{
    const struct {
        const char* what;
        std::string input;
        bool flagBefore;
        std::string fields;
        std::string left;
    } cases[] = {
        {"empty pack", "", true, "||||||111|222|1|333|444|", ""},
        {"ends after the strings", "0100000000" "06000000662e62696e00" + kEmptyStrings.substr(20),
         true, "|f.bin|||||111|222|1|333|444|", ""},
        {"flag byte 02", kEmptyStrings + "00000000" "00000000" "02" "00000000" "00000000", false,
         "||||||0|0|1|0|0|", ""},
        {"three bytes: only the flag can be read", "070809", false,
         "||||||111|222|1|333|444|", "0809"},
        {"over-long length, the following bytes stay in place",
         "64000000" "06000000" "78797a616200", true, "|xyzab|||||111|222|1|333|444|", ""},
        {"hostile length 0xFFFFFFFF", "ffffffff" "06000000" "68656c6c6f00", true,
         "|hello|||||111|222|1|333|444|", ""},
        // "a" (length 2), then three bytes: the second string reuses length 2
        // ("bc"), the third finds one byte, which then goes to the flag.
        {"a missing length reuses the previous one", "02000000" "6100" "626300", true,
         "a|bc|||||111|222|0|333|444|", ""},
        {"a string without its zero byte", "06000000616263646566" "02000000" "6700", true,
         "abcdef|g|||||111|222|1|333|444|", ""},
        {"an embedded zero ends the text", kEmbeddedZero, true, "ab|next|||||0|0|0|0|0|", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SWUDataContainer record;
        record.m_strSoftwareID = "old-id", record.m_strCabinetID = "old-cab";
        record.m_lTotalBytes = 111, record.m_nProductType = 222, record.m_bIsURL = c.flagBefore;
        record.m_nUpgradeType = 333, record.m_nVerifyHost = 444;
        QzPack pack = PackOf(c.input);
        g_largest = 0;
        g_track = true;
        bool ok = record.Unserialize(pack);
        g_track = false;
        EXPECT_TRUE(ok);
        EXPECT_LT(g_largest.load(), 4096u);
        EXPECT_EQ(Fields(record), c.fields);
        EXPECT_EQ(HexOf(pack), c.left);
    }
}

}  // namespace
