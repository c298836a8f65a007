// The bus endpoint on a private bus, driven from a second connection.
#include <malloc.h>

#include <fstream>
#include <stdexcept>
#include <tuple>

#include "QZGDBus.h"
#include "SWUpgradeInterface.h"
#include "TestCommon.h"

using namespace qztest;

namespace {

// GLib's warnings of misuse (a null connection, a bad tuple) stop the test.
const GLogLevelFlags kFatalGLibWarnings = g_log_set_always_fatal(
    static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));

const char* const kBus = "org.freedesktop.DBus";

template <typename... Args>
std::string Fmt(const char* format, Args... args)
{
    char text[1024];
    snprintf(text, sizeof(text), format, args...);
    return text;
}

std::string Trace(const std::string& text) { return "\e[0;33m" + text + "\e[0;m"; }

// Writes down every handler call and answers "ok", as text or bytes.
class RecordingEndpoint : public CQZGDBus {
public:
    using CQZGDBus::m_nOwnerId;
    using CQZGDBus::m_nRegistrationId;
    using CQZGDBus::m_OnDBusMessage;
    using CQZGDBus::m_pBusConnection;
    std::string Unique() const { return g_dbus_connection_get_unique_name(m_pBusConnection); }
    void* Self() { return static_cast<CQZGDBus*>(this); }  // as the log lines show it
    std::vector<std::string> calls;
    bool handlerResult = true;
    std::string answer = "ok";
    enum { kNoThrow, kThrowStd, kThrowOther } throws = kNoThrow;  // as a subclass may
    std::function<void()> duringHandler;

protected:
    bool t_OnMessage(int c, int p0, std::string& r) override
    {
        return Record(Fmt("Short %d %d", c, p0), r);
    }
    bool t_OnMessage(int c, int p0, int p1, int p2, const std::string& p3, std::string& r) override
    {
        return Record(Fmt("Full %d %d %d %d '%s'", c, p0, p1, p2, p3.c_str()), r);
    }
    bool t_OnMessage(int c, const void* data, int n, std::string& r) override
    {
        return Record(Fmt("ByteText %d ", c) + Hex(data, n), r);
    }
    bool t_OnMessage(int c, const void* data, int n, std::vector<char>& r) override
    {
        return Record(Fmt("ByteBytes %d ", c) + Hex(data, n), r);
    }

private:
    template <typename Response>
    bool Record(const std::string& what, Response& response)
    {
        calls.push_back(what);
        if (throws == kThrowStd)
            throw std::runtime_error("boom");
        if (throws == kThrowOther)
            throw 42;
        if (duringHandler)
            duringHandler();
        response.assign(answer.begin(), answer.end());
        return handlerResult;
    }
};

// The seven SendMessage forms: form i sends command i + 1, which causes handler call `expected`.
enum Output { kNone, kText, kBytes };
const struct {
    const char* method;
    const char* expected;
    Output output;
} kForms[] = {
    {"SendShortMessageWithoutRet", "Short 1 21", kNone},
    {"SendShortMessageWithRet", "Short 2 22", kText},
    {"SendFullMessageWithoutRet", "Full 3 1 -2 3 'p'", kNone},
    {"SendFullMessageWithRet", "Full 4 8 5 -6 'q'", kText},
    {"SendByteMessageWithoutRet", "ByteText 5 0041fe", kNone},
    {"SendByteMessageWithRet", "ByteText 6 0041fe", kText},
    {"SendByteMessageWithBytesRet", "ByteBytes 7 0041fe", kBytes},
};

CQZGDBus::enRetValue SendForm(size_t i, CQZGDBus& c, const std::string& to, std::string& text,
                              std::vector<char>& bytes)
{
    static const char d[] = {0x00, 0x41, static_cast<char>(0xfe)};
    switch (i) {
    case 0: return c.SendMessage(to.c_str(), 1, 21);
    case 1: return c.SendMessage(to.c_str(), 2, 22, text);
    case 2: return c.SendMessage(to.c_str(), 3, 1, -2, 3, "p");
    case 3: return c.SendMessage(to.c_str(), 4, 8, 5, -6, "q", text);
    case 4: return c.SendMessage(to.c_str(), 5, d, 3);
    case 5: return c.SendMessage(to.c_str(), 6, d, 3, text);
    default: return c.SendMessage(to.c_str(), 7, d, 3, bytes);
    }
}

// Runs a blocking call on a thread while this one serves: true if it ended within `within` with
// only ctx (null: the default context) iterated. It is served to its end in any case.
bool RunServing(const std::function<void()>& call, std::chrono::milliseconds within = 40s,
                GMainContext* ctx = nullptr)
{
    std::atomic<bool> done{false};
    std::thread thread([&] {
        call();
        done = true;
    });
    const bool inTime = WaitUntil([&] { return done.load(); }, within, ctx);
    WaitUntil([&] { return done.load(); }, 40s);
    thread.join();
    return inTime;
}

long ResidentKiB()
{
    malloc_trim(0);  // not to count what the peer connection in this process allocated and freed
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;  // freed memory is held back on purpose
#else
constexpr bool kUnderSanitizer = false;
#endif

GVariant* ByteCall(size_t payload, int command = 1)
{
    const std::vector<unsigned char> bytes(payload, 0x5a);
    auto* array = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
    return g_variant_new("(i@ay)", command, array);
}

class BusEndpoint : public ::testing::Test {
protected:
    // Creates the endpoint and waits until the bus names it the owner.
    void CreateAndOwn(RecordingEndpoint& endpoint, const std::string& name)
    {
        ASSERT_TRUE(endpoint.Create(name.c_str()));
        EXPECT_TRUE(m_log.Has('I', "Create", Trace("Create Bus[" + name + "]")));
        ASSERT_TRUE(WaitUntil([&] { return m_peer.NameOwner(name) == endpoint.Unique(); })) << name;
        const std::string acquired =
            Fmt("on name acquired, name[%s], user_data:%p", name.c_str(), endpoint.Self());
        EXPECT_TRUE(WaitUntil([&] { return m_log.Has('I', "onNameAcquiredCallBack", acquired); }));
    }

    GVariant* BusCall(const char* method, GVariant* params)
    {
        return m_peer.Call(kBus, method, params, nullptr, 5000, "/org/freedesktop/DBus", kBus);
    }

    // The remote error a call to the endpoint is refused with ("" when answered).
    // The call queues behind every flood call sent before it, megabytes that a busy or
    // emulated machine takes seconds to pass: its time-out is not what is tested.
    // Sends `count` byte calls of `payload` bytes each that expect no reply.
    void Flood(int count, size_t payload)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(m_peer.Post(m_name, "SendByteMessageWithoutRet", ByteCall(payload, i)));
    }

    LogCapture m_log;
    PeerConnection m_peer;
    std::string m_name = std::string("com.kestova.orvel.qztest.") +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

// An endpoint that owns the test's name.
class ServedEndpoint : public BusEndpoint {
protected:
    void SetUp() override { CreateAndOwn(m_server, m_name); }
    RecordingEndpoint m_server;
};

TEST_F(ServedEndpoint, CreateServesSevenMethodsOnceAndDestroyLetsItMoveToAnotherName)
{
    g_autoptr(GVariant) xml =
        m_peer.CallIterating(m_name, "Introspect", nullptr, nullptr, 5000, kObjectPath,
                             "org.freedesktop.DBus.Introspectable");
    ASSERT_NE(xml, nullptr);
    const char* text = nullptr;
    g_variant_get(xml, "(&s)", &text);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(text, nullptr);
    GDBusInterfaceInfo* iface = g_dbus_node_info_lookup_interface(node, kInterfaceName);
    ASSERT_NE(iface, nullptr);
    // Their names and signatures are proven by the outbound test's calls.
    EXPECT_EQ(g_strv_length(reinterpret_cast<gchar**>(iface->methods)), 7u);
    std::string second = m_name + ".Second";
    EXPECT_TRUE(m_server.Create(second.c_str()));
    EXPECT_TRUE(m_log.Has('E', "Create",
                          Hl(Fmt("Already Created. ID(%u) Name(%s) Request(%s)",
                                 m_server.m_nOwnerId, m_name.c_str(), second.c_str()))));
    EXPECT_EQ(m_peer.NameOwner(second), "");
    m_server.Destroy();
    EXPECT_EQ(m_server.m_nOwnerId + m_server.m_nRegistrationId, 0u);
    EXPECT_FALSE(m_server.IsAlive(m_name.c_str())) << "the given-back name is still its own";
    m_server.Destroy();
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name).empty(); }));
    CreateAndOwn(m_server, second);
    g_autoptr(GVariant) reply = m_peer.CallIterating(
        second, "SendFullMessageWithRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "x"), nullptr);
    EXPECT_NE(reply, nullptr);
    EXPECT_EQ(m_server.calls, std::vector<std::string>{"Full 1 2 3 4 'x'"});
    EXPECT_TRUE(m_log.Has('I', "methodMessageOnCallBack",
                          second + " : sender[" + m_peer.UniqueName() + "], object path[" +
                              kObjectPath + "]\ninterface name[" + kInterfaceName +
                              "], method name:[SendFullMessageWithRet]"));
}

std::string Signature(GDBusArgInfo** args)
{
    std::string tuple = "(";
    for (; args != nullptr && *args != nullptr; ++args)
        tuple += (*args)->signature;
    return tuple + ")";
}

// The method table the dispatch and the shapes are read from says what the served document says.
TEST(MethodTable, HoldsTheDocumentsSevenMethodsWithTheirTuples)
{
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(g_GDBusInterfaceXML, nullptr);
    ASSERT_NE(node, nullptr);
    GDBusInterfaceInfo* iface = g_dbus_node_info_lookup_interface(node, kInterfaceName);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(std::size(qz::bus::kMethods),
              g_strv_length(reinterpret_cast<gchar**>(iface->methods)));
    for (const qz::bus::Method& method : qz::bus::kMethods) {
        SCOPED_TRACE(method.name);
        GDBusMethodInfo* info = g_dbus_interface_info_lookup_method(iface, method.name);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(Signature(info->in_args), method.in);
        EXPECT_EQ(Signature(info->out_args), method.out);
    }
}

TEST_F(BusEndpoint, EndpointsAliveTogetherShareTheConnectionButNotTheOwnership)
{
    RecordingEndpoint first, second;
    const std::string secondName = m_name + ".Second";
    CreateAndOwn(first, m_name);
    CreateAndOwn(second, secondName);
    EXPECT_NE(first.m_nOwnerId, second.m_nOwnerId);
    g_autoptr(GDBusConnection) shared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    EXPECT_EQ(first.m_pBusConnection, shared);
    EXPECT_EQ(second.m_pBusConnection, shared);
    first.Destroy();
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name).empty(); }));
    EXPECT_EQ(m_peer.NameOwner(secondName), g_dbus_connection_get_unique_name(shared));
}

// The bus counts owners by connection, which both endpoints share: the second request is
// answered "already owner", which GLib tells as a loss, and its release leaves the first alone.
TEST_F(BusEndpoint, SecondEndpointForTheSameNameIsToldLostAndLeavesTheFirstOwning)
{
    RecordingEndpoint first;
    CreateAndOwn(first, m_name);
    {
        RecordingEndpoint second;
        ASSERT_TRUE(second.Create(m_name.c_str()));
        const std::string lost =
            Hl(Fmt("on name lost, name:%s, user_data:%p", m_name.c_str(), second.Self()));
        EXPECT_TRUE(WaitUntil([&] { return m_log.Has('E', "onNameLostCallBack", lost); }));
        EXPECT_EQ(m_log.Count("on name acquired"), 1u) << "only the first was told it has it";
    }
    EXPECT_EQ(m_peer.NameOwner(m_name), first.Unique()) << "the second's release took it away";
    EXPECT_FALSE(WaitUntil([&] { return m_log.Count("on name lost") > 1; }, 200ms))
        << "the first endpoint was told it lost the name";
    // A peer asking to replace the owner only queues: nobody asked to allow it.
    const guint32 kReplaceExisting = 2, kInQueue = 2;
    g_autoptr(GVariant) asked =
        BusCall("RequestName", g_variant_new("(su)", m_name.c_str(), kReplaceExisting));
    ASSERT_NE(asked, nullptr);
    guint32 result = 0;
    g_variant_get(asked, "(u)", &result);
    EXPECT_EQ(result, kInQueue);
    first.Destroy();
    EXPECT_EQ(m_peer.NameOwner(m_name), m_peer.UniqueName());
}

// Destroy waits for the bus to take the name back, also when the bus has not yet answered the
// request and the application has not iterated its context: another connection never sees the
// old owner once Destroy has returned.
TEST_F(BusEndpoint, NameIsGoneForOtherConnectionsWhenDestroyReturns)
{
    RecordingEndpoint endpoint;
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(endpoint.Create(m_name.c_str()));
        if (i % 2 == 0) {  // half the time the bus has made it the owner first
            ASSERT_TRUE(WaitUntil([&] { return !m_peer.NameOwner(m_name).empty(); }));
        }
        endpoint.Destroy();
        ASSERT_EQ(m_peer.NameOwner(m_name), "");
    }
}

TEST_F(BusEndpoint, DeletedEndpointReceivesNoMoreCalls)
{
    RecordingEndpoint keeper;  // holds the shared connection, and any registration left over
    int handled = 0;
    {
        RecordingEndpoint endpoint;
        CreateAndOwn(endpoint, m_name);
        endpoint.duringHandler = [&] { ++handled; };
    }
    g_autoptr(GVariant) reply = m_peer.CallIterating(keeper.Unique(), "SendShortMessageWithRet",
                                                     g_variant_new("(ii)", 1, 2), nullptr);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(handled, 0);
}

// Index 1 to 4 with its tuple runs its handler and replies; any other runs none, replies none.
TEST_F(BusEndpoint, DirectDispatchRunsTheHandlerOfTheIndexForItsTupleOnly)
{
    RecordingEndpoint endpoint;
    // The index, its tuple, the handler call (null: none runs), the reply printed (null: none).
    const std::tuple<int, const char*, const char*, const char*> cases[] = {
        {1, "(1, 2)", "Short 1 2", "('ok',)"},
        {2, "(1, 2, 3, 4, 'x')", "Full 1 2 3 4 'x'", "('ok',)"},
        {3, "(1, [byte 0x41])", "ByteText 1 41", "('ok',)"},
        {4, "(1, [byte 0x41])", "ByteBytes 1 41", "([byte 0x6f, 0x6b],)"},
        {0, "(1, 2)", nullptr, nullptr},
        {5, "(1, [byte 1])", nullptr, nullptr},
        {1, "('a', 2)", nullptr, nullptr},
        {2, "(1, 2, 3, 4)", nullptr, nullptr},
        {4, "([byte 1], 1)", nullptr, nullptr}};
    for (const auto& [index, tuple, call, printed] : cases) {
        SCOPED_TRACE(Fmt("%d %s", index, tuple));
        endpoint.calls.clear();
        g_autoptr(GVariant) params = g_variant_ref_sink(g_variant_new_parsed(tuple));
        g_autoptr(GVariant) reply = nullptr;
        EXPECT_TRUE(endpoint.m_OnDBusMessage(index, params, &reply));
        g_autofree gchar* shown = reply ? g_variant_print(reply, TRUE) : nullptr;
        EXPECT_STREQ(shown, printed);
        EXPECT_EQ(endpoint.calls,
                  call ? std::vector<std::string>{call} : std::vector<std::string>{});
        for (const char* step : {"Start", "Done"})
            EXPECT_TRUE(m_log.Has('I', "m_OnDBusMessage",
                                  Trace(Fmt(" : m_OnDBusMessage %s(%d)", step, index))));
    }
}

// A failing handler answers empty: forms that read a response report RET_TYPE_MISMATCH.
TEST_F(ServedEndpoint, EachFormCallsItsMethodAndReadsTheReply)
{
    CQZGDBus caller;
    for (bool handlerResult : {true, false}) {
        m_server.handlerResult = handlerResult;
        m_server.calls.clear();
        for (size_t i = 0; i < 7; ++i) {
            const auto& f = kForms[i];
            SCOPED_TRACE(std::string(f.method) + (handlerResult ? "" : " failing"));
            std::string text = "old";
            std::vector<char> bytes{'o'};
            std::atomic<CQZGDBus::enRetValue> result{CQZGDBus::RET_FAILED};
            // Only a reply sent before the handler runs ends this wait.
            g_autoptr(GMainContext) quiet = g_main_context_new();
            bool replyFirst = false;
            m_server.duringHandler = [&] {
                replyFirst = f.output == kNone &&
                             WaitUntil([&] { return result != CQZGDBus::RET_FAILED; }, 5s, quiet);
            };
            EXPECT_TRUE(RunServing([&] { result = SendForm(i, caller, m_name, text, bytes); }));
            const bool reads = handlerResult && f.output != kNone;
            EXPECT_EQ(result,
                      reads || f.output == kNone ? CQZGDBus::RET_OK : CQZGDBus::RET_TYPE_MISMATCH);
            EXPECT_EQ(text, reads && f.output == kText ? "ok" : "old");
            EXPECT_EQ(bytes.size(), reads && f.output == kBytes ? 2u : 1u);
            // Handlers of methods without response may run after the caller left.
            ASSERT_TRUE(WaitUntil([&] { return m_server.calls.size() == i + 1; }));
            EXPECT_EQ(m_server.calls[i], f.expected);
            EXPECT_EQ(replyFirst, f.output == kNone);
            EXPECT_TRUE(m_log.Has('I', "m_SendMessage",
                                  Trace(Fmt("SendDone %s Method %s", m_name.c_str(), f.method))));
        }
    }
    EXPECT_EQ(m_log.Find("SendMessage", Trace("Ret ok")).size(), 3u);
}

TEST_F(BusEndpoint, UnownedNameGivesNotFoundAndTheSendErrorLine)
{
    CQZGDBus caller;
    std::string target = m_name + ".Nobody", text = "kept";
    std::vector<char> bytes;
    EXPECT_FALSE(caller.IsAlive(target.c_str()));
    EXPECT_FALSE(caller.IsAlive(nullptr));
    EXPECT_TRUE(caller.IsAlive(m_peer.UniqueName().c_str()));
    g_autoptr(GError) busError = nullptr;  // what the bus answers such a call
    g_autoptr(GVariant) none =
        m_peer.Call(target, "SendShortMessageWithRet", g_variant_new("(ii)", 1, 2), &busError);
    ASSERT_NE(busError, nullptr);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(SendForm(i, caller, target, text, bytes), CQZGDBus::RET_NOT_FOUND);
        EXPECT_TRUE(m_log.Has('E', "m_SendMessage",
                              Fmt("\e[0;35mSend Error(%s:%d) [%d:%s]\e[0;m", kForms[i].method,
                                  CQZGDBus::RET_NOT_FOUND, busError->code, busError->message)));
    }
    EXPECT_EQ(text, "kept");
}

// One error a peer answers with, and the result it must give.
using BusErrorRow = std::tuple<const char*, GQuark, int, CQZGDBus::enRetValue>;
const BusErrorRow* g_answer = nullptr;  // what the peer answers every call with

// The numeric code alone decides, whatever the domain: 2 and 3 are "not found", 4 and 24 a
// time-out, in the D-Bus and the I/O domain alike.
TEST_F(BusEndpoint, BusErrorsAreReadByTheirCodeAlone)
{
    const BusErrorRow rows[] = {
        {"service unknown", G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN, CQZGDBus::RET_NOT_FOUND},
        {"no owner", G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER, CQZGDBus::RET_NOT_FOUND},
        {"no reply", G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY, CQZGDBus::RET_TIMEOUT},
        {"timed out", G_IO_ERROR, G_IO_ERROR_TIMED_OUT, CQZGDBus::RET_TIMEOUT},
        {"I/O 2", G_IO_ERROR, G_IO_ERROR_EXISTS, CQZGDBus::RET_NOT_FOUND},
        {"I/O 3", G_IO_ERROR, G_IO_ERROR_IS_DIRECTORY, CQZGDBus::RET_NOT_FOUND},
        {"I/O 4", G_IO_ERROR, G_IO_ERROR_NOT_DIRECTORY, CQZGDBus::RET_TIMEOUT},
        {"D-Bus 24", G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_FORK_FAILED, CQZGDBus::RET_TIMEOUT},
        {"D-Bus 0", G_DBUS_ERROR, G_DBUS_ERROR_FAILED, CQZGDBus::RET_FAILED},
        {"D-Bus 5", G_DBUS_ERROR, G_DBUS_ERROR_IO_ERROR, CQZGDBus::RET_FAILED},
        {"D-Bus 25", G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_CHILD_EXITED, CQZGDBus::RET_FAILED},
    };
    static const GDBusInterfaceVTable kAnswerWithError = {
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
           GDBusMethodInvocation* invocation, gpointer) {
            const auto& [what, domain, code, result] = *g_answer;
            g_dbus_method_invocation_return_error_literal(invocation, domain, code, what);
        },
        nullptr,
        nullptr,
        {nullptr}};
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(g_GDBusInterfaceXML, nullptr);
    ASSERT_NE(node, nullptr);
    const guint served =
        g_dbus_connection_register_object(m_peer.Get(), node->path, node->interfaces[0],
                                          &kAnswerWithError, nullptr, nullptr, nullptr);
    ASSERT_NE(served, 0u);
    CQZGDBus caller;
    const std::string peer = m_peer.UniqueName();
    for (const BusErrorRow& row : rows) {
        const auto& [what, domain, code, expected] = row;
        SCOPED_TRACE(what);
        m_log.Clear();
        g_answer = &row;
        std::string text = "kept";
        CQZGDBus::enRetValue result = CQZGDBus::RET_OK;
        EXPECT_TRUE(
            RunServing([&] { result = caller.SendMessage(peer.c_str(), 6, nullptr, 0, text); }));
        EXPECT_EQ(result, expected);
        EXPECT_EQ(text, "kept");
        EXPECT_EQ(m_log.Count(Fmt("Send Error(SendByteMessageWithRet:%d) [%d:", expected, code)),
                  1u);
    }
    g_dbus_connection_unregister_object(m_peer.Get(), served);
}

// Nothing is refused for what waits: calls sent while the loop does not run, one larger than
// 4 MiB among them, are all served once it runs, and none is answered with a bus error.
TEST_F(ServedEndpoint, EveryInboundCallIsServedOnceTheLoopRuns)
{
    constexpr size_t kLarge = 5 * 1024 * 1024;
    Flood(1000, 64);
    std::atomic<bool> answered{false};
    std::string answer = "no reply";
    std::thread caller([&] {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            m_peer.Call(m_name, "SendByteMessageWithRet", ByteCall(kLarge), &error, 120000);
        g_autofree gchar* printed = reply ? g_variant_print(reply, FALSE) : nullptr;
        answer = printed ? printed : error->message;
        answered = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return answered.load(); }, 120s));
    caller.join();
    EXPECT_EQ(answer, "('ok',)");
    ASSERT_TRUE(WaitUntil([&] { return m_server.calls.size() == 1001; }));
    EXPECT_EQ(m_server.calls.back().size(), std::string("ByteText 1 ").size() + 2 * kLarge);
}

// A document of the application's own: what GDBus refuses itself (a method the document lacks)
// never counts against what the endpoint serves.
TEST_F(BusEndpoint, CallsGDBusRefusesDoNotStopTheServedOnes)
{
    const char* const saved = g_GDBusInterfaceXML;
    g_GDBusInterfaceXML =
        "<node name='/com/kestova/orvel/corvaneplatform'><interface "
        "name='interface.corvanemessage'>"
        "<method name='SendShortMessageWithRet'><arg name='Command' type='i' direction='in'/>"
        "<arg name='Param_0' type='i' direction='in'/><arg name='Response' type='s' "
        "direction='out'/></method></interface></node>";
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    g_GDBusInterfaceXML = saved;
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(m_peer.Post(m_name, "SendFullMessageWithRet",
                                g_variant_new("(iiiis)", i, 0, 0, 0, "")));
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = m_peer.CallIterating(m_name, "SendShortMessageWithRet",
                                                     g_variant_new("(ii)", 1, 2), &error);
    ASSERT_NE(reply, nullptr) << error->message;
    EXPECT_EQ(endpoint.calls, std::vector<std::string>{"Short 1 2"});
}

// Create succeeds for the bus's own reserved name: the loss is told once the loop runs.
TEST_F(BusEndpoint, RefusedNameIsToldLostAndAHeldNameIsWaitedFor)
{
    RecordingEndpoint refused;
    ASSERT_TRUE(refused.Create(kBus));
    const std::string lost = Hl(Fmt("on name lost, name:%s, user_data:%p", kBus, refused.Self()));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Has('E', "onNameLostCallBack", lost); }));
    g_autoptr(GVariant) held = BusCall("RequestName", g_variant_new("(su)", m_name.c_str(), 0u));
    ASSERT_NE(held, nullptr);
    RecordingEndpoint queued;
    ASSERT_TRUE(queued.Create(m_name.c_str()));
    // Queued behind another process's owner: told lost first, acquired once the owner lets go.
    const std::string queuedLost =
        Hl(Fmt("on name lost, name:%s, user_data:%p", m_name.c_str(), queued.Self()));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Has('E', "onNameLostCallBack", queuedLost); }));
    EXPECT_EQ(m_log.Count("on name acquired"), 0u);
    g_autoptr(GVariant) released = BusCall("ReleaseName", g_variant_new("(s)", m_name.c_str()));
    ASSERT_NE(released, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name) == queued.Unique(); }));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count("on name acquired, name[" + m_name) == 1; }));
    EXPECT_EQ(m_log.Count("on name lost"), 2u);
}

void DrainDefaultContext()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

// Resident growth over `cycles` clients made and deleted, with the default context drained after
// each one or never.
long GrowthOverClientCycles(int cycles, bool iterate)
{
    const long before = ResidentKiB();
    for (int i = 0; i < cycles; ++i) {
        {
            SWUpgradeInterface client;
        }
        if (iterate)
            DrainDefaultContext();
    }
    return ResidentKiB() - before;
}

// GLib keeps what it queued for each name request and release on the context until it is
// iterated. An application that iterates stays flat; the growth of one that never does is only
// written down, for the docs (4,000 cycles take ~8 s: slow entry).
TEST(SlowEndpointCycles, CreateDestroyCyclesStayFlatWhileTheContextIsIterated)
{
    if (kUnderSanitizer)
        GTEST_SKIP() << "resident size means nothing under a sanitizer";
    GrowthOverClientCycles(300, true);
    const long iterated = GrowthOverClientCycles(2000, true);
    RecordProperty("resident_growth_kib_iterated", std::to_string(iterated));
    // A leak of one small allocation per cycle (about 500 bytes) would pass 1 MiB here.
    EXPECT_LT(iterated, 1024);
    const long notIterated = GrowthOverClientCycles(2000, false);
    RecordProperty("resident_growth_kib_not_iterated", std::to_string(notIterated));
    std::printf("resident growth over 2000 cycles: %ld KiB iterated, %ld KiB not iterated\n",
                iterated, notIterated);
    DrainDefaultContext();
}

// What waiting costs: GLib keeps every call sent to an application that does not iterate until it
// does, standard interfaces included. Written down for the docs, not bounded; all are served.
class SlowInboundQueue : public ServedEndpoint {};

TEST_F(SlowInboundQueue, QueuedCallsAreKeptUntilTheLoopRunsAndTheirCostIsWrittenDown)
{
    if (kUnderSanitizer)
        GTEST_SKIP() << "resident size means nothing under a sanitizer";
    constexpr int kCalls = 20000;
    const long before = ResidentKiB();
    for (int i = 0; i < kCalls; ++i)
        ASSERT_TRUE(m_peer.Post(m_name, "GetAll", g_variant_new("(s)", kInterfaceName),
                                "org.freedesktop.DBus.Properties"));
    // GDBus answers Peer.Ping on its own thread, after everything sent before it has been queued.
    g_autoptr(GVariant) pong = m_peer.Call(m_server.Unique(), "Ping", nullptr, nullptr, 60000, "/",
                                           "org.freedesktop.DBus.Peer");
    ASSERT_NE(pong, nullptr);
    const long grown = ResidentKiB() - before;
    RecordProperty("resident_growth_kib_queued_calls", std::to_string(grown));
    std::printf("resident growth with %d queued calls: %ld KiB (%.2f KiB a call)\n", kCalls, grown,
                static_cast<double>(grown) / kCalls);
    g_autoptr(GVariant) served = m_peer.CallIterating(m_name, "SendShortMessageWithRet",
                                                      g_variant_new("(ii)", 1, 2), nullptr, 60000);
    EXPECT_NE(served, nullptr);
    EXPECT_EQ(m_server.calls, std::vector<std::string>{"Short 1 2"});
}

// RET_OK whatever the own handler says, its response delivered; base handlers leave it as was.
TEST_F(ServedEndpoint, OwnNameCallsGoToTheOwnHandlerWithoutTheBus)
{
    m_server.handlerResult = false;
    CQZGDBus plain;
    const std::string plainName = m_name + ".Plain";
    ASSERT_TRUE(plain.Create(plainName.c_str()));
    ASSERT_TRUE(WaitUntil([&] { return !m_peer.NameOwner(plainName).empty(); }));
    m_log.Clear();
    for (size_t i = 0; i < 7; ++i) {
        const auto& f = kForms[i];
        for (bool recording : {true, false}) {
            SCOPED_TRACE(std::string(f.method) + (recording ? "" : " to the plain endpoint"));
            CQZGDBus& from = recording ? m_server : plain;
            const std::string& to = recording ? m_name : plainName;
            std::string text = "old";
            std::vector<char> bytes{'o'};
            CQZGDBus::enRetValue result = CQZGDBus::RET_FAILED;
            g_autoptr(GMainContext) quiet = g_main_context_new();  // serves no bus call
            EXPECT_TRUE(
                RunServing([&] { result = SendForm(i, from, to, text, bytes); }, 2s, quiet));
            EXPECT_EQ(result, CQZGDBus::RET_OK);
            EXPECT_EQ(text, recording && f.output == kText ? "ok" : "old");
            EXPECT_EQ(bytes.size(), recording && f.output == kBytes ? 2u : 1u);
        }
        ASSERT_EQ(m_server.calls.size(), i + 1);
        EXPECT_EQ(m_server.calls[i], f.expected);
    }
    EXPECT_TRUE(m_server.IsAlive(m_name.c_str()));
    EXPECT_EQ(m_log.Count("Sending "), 0u);
    EXPECT_EQ(m_log.Count("Owner["), 0u) << "IsAlive asked the bus about its own name";
    EXPECT_TRUE(m_server.IsAlive(plainName.c_str()));
    // Both endpoints share the process's connection.
    EXPECT_TRUE(
        m_log.Has('I', "IsAlive", Trace("Owner[" + plainName + " => " + m_server.Unique() + "]")));
}

// A document that does not parse or lacks the node path or interface, then an invalid name.
TEST_F(BusEndpoint, CreateFailsOnABadInterfaceDocumentOrAnInvalidName)
{
    const char* const saved = g_GDBusInterfaceXML;
    for (const char* xml : {"<node", "<node><interface name='a.b'/></node>", "<node name='/a'/>"}) {
        g_GDBusInterfaceXML = xml;
        RecordingEndpoint endpoint;
        EXPECT_FALSE(endpoint.Create(m_name.c_str())) << xml;
        g_GDBusInterfaceXML = saved;
        EXPECT_EQ(m_log.Find("Create", Hl("Parse InterfaceXML Failed")).size(), 1u) << xml;
        EXPECT_EQ(m_peer.NameOwner(m_name), "");
        m_log.Clear();
    }
    RecordingEndpoint endpoint;
    // GLib names the invalid name in a critical warning, expected here.
    const GLogLevelFlags fatal =
        g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
    EXPECT_FALSE(endpoint.Create("not a bus name"));
    g_log_set_always_fatal(fatal);
    EXPECT_TRUE(m_log.Has('E', "Create", Hl("Bus Own Name Error")));
    endpoint.Destroy();  // the registration stays until then
    CreateAndOwn(endpoint, m_name);
}

// From a null pointer or a real one: delivered as empty, not refused and not left as they were.
TEST_F(ServedEndpoint, EmptyArraysAndAnEmptyTextReplyTravelAsEmpty)
{
    m_server.answer = "";
    CQZGDBus caller;
    static const char kSome[] = {'x'};
    const struct {
        const char* data;
        int length;
        std::string arrived;  // the bytes as the handler saw them, in hex
    } cases[] = {{nullptr, 0, ""}, {kSome, 0, ""}, {kSome, 1, "78"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        m_server.calls.clear();
        std::string text = "old";
        std::vector<char> bytes{'o'};
        const char* to = m_name.c_str();
        EXPECT_TRUE(RunServing([&] {
            EXPECT_EQ(caller.SendMessage(to, 5, c.data, c.length), CQZGDBus::RET_OK);
            EXPECT_EQ(caller.SendMessage(to, 6, c.data, c.length, text), CQZGDBus::RET_OK);
            EXPECT_EQ(caller.SendMessage(to, 7, c.data, c.length, bytes), CQZGDBus::RET_OK);
        }));
        EXPECT_TRUE(WaitUntil([&] { return m_server.calls.size() == 3; }));
        EXPECT_EQ(m_server.calls,
                  (std::vector<std::string>{"ByteText 5 " + c.arrived, "ByteText 6 " + c.arrived,
                                            "ByteBytes 7 " + c.arrived}));
        EXPECT_EQ(text, "");
        EXPECT_TRUE(bytes.empty());
    }
    EXPECT_EQ(m_log.Find("SendMessage", Trace("Ret ")).size(), 3u);
}

// The exception costs the caller an empty answer and an error line, never the process.
TEST_F(ServedEndpoint, ThrowingHandlerIsLoggedAndTheCallStillCompletes)
{
    // The method, its tuple, and whether the handler throws a std::exception (or else an int).
    const std::tuple<const char*, GVariant*, bool> cases[] = {
        {"SendShortMessageWithRet", g_variant_new("(ii)", 1, 2), true},
        {"SendFullMessageWithoutRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "x"), true},
        {"SendByteMessageWithRet", g_variant_new("(i^ay)", 1, "ab"), false},
        {"SendByteMessageWithBytesRet", g_variant_new("(i^ay)", 1, "ab"), true},
    };
    for (const auto& [method, params, throwsStd] : cases) {
        SCOPED_TRACE(method);
        m_server.throws = throwsStd ? RecordingEndpoint::kThrowStd : RecordingEndpoint::kThrowOther;
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = m_peer.CallIterating(m_name, method, params, &error);
        ASSERT_NE(reply, nullptr) << (error ? error->message : "");
        EXPECT_EQ(g_variant_n_children(reply), 0u);
        const std::string line =
            Hl(std::string("Handler of ") + method + " failed" + (throwsStd ? ": boom" : ""));
        EXPECT_TRUE(WaitUntil([&] { return m_log.Has('E', "methodMessageOnCallBack", line); }))
            << line;
    }
}

// An ended endpoint holds nothing of what it used: not the connection (nor a
// call its handler threw on), not the context it was made under.
TEST_F(BusEndpoint, EndedEndpointLetsGoOfItsConnectionAndContext)
{
    GMainContext* context = g_main_context_new();
    std::atomic<bool> contextEnded{false};  // when it ends, so do its sources
    GSource* marker = g_timeout_source_new_seconds(3600);
    g_source_set_callback(
        marker, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, &contextEnded,
        [](gpointer ended) { *static_cast<std::atomic<bool>*>(ended) = true; });
    g_source_attach(marker, context);
    g_source_unref(marker);
    GWeakRef connection;
    g_main_context_push_thread_default(context);
    {
        RecordingEndpoint server;
        ASSERT_TRUE(server.Create(m_name.c_str()));
        g_weak_ref_init(&connection, server.m_pBusConnection);
        ASSERT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name) == server.Unique(); }));
        server.throws = RecordingEndpoint::kThrowStd;
        g_autoptr(GVariant) reply = m_peer.CallIterating(m_name, "SendShortMessageWithRet",
                                                         g_variant_new("(ii)", 1, 2), nullptr);
        EXPECT_NE(reply, nullptr);
    }
    g_main_context_pop_thread_default(context);
    // GLib tells the end of a registration through the context: let it.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_unref(context);
    // GDBus's worker thread may still hold the registration a moment, and with it the context.
    EXPECT_TRUE(WaitUntil([&] { return contextEnded.load(); }));
    EXPECT_TRUE(EndsWithoutOtherHolders(connection));
}

TEST(NoBusEndpoint, UnreachableBusIsLoggedAndEveryStepFailsWithoutAborting)
{
    LogCapture log;
    RecordingEndpoint endpoint;
    EXPECT_TRUE(log.Has('I', "CQZGDBus", Trace(Fmt("Get Bus[%p]", nullptr))));
    EXPECT_EQ(log.Records().size(), 1u) << log.Text();
    EXPECT_FALSE(endpoint.Create("com.kestova.orvel.qztest.NoBus"));
    EXPECT_TRUE(log.Has('E', "Create", Hl("Bus Connection is NULL")));
    EXPECT_FALSE(endpoint.IsAlive(kBus));
    std::string peer = "com.kestova.orvel.qztest.Peer", text = "kept";
    std::vector<char> bytes;
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(SendForm(i, endpoint, peer, text, bytes), CQZGDBus::RET_FAILED);
        std::string line = Fmt("Send Error(%s:%d)", kForms[i].method, CQZGDBus::RET_FAILED);
        EXPECT_EQ(log.Count(line), 1u);
    }
    EXPECT_EQ(text, "kept");
}

}  // namespace
