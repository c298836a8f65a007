// Cabinet reporting: the value reaches the daemon in a default record, and
// only the exact reply "success" counts.
#include "ContractBytes.h"
#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

using qztest::ForCommand;
using qztest::Hl;

TEST(CabinetReport, ValueTravelsInA47BytePayloadAndOnlyAnExactSuccessCounts)
{
    if (qztest::DaemonProcess::BinaryPath().empty())
        GTEST_SKIP() << "the reference daemon is not built";
    qztest::KvStoreRoot store;
    qztest::LogCapture log;
    SWUpgradeInterface client;
    {
        qztest::DaemonProcess daemon;
        EXPECT_TRUE(client.CabinetUpgradeProgress(50));
        EXPECT_TRUE(client.OnCabinetUpgradeComplete(-1));
        EXPECT_TRUE(log.Has('E', "CabinetUpgradeProgress", Hl("Success Sending the Message")));
        EXPECT_TRUE(log.Has('E', "OnCabinetUpgradeComplete", Hl(" Result is Success ")));
        // One place writes every command's outcome lines: the daemon link's file names them.
        for (const auto& line :
             log.Find("CabinetUpgradeProgress", Hl("Success Sending the Message")))
            EXPECT_EQ(line.message.rfind("SWUDaemonLink.cpp: ", 0), 0u) << line.message;
        const auto calls = daemon.Events("call");
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0]["command"], swu::kCmdCabinetProgress);
        EXPECT_EQ(calls[0]["payload"], qztest::CabinetReportHex("32000000"));
        EXPECT_EQ(calls[1]["command"], swu::kCmdCabinetComplete);
        EXPECT_EQ(calls[1]["payload"], qztest::CabinetReportHex("ffffffff"));
    }
    // A reply that differs from "success" only in case or a trailing space declines.
    for (const std::string reply : {"Success", "success "}) {
        qztest::DaemonProcess declining({"--reply", ForCommand(swu::kCmdCabinetProgress, reply),
                                         "--reply", ForCommand(swu::kCmdCabinetComplete, reply)});
        EXPECT_FALSE(client.CabinetUpgradeProgress(10)) << reply;
        EXPECT_FALSE(client.OnCabinetUpgradeComplete(10)) << reply;
    }
    EXPECT_EQ(log.Count("Result is Success"), 2u) << "only from the accepted reports";
    EXPECT_FALSE(client.OnCabinetUpgradeComplete(10));
    EXPECT_TRUE(log.Has('E', "OnCabinetUpgradeComplete", Hl("Failed Sending the Message")));
}

}  // namespace
