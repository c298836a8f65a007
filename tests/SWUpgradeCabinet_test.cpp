// Cabinet reporting: the value reaches the daemon in a default record, and
// only the exact reply "success" counts.
#include <gtest/gtest.h>
#include <vconf.h>

#include <cstdint>
#include <string>
#include <vector>

#include "SWUpgradeInterface.h"
#include "TestSupport.h"

namespace {

const std::string kHl = "\x1b[1m\x1b[33m";
const std::string kHlEnd = "\x1b[0;m";
std::string Hl(const std::string& body) { return kHl + body + kHlEnd; }

// The record as the daemon receives it, spelled out byte by byte: six empty
// strings (length 1 and the zero byte), the total, the value least
// significant byte first, the URL flag, the upgrade type and host check.
std::string ExpectedPayload(int32_t value)
{
    std::string hex;
    for (int i = 0; i < 6; ++i)
        hex += "0100000000";
    hex += "00000000";
    const uint32_t bits = static_cast<uint32_t>(value);
    const unsigned char le[4] = {static_cast<unsigned char>(bits),
                                 static_cast<unsigned char>(bits >> 8),
                                 static_cast<unsigned char>(bits >> 16),
                                 static_cast<unsigned char>(bits >> 24)};
    hex += qztest::Hex(le, 4);
    hex += "00";
    hex += "0000000000000000";
    return hex;
}

class CabinetReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qztest::DaemonProcess::BinaryPath().empty())
            GTEST_SKIP() << "the reference daemon is not built";
    }

    static std::vector<nlohmann::json> Calls(const qztest::DaemonProcess& daemon)
    {
        return daemon.Events("call");
    }

    qztest::KvStoreRoot store;
    qztest::LogCapture log;
};

TEST_F(CabinetReport, ProgressTravelsAsCommand16390)
{
    qztest::DaemonProcess daemon;
    SWUpgradeInterface client;

    EXPECT_TRUE(client.CabinetUpgradeProgress(50));

    const auto calls = Calls(daemon);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["method"], "SendByteMessageWithRet");
    EXPECT_EQ(calls[0]["command"], 16390);
    const std::string payload = calls[0]["payload"];
    EXPECT_EQ(payload.size(), 2u * 47);
    EXPECT_EQ(payload, ExpectedPayload(50));
    EXPECT_EQ(payload.substr(2 * 34, 8), "32000000");

    EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl("")));
    EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl("Success Sending the Message")));
    EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl(" Result is Success ")));
}

TEST_F(CabinetReport, CompletionTravelsAsCommand16391WithNegativeValuesUnchanged)
{
    qztest::DaemonProcess daemon;
    SWUpgradeInterface client;

    EXPECT_TRUE(client.OnCabinetUpgradeComplete(-1));
    EXPECT_TRUE(client.OnCabinetUpgradeComplete(0x12345678));

    const auto calls = Calls(daemon);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["command"], 16391);
    EXPECT_EQ(calls[0]["payload"], ExpectedPayload(-1));
    EXPECT_EQ(calls[0]["payload"].get<std::string>().substr(2 * 34, 8), "ffffffff");
    EXPECT_EQ(calls[1]["payload"].get<std::string>().substr(2 * 34, 8), "78563412");
    EXPECT_TRUE(log.Has('E', "OnCabinetUpgradeComplete", Hl(" Result is Success ")));
}

TEST_F(CabinetReport, OnlyTheExactReplySuccessCounts)
{
    qztest::DaemonProcess daemon({"--reply", "16390=Success", "--reply", "16391=success "});
    SWUpgradeInterface client;

    EXPECT_FALSE(client.CabinetUpgradeProgress(10));
    EXPECT_FALSE(client.OnCabinetUpgradeComplete(10));

    EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl("Success Sending the Message")));
    EXPECT_TRUE(log.Has('E', "OnCabinetUpgradeComplete", Hl("Success Sending the Message")));
    EXPECT_EQ(log.Count(" Result is Success "), 0u);
    EXPECT_EQ(Calls(daemon).size(), 2u);
}

TEST_F(CabinetReport, FailedSendGivesFalse)
{
    qztest::DaemonProcess daemon({"--wrong-type", "16390"});
    SWUpgradeInterface client;

    EXPECT_FALSE(client.CabinetUpgradeProgress(1));
    EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl("Failed Sending the Message")));
    EXPECT_EQ(log.Count("Success Sending the Message"), 0u);

    daemon.Stop();
    log.Clear();
    EXPECT_FALSE(client.OnCabinetUpgradeComplete(1));
    EXPECT_TRUE(log.Has('E', "OnCabinetUpgradeComplete", Hl("Failed Sending the Message")));
}

TEST_F(CabinetReport, ReportsGoOutEvenWhileAnUpgradeIsActive)
{
    ASSERT_EQ(vconf_set_str("db/corvane/swupgrade/swu_result", "true&1&busy&ProcJOR&x"), 0);
    qztest::DaemonProcess daemon({"--reply", "16393=InProgressStatus"});
    SWUpgradeInterface client;
    ASSERT_TRUE(client.isSWUpgrading(SWU_PROCESS_JOR));

    EXPECT_TRUE(client.CabinetUpgradeProgress(75));
    EXPECT_TRUE(client.OnCabinetUpgradeComplete(100));

    std::vector<int> commands;
    for (const auto& call : Calls(daemon))
        commands.push_back(call["command"]);
    EXPECT_EQ(commands, (std::vector<int>{16390, 16391})) << "no busy test, no state query";
}

class NoBusCabinetReport : public ::testing::Test {
protected:
    qztest::LogCapture log;
};

TEST_F(NoBusCabinetReport, WithoutABusNothingIsReportedAsDone)
{
    SWUpgradeInterface client;
    EXPECT_FALSE(client.CabinetUpgradeProgress(50));
    EXPECT_FALSE(client.OnCabinetUpgradeComplete(-1));
    EXPECT_EQ(log.Count("Failed Sending the Message"), 2u);
}

}  // namespace
