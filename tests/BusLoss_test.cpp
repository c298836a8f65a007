// The message bus itself goes away under a running client. The bus is one
// per test process, so these cases live in an executable of their own.
//
// The library shares GLib's system-bus connection with the application,
// and GLib's default for that connection is to terminate the process when
// the bus closes it. The endpoint turns that off: losing the bus must cost
// the application failed calls, never its life.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "QZGDBus.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"
#include "TestSupport.h"

using qztest::LogCapture;
using qztest::WaitUntil;
namespace swu = qz::swu;
using namespace std::chrono_literals;

namespace {

std::string Hl(const std::string& body) { return "\e[1m\e[33m" + body + "\e[0;m"; }

void ExpectDaemonOperationsFail(SWUpgradeInterface& client)
{
    stSWUpgradeInfo info;
    info.szFileName = "update.img";
    info.nProductType = SWU_PROCESS_URL;
    EXPECT_FALSE(client.SoftwareUpdate(&info));
    int progress = 5;
    EXPECT_FALSE(client.GetUpgradeProgress(progress));
    EXPECT_EQ(progress, 5);
    EXPECT_FALSE(client.NotifySWUpdateResult());
    EXPECT_FALSE(client.CabinetUpgradeProgress(10));
    EXPECT_EQ(client.GetSWUpgradeStatus(), "Idle");
    EXPECT_FALSE(client.startOTAUpgrade({{1, 100}}));
}

class BusLoss : public ::testing::Test {
protected:
    LogCapture log;
    qztest::KvStoreRoot store;
};

// Runs first (declaration order): the process bus is still there.
TEST_F(BusLoss, ApplicationOutlivesItsBusAndLaterCallsFailCleanly)
{
    ASSERT_NE(qztest::ProcessBus(), nullptr);
    auto daemon = std::make_unique<qztest::DaemonProcess>();
    SWUpgradeInterface client;
    int progress = 0;
    ASSERT_TRUE(client.GetUpgradeProgress(progress)) << "the daemon answers while the bus is up";

    qztest::ProcessBus()->Stop();
    // GLib reports the closed connection as the loss of every owned name;
    // by then an exit-on-close connection would have ended this process.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return log.Count("on name lost, name:" + std::string(swu::kLibraryBusName)) > 0;
        },
        5000ms));

    log.Clear();
    ExpectDaemonOperationsFail(client);
    // A closed connection is neither "not found" nor a time-out.
    EXPECT_GE(log.Count("Send Error(SendByteMessageWithRet:4)"), 5u) << log.Text();
    EXPECT_EQ(log.Count("Send Error"), log.Count("Send Error(SendByteMessageWithRet:4)"));

    CQZGDBus endpoint;
    EXPECT_FALSE(endpoint.IsAlive(swu::kDaemonBusName));
    daemon.reset();
}

// Runs after the bus is gone: a client built now cannot reach any bus.
TEST_F(BusLoss, ClientBuiltAfterTheLossWorksWithoutABus)
{
    if (qztest::ProcessBus() != nullptr)
        qztest::ProcessBus()->Stop();
    auto client = std::make_unique<SWUpgradeInterface>();
    EXPECT_TRUE(log.Has('E', "SWUpgradeInterface", Hl("Failed to initialize CQZGDBus!")));
    ExpectDaemonOperationsFail(*client);
    client.reset();  // tearing down an endpoint without a bus is clean too
}

}  // namespace
