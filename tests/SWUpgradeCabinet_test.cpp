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

std::string Hl(const std::string& body) { return "\x1b[1m\x1b[33m" + body + "\x1b[0;m"; }

using Report = bool (SWUpgradeInterface::*)(int);
const Report kProgress = &SWUpgradeInterface::CabinetUpgradeProgress;
const Report kComplete = &SWUpgradeInterface::OnCabinetUpgradeComplete;

class CabinetReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qztest::DaemonProcess::BinaryPath().empty())
            GTEST_SKIP() << "the reference daemon is not built";
    }

    qztest::KvStoreRoot store;
    qztest::LogCapture log;
};

TEST_F(CabinetReport, ValueTravelsUnchangedInADefaultRecord)
{
    qztest::DaemonProcess daemon;
    SWUpgradeInterface client;
    const struct {
        Report report;
        const char *name, *valueHex;  // the value least significant byte first
        int command, value;
    } cases[] = {
        {kProgress, "CabinetUpgradeProgress", "32000000", 16390, 50},
        {kComplete, "OnCabinetUpgradeComplete", "ffffffff", 16391, -1},
        {kComplete, "OnCabinetUpgradeComplete", "78563412", 16391, 0x12345678},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
        log.Clear();
        EXPECT_TRUE((client.*c.report)(c.value));

        const auto call = daemon.Events("call").back();
        EXPECT_EQ(call["method"], "SendByteMessageWithRet");
        EXPECT_EQ(call["command"], c.command);
        // 47 bytes: six empty strings (length 1 and the zero byte), the total,
        // the value (bytes 34-37), the URL flag, the upgrade type, the host check.
        EXPECT_EQ(call["payload"], "0100000000" "0100000000" "0100000000" "0100000000"
                                   "0100000000" "0100000000" "00000000" +
                                       std::string(c.valueHex) + "00" "0000000000000000");

        EXPECT_TRUE(log.Has('E', c.name, Hl("")));
        EXPECT_TRUE(log.Has('E', c.name, Hl("Success Sending the Message")));
        EXPECT_TRUE(log.Has('E', c.name, Hl(" Result is Success ")));
    }
    EXPECT_EQ(daemon.Events("call").size(), 3u);
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
    EXPECT_EQ(daemon.Events("call").size(), 2u);
}

TEST_F(CabinetReport, FailedSendGivesFalse)
{
    qztest::DaemonProcess daemon({"--wrong-type", "16390"});
    SWUpgradeInterface client;
    EXPECT_FALSE(client.CabinetUpgradeProgress(1));
    EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl("Failed Sending the Message")));
    daemon.Stop();
    EXPECT_FALSE(client.OnCabinetUpgradeComplete(1));
    EXPECT_TRUE(log.Has('E', "OnCabinetUpgradeComplete", Hl("Failed Sending the Message")));
    EXPECT_EQ(log.Count("Success Sending the Message"), 0u);
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
    for (const auto& call : daemon.Events("call"))
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
