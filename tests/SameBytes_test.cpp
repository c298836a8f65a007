// The same bytes on every architecture: a full request record, whole OTA frames and cabinet
// reports compared with images written out in full, so that a 32-bit or 64-bit build that
// packs a field in another width, order or padding fails here.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "ContractBytes.h"
#include "RecordImage.h"
#include "SWUContract.h"
#include "SWUpgradeInterface.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

// Every field set, the numbers at values whose width and sign show.
SWUDataContainer FullRecord()
{
    return qztest::MakeRecord(
        {{"sw", "a.bin", "1.2", "", "/c", "cab"}, 0xFFFFFFF0u, -2, true, 3, 1});
}

// Each string is its length with the zero byte (little-endian) and its bytes.
const std::string kFullRecordHex =
    "03000000737700"        // "sw"
    "06000000612e62696e00"  // "a.bin"
    "04000000312e3200"      // "1.2"
    "0100000000"            // no URL
    "030000002f6300"        // "/c"
    "0400000063616200"      // "cab"
    "f0ffffff"              // total 0xFFFFFFF0
    "feffffff"              // product type -2
    "01"                    // URL flag
    "03000000"              // upgrade type
    "01000000";             // host check

TEST(SameBytes, RequestRecordPacksToTheFixedImageAndReadsBackFromIt)
{
    QzPack pack;
    ASSERT_TRUE(FullRecord().Serialize(pack));
    EXPECT_EQ(qztest::Hex(pack.GetData(), pack.GetSize()), kFullRecordHex);
    EXPECT_EQ(pack.GetSize(), qztest::PackedRecordSize(FullRecord()));
    EXPECT_TRUE(qztest::SameRecord(qztest::RecordFromHex(kFullRecordHex), FullRecord()));
}

struct OtaClient : SWUpgradeInterface {
    bool Send(const qztest::OtaFrameCase& c, Bytes& payload)
    {
        return downloadOTAdata(c.arg1, payload.data(), c.size, c.arg4, c.arg5);
    }
};

TEST(SameBytes, OtaFramesOnTheSocketAreTheFixedHeaderPayloadAndZeroTail)
{
    qztest::KvStoreRoot store;
    qztest::OtaListener listener;
    OtaClient client;
    for (const auto& c : qztest::kOtaFrames) {
        Bytes payload(qz::swu::kOTAMaxPayload, c.fill);
        ASSERT_TRUE(client.Send(c, payload)) << c.header;
    }
    ASSERT_TRUE(listener.Accept(5s));
    for (const auto& c : qztest::kOtaFrames) {
        SCOPED_TRACE(c.header);
        Bytes expected = qztest::Unhex(c.header);
        expected.insert(expected.end(), c.size > 0 ? c.size : 0, c.fill);
        expected.resize(qz::swu::kOTAFrameSize, 0);
        EXPECT_EQ(qztest::Hex(listener.Read(expected.size()).data(), expected.size()),
                  qztest::Hex(expected.data(), expected.size()));
    }
}

TEST(SameBytes, CabinetReportsReachTheDaemonAsTheFixedRecord)
{
    if (qztest::DaemonProcess::BinaryPath().empty())
        GTEST_SKIP() << "the reference daemon is not built";
    qztest::KvStoreRoot store;
    SWUpgradeInterface client;
    qztest::DaemonProcess daemon;
    const struct {
        int value;
        const char* hex;
    } reports[] = {
        {50, "32000000"}, {-1, "ffffffff"}, {INT_MAX, "ffffff7f"}, {INT_MIN, "00000080"}};
    for (const auto& r : reports)
        EXPECT_TRUE(client.CabinetUpgradeProgress(r.value)) << r.value;
    const auto calls = daemon.Events("call");
    ASSERT_EQ(calls.size(), std::size(reports));
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i]["command"], qz::swu::kCmdCabinetProgress);
        EXPECT_EQ(calls[i]["payload"], qztest::CabinetReportHex(reports[i].hex))
            << reports[i].value;
    }
}

}  // namespace
