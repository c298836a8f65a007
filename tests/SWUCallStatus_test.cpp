// Why the last call to the daemon got an answer or none, as an application learns it
// after an operation whose own result ("Idle", false) cannot tell.
#include <fcntl.h>

#include <functional>
#include <set>

#include "SWUpgradeCallStatus.h"
#include "SWUpgradeInterface.h"
#include "TestCommon.h"

namespace {

using qztest::DaemonProcess;
using qztest::ForCommand;
using Operation = std::function<void(SWUpgradeInterface&)>;

using CallStatusTest = qztest::ClientFixture;
using NoBusCallStatus = CallStatusTest;

std::string Named(eSWUCallStatus status) { return qz_swu_call_status_name(status); }

// The status one operation leaves, starting from a cleared one.
std::string StatusAfter(SWUpgradeInterface& client, const Operation& operation)
{
    qz_swu_clear_call_status();
    operation(client);
    return Named(qz_swu_last_call_status());
}

struct NamedOperation {
    const char* name;
    Operation run;
};

// Every kind of daemon call: a command, a query, a record, the busy test's state query.
const NamedOperation kDaemonOperations[] = {
    {"GetSWUpgradeStatus", [](SWUpgradeInterface& c) { c.GetSWUpgradeStatus(); }},
    {"GetUpgradeProgress",
     [](SWUpgradeInterface& c) {
         int progress = 0;
         c.GetUpgradeProgress(progress);
     }},
    {"NotifySWUpdateResult", [](SWUpgradeInterface& c) { c.NotifySWUpdateResult(); }},
    {"CabinetUpgradeProgress", [](SWUpgradeInterface& c) { c.CabinetUpgradeProgress(5); }},
    {"SoftwareUpdate", [](SWUpgradeInterface& c) { c.SoftwareUpdate("a", 5, "1", "u"); }},
};

void ExpectEveryDaemonOperationTells(SWUpgradeInterface& client, const std::string& status)
{
    for (const auto& operation : kDaemonOperations) {
        SCOPED_TRACE(operation.name);
        EXPECT_EQ(StatusAfter(client, operation.run), status);
    }
}

TEST_F(NoBusCallStatus, WithoutABusDaemonCallsTellNoBusAndStoreReadsLeaveNone)
{
    SWUpgradeInterface client;
    ExpectEveryDaemonOperationTells(client, "no bus");
    const NamedOperation storeOnly[] = {
        {"readResult",
         [](SWUpgradeInterface& c) {
             stSWUpgradeResult result;
             c.readResult(&result);
         }},
        {"readProgress", [](SWUpgradeInterface& c) { c.readProgress(); }},
        {"isLumoraMode", [](SWUpgradeInterface& c) { c.isLumoraMode(); }},
        {"m_GetUpgradeType", [](SWUpgradeInterface& c) { c.m_GetUpgradeType("a.img", "1"); }},
    };
    for (const auto& operation : storeOnly) {
        SCOPED_TRACE(operation.name);
        EXPECT_EQ(StatusAfter(client, operation.run), "none");
    }
}

// The same "Idle" from GetSWUpgradeStatus, for reasons the status tells apart.
TEST_F(CallStatusTest, IdleFromAnAnswerIsToldFromIdleForWantOfOne)
{
    struct {
        const char* what;
        std::optional<std::vector<std::string>> daemonArgs;  // nullopt: no daemon
        const char* status;
    } const cases[] = {
        {"no daemon", std::nullopt, "no daemon"},
        {"idle daemon", std::vector<std::string>{}, "answered"},
        {"daemon replying another type",
         std::vector<std::string>{"--wrong-type", ForCommand(swu::kCmdQueryState)}, "wrong reply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<DaemonProcess> daemon;
        if (c.daemonArgs)
            daemon.emplace(*c.daemonArgs);
        SWUpgradeInterface client;
        qz_swu_clear_call_status();
        EXPECT_EQ(client.GetSWUpgradeStatus(), "Idle");
        EXPECT_EQ(Named(qz_swu_last_call_status()), c.status);
    }
}

// A refusal by the daemon is an answer: the operation's false says no, the status says
// that the daemon said it.
TEST_F(CallStatusTest, EveryDaemonOperationAnsweredEvenWhenTheDaemonSaysNo)
{
    std::vector<std::string> refusing;
    for (int command : {swu::kCmdSubmitRequest, swu::kCmdNotifyResult, swu::kCmdCabinetProgress,
                        swu::kCmdQueryProgress})
        refusing.insert(refusing.end(), {"--reply", ForCommand(command, "no")});
    for (bool refuses : {false, true}) {
        SCOPED_TRACE(refuses ? "refusing" : "accepting");
        DaemonProcess daemon(refuses ? refusing : std::vector<std::string>{});
        SWUpgradeInterface client;
        EXPECT_EQ(client.CabinetUpgradeProgress(5), !refuses);
        ExpectEveryDaemonOperationTells(client, "answered");
    }
}

// A peer in the daemon's place answers every call with an error: the error's name decides.
TEST_F(CallStatusTest, ErrorRepliesAreToldByTheirName)
{
    const struct {
        const char* errorName;
        const char* status;
    } cases[] = {
        {"org.freedesktop.DBus.Error.AccessDenied", "denied"},
        {"org.freedesktop.DBus.Error.UnknownMethod", "wrong reply"},
        {"org.freedesktop.DBus.Error.NoReply", "timed out"},
        {"com.kestova.orvel.qztest.Error.Unmapped", "wrong reply"},
        {"org.gtk.GDBus.UnmappedGError.Quark._g_2dio_2derror_2dquark.Code2", "failed"},
        {"org.freedesktop.DBus.Error.NoMemory", "failed"},
    };
    static const char* g_errorName = nullptr;
    static const GDBusInterfaceVTable kAnswerWithError = {
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
           GDBusMethodInvocation* invocation, gpointer) {
            g_dbus_method_invocation_return_dbus_error(invocation, g_errorName, "refused");
        },
        nullptr,
        nullptr,
        {nullptr}};
    qztest::PeerConnection peer;
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(g_GDBusInterfaceXML, nullptr);
    ASSERT_NE(node, nullptr);
    const guint served = g_dbus_connection_register_object(
        peer.Get(), node->path, node->interfaces[0], &kAnswerWithError, nullptr, nullptr, nullptr);
    ASSERT_NE(served, 0u);
    g_autoptr(GVariant) owned = peer.Call("org.freedesktop.DBus", "RequestName",
                                          g_variant_new("(su)", swu::kDaemonBusName, 0u), nullptr,
                                          5000, "/org/freedesktop/DBus", "org.freedesktop.DBus");
    ASSERT_NE(owned, nullptr);
    SWUpgradeInterface client;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.errorName);
        g_errorName = c.errorName;
        std::atomic<bool> done{false};
        std::string status;
        // The peer is served by this thread's context while the client calls from another.
        std::thread caller([&] {
            status = StatusAfter(client, [](SWUpgradeInterface& c) { c.GetSWUpgradeStatus(); });
            done = true;
        });
        EXPECT_TRUE(qztest::WaitUntil([&] { return done.load(); }, 30s));
        caller.join();
        EXPECT_EQ(status, c.status);
    }
    g_dbus_connection_unregister_object(peer.Get(), served);
}

TEST_F(CallStatusTest, EachThreadSeesOnlyItsOwnLastCall)
{
    SWUpgradeInterface client;
    qz_swu_clear_call_status();
    std::string other;
    std::thread([&] {
        other = StatusAfter(client, [](SWUpgradeInterface& c) { c.GetSWUpgradeStatus(); });
    }).join();
    EXPECT_EQ(other, "no daemon");
    EXPECT_EQ(Named(qz_swu_last_call_status()), "none");
}

TEST(CallStatusNames, EveryStatusHasItsOwnName)
{
    std::set<std::string> names;
    for (int status = SWU_CALL_NONE; status <= SWU_CALL_FAILED; ++status)
        names.insert(Named(static_cast<eSWUCallStatus>(status)));
    EXPECT_EQ(names.size(), static_cast<size_t>(SWU_CALL_FAILED + 1));
    EXPECT_EQ(names.count("unknown"), 0u);
    EXPECT_EQ(Named(static_cast<eSWUCallStatus>(99)), "unknown");
}

// The probe program, run as the given user on the current bus: "STATUS CALL-STATUS".
std::string ProbeAs(uid_t uid, gid_t gid)
{
    std::vector<std::string> environment = {
        std::string("DBUS_SYSTEM_BUS_ADDRESS=") + getenv("DBUS_SYSTEM_BUS_ADDRESS"),
        "QZ_PLATFORM_LOG=none", "QZ_KVSTORE_DIR=/nonexistent"};
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    // In a cross build the probe runs under the emulator, found by its full path.
    std::vector<std::string> command = qztest::TargetCommand(QZ_TEST_CALL_STATUS_PROBE);
    std::vector<char*> argv;
    for (auto& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    // Only async-signal-safe calls between fork and exec: everything is prepared above.
    pid_t child = qztest::ForkAsUser(uid, gid, [&] {
        dup2(out[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), envp.data());
    });
    close(out[1]);
    std::string line;
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';)
        line.push_back(c);
    close(out[0]);
    qztest::WaitForChild(child);
    return line;
}

TEST_F(CallStatusTest, CallerRefusedByTheBusPolicyIsToldDenied)
{
    if (getuid() != 0)
        GTEST_SKIP() << "running a caller as another user needs root";
    qztest::ShippedPolicyBus bus;
    DaemonProcess daemon;
    EXPECT_EQ(ProbeAs(0, 0), "Idle answered");
    EXPECT_EQ(ProbeAs(qztest::NobodyUid(), qztest::NobodyGid()), "Idle denied");
}

}  // namespace
