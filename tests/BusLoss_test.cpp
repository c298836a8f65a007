// The message bus goes away under a running client: it must cost failed
// calls, never the process. The bus is one per test process, hence a file.
#include <gtest/gtest.h>

#include "SWUpgradeInterface.h"
#include "TestSupport.h"

using namespace qztest;

static void ExpectDaemonOperationsFail(SWUpgradeInterface& client)
{
    int progress = 5;
    EXPECT_FALSE(client.GetUpgradeProgress(progress));
    EXPECT_EQ(client.GetSWUpgradeStatus(), "Idle");
    EXPECT_FALSE(client.startOTAUpgrade({{1, 100}}));
}

// Runs first (declaration order). GLib's shared connection ends the process
// when the bus closes it, unless the endpoint turns that off.
TEST(BusLoss, ApplicationOutlivesItsBusAndLaterCallsFailCleanly)
{
    LogCapture log;
    KvStoreRoot store;
    DaemonProcess daemon;
    SWUpgradeInterface client;
    int progress = 0;
    ASSERT_TRUE(client.GetUpgradeProgress(progress)) << "the daemon answers while the bus is up";
    ProcessBus()->Stop();
    // The closed connection is reported as the loss of every owned name.
    std::string lost = "on name lost, name:" + std::string(kLibraryBusName);
    EXPECT_TRUE(WaitUntil([&] { return log.Count(lost) > 0; }));
    log.Clear();
    ExpectDaemonOperationsFail(client);
    // A closed connection is neither "not found" nor a time-out.
    EXPECT_GE(log.Count("Send Error(SendByteMessageWithRet:4)"), 3u) << log.Text();
    EXPECT_EQ(log.Count("Send Error"), log.Count("Send Error(SendByteMessageWithRet:4)"));
}

TEST(BusLoss, ClientBuiltAfterTheLossWorksWithoutABus)
{
    LogCapture log;
    KvStoreRoot store;
    if (ProcessBus() != nullptr)
        ProcessBus()->Stop();
    SWUpgradeInterface client;
    EXPECT_TRUE(log.Has('E', "SWUpgradeInterface",
                        "\e[1m\e[33mFailed to initialize CQZGDBus!\e[0;m"));
    ExpectDaemonOperationsFail(client);
}
