// The bus goes away under a running client: it costs failed calls, never the process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SWUpgradeInterface.h"
#include "TestSupport.h"

using namespace qztest;

struct Endpoint : CQZGDBus {
    using CQZGDBus::m_pBusConnection;
};

static void ExpectDaemonOperationsFail(SWUpgradeInterface& client)
{
    int progress = 5;
    EXPECT_FALSE(client.GetUpgradeProgress(progress));
    EXPECT_EQ(client.GetSWUpgradeStatus(), "Idle");
    EXPECT_FALSE(client.startOTAUpgrade({{1, 100}}));
}

// A private bus at a fixed address of its own, standing in for the system bus.
struct OwnSystemBus {
    TempDir dir;
    const std::string address = "unix:path=" + dir.File("bus");
    PrivateBus bus{address};
    ScopedEnv env{"DBUS_SYSTEM_BUS_ADDRESS", address};
};

// Runs first. GLib ends the process when the bus closes its connection, unless told not to.
TEST(BusLoss, ApplicationOutlivesItsBusAndLaterCallsFailCleanly)
{
    LogCapture log;
    KvStoreRoot store;
    DaemonProcess daemon;
    SWUpgradeInterface client;
    CQZGDBus late;  // connected now, asks for a name only once the bus is gone
    int progress = 0;
    ASSERT_TRUE(client.GetUpgradeProgress(progress)) << "the daemon answers while the bus is up";
    ProcessBus()->Stop();
    // The closed connection is told as the loss of every owned name, and of one asked for later.
    const std::string lost = "on name lost, name:", lateName = "com.kestova.orvel.qztest.Late";
    EXPECT_TRUE(WaitUntil([&] { return log.Count(lost + kLibraryBusName) > 0; }));
    EXPECT_TRUE(late.Create(lateName.c_str()));
    EXPECT_TRUE(WaitUntil([&] { return log.Count(lost + lateName) == 1; }));
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
    EXPECT_TRUE(log.Has('E', "SWUpgradeInterface", Hl("Failed to initialize CQZGDBus!")));
    ExpectDaemonOperationsFail(client);
}

// A bus at a fixed address killed as by a crash and started again there.
TEST(BusLoss, BusRestartedAtTheSameAddressServesOldAndNewClients)
{
    OwnSystemBus system;
    LogCapture log;
    KvStoreRoot store;
    auto daemon = std::make_unique<DaemonProcess>();
    // Made under a context of its own, which the recovery must serve again and not leave pushed.
    g_autoptr(GMainContext) served = g_main_context_new();
    g_main_context_push_thread_default(served);
    SWUpgradeInterface client;
    g_main_context_pop_thread_default(served);
    int progress = 0;
    ASSERT_TRUE(client.GetUpgradeProgress(progress));
    // Held as an application might: GLib keeps handing out the closed connection.
    g_autoptr(GDBusConnection) closedShared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    system.bus.Kill();
    daemon.reset();  // it stops when its bus goes
    EXPECT_FALSE(client.GetUpgradeProgress(progress)) << "no bus: the call fails";
    system.bus.Start();
    daemon = std::make_unique<DaemonProcess>();
    EXPECT_TRUE(client.GetUpgradeProgress(progress)) << "the same object recovers";
    EXPECT_EQ(g_main_context_get_thread_default(), nullptr)
        << "the recovery left its context pushed on the calling thread";
    const std::string acquired = "on name acquired, name[" + std::string(kLibraryBusName) + "]";
    EXPECT_FALSE(WaitUntil([&] { return log.Count(acquired) > 0; }, 300ms))
        << "the recovered name's notice went to the calling thread's context";
    EXPECT_TRUE(WaitUntil([&] { return log.Count(acquired) > 0; }, 5000ms, served));
    GWeakRef firstReplacement;
    {
        // Endpoints made now share the one connection that replaced the closed one.
        Endpoint first, second;
        EXPECT_EQ(first.m_pBusConnection, second.m_pBusConnection);
        EXPECT_NE(first.m_pBusConnection, closedShared);
        g_weak_ref_init(&firstReplacement, first.m_pBusConnection);
        PeerConnection peer;
        EXPECT_TRUE(WaitUntil([&] { return !peer.NameOwner(kLibraryBusName).empty(); }))
            << "the name is owned again";
        SWUpgradeInterface fresh;
        EXPECT_TRUE(fresh.GetUpgradeProgress(progress)) << "a new object works too";
    }
    // Lost again: the replacement closes too and is itself replaced.
    system.bus.Kill();
    daemon.reset();
    system.bus.Start();
    daemon = std::make_unique<DaemonProcess>();
    EXPECT_TRUE(client.GetUpgradeProgress(progress)) << "it recovers a second time";
    // The library keeps no reference to a closed connection: each ends once the application lets
    // go of its own.
    // GLib's state of the name asked for on it stays on the client's context until that runs.
    EXPECT_TRUE(EndsWithoutOtherHolders(firstReplacement, served))
        << "the first replacement is kept";
    GWeakRef closed;
    g_weak_ref_init(&closed, closedShared);
    g_clear_object(&closedShared);
    EXPECT_TRUE(EndsWithoutOtherHolders(closed)) << "GLib's closed shared connection is kept";
}

// A client that ended leaves nothing holding the bus connection it used.
TEST(BusLoss, AnEndedClientHoldsNoConnection)
{
    OwnSystemBus system;
    KvStoreRoot store;
    GWeakRef used;
    {
        g_autoptr(GDBusConnection) shared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
        ASSERT_NE(shared, nullptr);
        g_weak_ref_init(&used, shared);
        SWUpgradeInterface client;
        PeerConnection peer;
        EXPECT_TRUE(WaitUntil([&] { return !peer.NameOwner(kLibraryBusName).empty(); }));
    }
    EXPECT_TRUE(EndsWithoutOtherHolders(used));
}

// Made before its bus is there, an endpoint connects on a later call and does then what Create
// would have done: the object is served and the name owned.
TEST(BusLoss, EndpointMadeBeforeTheBusConnectsAndOwnsItsNameLater)
{
    if (ProcessBus() != nullptr)
        ProcessBus()->Stop();
    OwnSystemBus system;
    system.bus.Stop();
    LogCapture log;
    const std::string name = "com.kestova.orvel.qztest.Early";
    Endpoint early;
    ASSERT_EQ(early.m_pBusConnection, nullptr);
    EXPECT_EQ(log.Records().size(), 1u) << "more than the Get Bus line at construction";
    EXPECT_FALSE(early.Create(name.c_str()));
    EXPECT_TRUE(log.Has('E', "Create", Hl("Bus Connection is NULL")));
    system.bus.Start();
    PeerConnection peer;
    EXPECT_TRUE(early.IsAlive(peer.UniqueName().c_str())) << "connected by the later call";
    ASSERT_NE(early.m_pBusConnection, nullptr);
    const std::string unique = g_dbus_connection_get_unique_name(early.m_pBusConnection);
    EXPECT_TRUE(WaitUntil([&] { return peer.NameOwner(name) == unique; }));
    g_autoptr(GVariant) reply =
        peer.CallIterating(name, "SendShortMessageWithRet", g_variant_new("(ii)", 1, 2), nullptr);
    ASSERT_NE(reply, nullptr) << "the object is not served";
    const char* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    EXPECT_STREQ(text, "");
}

// Several threads keep calling while the bus goes and comes back: every call ends, and all of
// them work again afterwards. The thread sanitizer's stage runs this for the name state that the
// recovery rewrites under the calls.
TEST(BusLoss, ThreadsCallingAcrossABusRestartAllRecover)
{
    OwnSystemBus system;
    KvStoreRoot store;
    auto daemon = std::make_unique<DaemonProcess>();
    SWUpgradeInterface client;
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i)
        callers.emplace_back([&] {
            while (!stop) {
                int progress = 0;
                client.GetUpgradeProgress(progress);
                client.GetSWUpgradeStatus();
                ++calls;
            }
        });
    ASSERT_TRUE(WaitUntil([&] { return calls > 10; }, 20s));
    system.bus.Kill();
    daemon.reset();
    system.bus.Start();
    daemon = std::make_unique<DaemonProcess>();
    const int before = calls;
    EXPECT_TRUE(WaitUntil([&] { return calls > before + 10; }, 20s)) << "the callers hang";
    stop = true;
    for (auto& caller : callers)
        caller.join();
    int progress = 0;
    EXPECT_TRUE(client.GetUpgradeProgress(progress));
    PeerConnection peer;
    EXPECT_TRUE(WaitUntil([&] { return !peer.NameOwner(kLibraryBusName).empty(); }));
}
