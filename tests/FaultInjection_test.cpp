// Faults around the client: the daemon absent, answering wrongly, silent or killed; the
// key-value store and system information unreadable; a hostile peer on the bus.
#include <vconf.h>

#include "QZGDBus.h"
#include "SWUpgradeCallStatus.h"
#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

using qztest::DaemonProcess;

using FaultTest = qztest::ClientFixture;

TEST_F(FaultTest, AbsentOrWrongTypeDaemonFailsEveryOperation)
{
    std::vector<std::string> wrongType;
    for (int command : {swu::kCmdSubmitRequest, swu::kCmdNotifyResult, swu::kCmdCabinetComplete,
                        swu::kCmdQueryProgress, swu::kCmdQueryState})
        wrongType.insert(wrongType.end(), {"--wrong-type", std::to_string(command)});
    for (bool present : {false, true}) {
        SCOPED_TRACE(present ? "wrong type" : "absent");
        std::optional<DaemonProcess> daemon;
        if (present)
            daemon.emplace(wrongType);
        SWUpgradeInterface client;
        EXPECT_FALSE(client.SoftwareUpdate("update.img", 1000, "1.0", "http://host/update.img"));
        int progress = 0;
        EXPECT_FALSE(client.GetUpgradeProgress(progress));
        EXPECT_FALSE(client.NotifySWUpdateResult());
        EXPECT_FALSE(client.OnCabinetUpgradeComplete(1));
        EXPECT_EQ(client.GetSWUpgradeStatus(), "Idle");
        EXPECT_FALSE(client.startOTAUpgrade({{1, 4096}}));
        if (daemon) {
            EXPECT_GE(daemon->Events("call").size(), 6u) << "the calls did reach the daemon";
        }
    }
    EXPECT_GE(log.Count("MessageWithRet:" + std::to_string(CQZGDBus::RET_NOT_FOUND)), 6u);
}

// Waits out the bus call time-out (about 25 s; the daemon holds its answer 40 s): a suite
// of its own, labelled "slow". A pending result makes the busy test ask; no answer is busy.
struct SlowFaultTest : FaultTest {};

TEST_F(SlowFaultTest, UnansweredCallTimesOutAndCountsAsBusy)
{
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, "true&9&Downloading&ProcKAV&x"));
    DaemonProcess daemon({"--delay", std::to_string(swu::kCmdQueryState) + "=40000"});
    SWUpgradeInterface client;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.isSWUpgrading(SWU_PROCESS_OTA));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_EQ(log.Count("MessageWithRet:" + std::to_string(CQZGDBus::RET_TIMEOUT)), 1u);
}

// A daemon dying with the call makes the bus answer "no reply" at once: a time-out (busy),
// which the asking thread's call status tells.
TEST_F(FaultTest, DaemonDyingBeforeItsAnswerCountsAsATimeOut)
{
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, "true&9&Downloading&ProcKAV&x"));
    DaemonProcess daemon({"--delay", std::to_string(swu::kCmdQueryState) + "=40000"});
    SWUpgradeInterface client;
    std::atomic<bool> busy{false}, done{false};
    std::string status;
    std::thread asker([&] {
        qz_swu_clear_call_status();
        busy = client.isSWUpgrading(SWU_PROCESS_OTA);
        status = qz_swu_call_status_name(qz_swu_last_call_status());
        done = true;
    });
    EXPECT_TRUE(qztest::WaitUntil([&] { return !daemon.Events("call").empty(); }));
    daemon.Kill();
    EXPECT_TRUE(qztest::WaitUntil([&] { return done.load(); }, 10s));
    asker.join();
    EXPECT_TRUE(busy);
    EXPECT_EQ(status, "timed out");
    EXPECT_EQ(log.Count("MessageWithRet:" + std::to_string(CQZGDBus::RET_TIMEOUT)), 1u);
}

TEST_F(FaultTest, DaemonKilledMidStreamThenANewPlanStreamsToItsSuccessor)
{
    std::vector<unsigned char> frame(4080, 0x5a);
    std::optional<DaemonProcess> daemon(std::in_place);
    SWUpgradeInterface client;
    ASSERT_TRUE(client.startOTAUpgrade({{1, 10 * 4080}}));
    EXPECT_TRUE(client.downloadOTAdata(1, frame.data(), 4080, 0, 0));
    ASSERT_TRUE(qztest::WaitUntil([&] { return daemon->Events("frame").size() == 1; }));
    daemon->Kill();
    // The dead socket's buffer may take a frame or two; then every write fails, logged.
    EXPECT_TRUE(qztest::WaitUntil([&] {
        EXPECT_TRUE(client.downloadOTAdata(1, frame.data(), 4080, 4080, 1));
        return log.Count("write error:-1") >= 2;
    }));
    EXPECT_TRUE(client.stopOTAUpgrade());
    daemon.reset();
    daemon.emplace();
    ASSERT_TRUE(client.startOTAUpgrade({{1, 4080}}));
    EXPECT_TRUE(client.downloadOTAdata(1, frame.data(), 4080, 0, 0));
    ASSERT_TRUE(qztest::WaitUntil([&] { return !daemon->Events("ota_image").empty(); }, 10s));
    g_autofree gchar* sha = g_compute_checksum_for_data(G_CHECKSUM_SHA256, frame.data(), 4080);
    EXPECT_EQ(daemon->Events("ota_image").at(0).value("sha256", ""), sha);
}

// No bound set (as in an application): a frame waits out a reader stalled over a second.
TEST_F(FaultTest, DefaultWriteBoundOutlastsABriefStall)
{
    ASSERT_EQ(getenv("QZ_SWU_OTA_WRITE_TIMEOUT_MS"), nullptr);
    qztest::OtaListener listener;
    SWUpgradeInterface client;
    std::vector<unsigned char> frame(4080, 1);
    constexpr int kFrames = 200;  // far more than the socket buffers hold
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i)
            client.downloadOTAdata(1, frame.data(), 4080, 0, i);
    });
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(log.Count("write error"), 0u) << "the stalled frame gave up";
    ASSERT_TRUE(listener.Accept(1s));
    const size_t received = listener.Drain(1000ms);
    writer.join();
    EXPECT_EQ(received, size_t(kFrames) * 4096);
}

TEST_F(FaultTest, StoreRootMissingOrUnreadableReadsAsNoValue)
{
    qztest::TempDir dir;
    // Folders where the values should be cannot be read, even by root.
    for (const char* key : {swu::kKeyResult, swu::kKeyProgress, swu::kKeyPlayerMode})
        std::filesystem::create_directories(dir.File("dirs/") + key);
    for (const std::string& root : {dir.File("missing"), dir.File("dirs")}) {
        SCOPED_TRACE(root);
        qztest::ScopedEnv env("QZ_KVSTORE_DIR", root);
        SWUpgradeInterface client;
        stSWUpgradeResult result{"a", "b", "c", "d", "e"};
        EXPECT_FALSE(client.readResult(&result));
        EXPECT_EQ(result.szPending, "a");
        EXPECT_EQ(client.readProgress(), 0);
        EXPECT_FALSE(client.isLumoraMode());
    }
}

TEST_F(FaultTest, NonsenseValuesAndMissingSystemInformationReadAsNothing)
{
    qztest::ScopedEnv version("QZ_SW_VERSION", std::nullopt);
    SWUpgradeInterface client;
    EXPECT_FALSE(client.isOTAUpgradeRequired("QR-KELTPNHAS", "0.0"));
    EXPECT_EQ(log.Count("Failed to get GetDeviceSWVersion."), 1u) << log.Text();
    ASSERT_EQ(0, vconf_set_str(swu::kKeyProgress, "abc"));
    ASSERT_EQ(0, vconf_set_str(swu::kKeyResult, "true"));  // no "&" separator
    EXPECT_EQ(client.readProgress(), 0);
    stSWUpgradeResult result{"a", "b", "c", "d", "e"};
    EXPECT_TRUE(client.readResult(&result));
    EXPECT_EQ(result.szPending, "true");
    EXPECT_EQ(result.szID, "b");
}

// Every method with large arrays, and wrong types: empty answers or bus errors, no crash.
TEST_F(FaultTest, HostilePeerOnTheLibrarysBusNameGetsEmptyAnswers)
{
    SWUpgradeInterface client;
    qztest::PeerConnection peer;
    ASSERT_TRUE(
        qztest::WaitUntil([&] { return !peer.NameOwner(qztest::kLibraryBusName).empty(); }));
    const std::string huge(1 << 20, 'y');
    const char* bytes = huge.c_str();
    const int submit = swu::kCmdSubmitRequest;
    const struct {
        const char* method;
        GVariant* params;
        const char* expected;  // the reply as GLib prints it, or "error"
    } cases[] = {
        {"SendShortMessageWithoutRet", g_variant_new("(ii)", submit, -1), "()"},
        {"SendShortMessageWithRet", g_variant_new("(ii)", INT32_MIN, INT32_MAX), "('',)"},
        {"SendFullMessageWithoutRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "x"), "()"},
        {"SendFullMessageWithRet", g_variant_new("(iiiis)", 1, 2, 3, 4, bytes), "('',)"},
        {"SendByteMessageWithoutRet", g_variant_new("(i^ay)", submit, bytes), "()"},
        {"SendByteMessageWithRet", g_variant_new("(i^ay)", submit, bytes), "('',)"},
        {"SendByteMessageWithBytesRet", g_variant_new("(i^ay)", 0, bytes), "([],)"},
        {"SendShortMessageWithRet", g_variant_new("(s)", "wrong type"), "error"},
        {"SendFullMessageWithRet", g_variant_new("(iiii)", 1, 2, 3, 4), "error"},
        {"Reboot", g_variant_new("()"), "error"},
    };
    for (const auto& [method, params, expected] : cases) {
        SCOPED_TRACE(method);
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            peer.CallIterating(qztest::kLibraryBusName, method, params, &error);
        g_autofree gchar* shown = reply ? g_variant_print(reply, FALSE) : g_strdup("error");
        EXPECT_STREQ(shown, expected);
    }
}

}  // namespace
