// The bus endpoint on a private bus: name ownership, the served interface,
// inbound dispatch to the handlers, outbound calls and their result values,
// and every log line with its priority. The other side of each call is a
// separate bus connection.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QZGDBus.h"
#include "TestSupport.h"

using namespace qztest;

namespace {

const char* const kHlBegin = "\e[1m\e[33m";
const char* const kTrace = "\e[0;33m";
const char* const kEnd = "\e[0;m";

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

// GLib's warnings about misuse (a null connection, a bad tuple) are faults
// of the code under test: they stop the test process instead of scrolling by.
class FatalGLibWarnings : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_log_set_always_fatal(static_cast<GLogLevelFlags>(
            G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    }
};
::testing::Environment* const kFatalGLibWarnings =
    ::testing::AddGlobalTestEnvironment(new FatalGLibWarnings);

std::string Trace(const std::string& text) { return kTrace + text + kEnd; }
std::string Highlight(const std::string& text) { return kHlBegin + text + kEnd; }

// A bus name of the running test's own, so that no test sees another's.
std::string TestBusName(const char* suffix = "")
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("com.kestova.orvel.qztest.") + info->test_suite_name() + "." +
           info->name() + suffix;
}

std::vector<char> Bytes(std::initializer_list<int> values)
{
    std::vector<char> out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

GVariant* ByteArray(const std::vector<char>& bytes)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
}

std::vector<char> BytesOf(GVariant* array)
{
    gsize count = 0;
    auto data = static_cast<const char*>(g_variant_get_fixed_array(array, &count, 1));
    return std::vector<char>(data, data + count);
}

std::string TypeOf(GVariant* value) { return value ? g_variant_get_type_string(value) : "<none>"; }

// The endpoint with its protected members in reach.
class PlainEndpoint : public CQZGDBus {
public:
    using CQZGDBus::m_nOwnerId;
    using CQZGDBus::m_nRegistrationId;
    using CQZGDBus::m_OnDBusMessage;
    using CQZGDBus::m_pBusConnection;
    using CQZGDBus::m_pIntrospectionData;
    using CQZGDBus::m_SendMessage;
    using CQZGDBus::m_strBusName;

    std::string UniqueName() const
    {
        return m_pBusConnection ? g_dbus_connection_get_unique_name(m_pBusConnection) : "";
    }
};

enum class Handler { Short, Full, ByteText, ByteBytes };

struct HandledCall {
    Handler handler;
    int command;
    std::vector<int> ints;  // param0..param2 of the numeric shapes
    std::string text;       // param3
    std::vector<char> bytes;
    const void* data = nullptr;
    int length = -1;
    std::string responseOnEntry;
};

// What a test expects a handler to have received.
struct ExpectedCall {
    Handler handler;
    int command;
    std::vector<int> ints;
    std::string text;
    std::vector<char> bytes;
};

// Records every handler call and answers with configurable content.
class RecordingEndpoint : public PlainEndpoint {
public:
    std::vector<HandledCall> calls;
    std::string textAnswer = "text answer";
    std::vector<char> bytesAnswer = Bytes({0x01, 0x00, 0x7f, 0x80, 0xff});
    bool handlerResult = true;
    std::function<void()> duringHandler;

protected:
    bool t_OnMessage(int command, int param0, std::string& response) override
    {
        return Record({Handler::Short, command, {param0}, "", {}, nullptr, -1, response},
                      response);
    }
    bool t_OnMessage(int command, int param0, int param1, int param2, const std::string& param3,
                     std::string& response) override
    {
        return Record(
            {Handler::Full, command, {param0, param1, param2}, param3, {}, nullptr, -1, response},
            response);
    }
    bool t_OnMessage(int command, const void* data, int length, std::string& response) override
    {
        return Record({Handler::ByteText, command, {}, "", Copy(data, length), data, length,
                       response},
                      response);
    }
    bool t_OnMessage(int command, const void* data, int length,
                     std::vector<char>& response) override
    {
        calls.push_back({Handler::ByteBytes, command, {}, "", Copy(data, length), data, length,
                         std::string(response.begin(), response.end())});
        if (duringHandler)
            duringHandler();
        response = bytesAnswer;
        return handlerResult;
    }

private:
    static std::vector<char> Copy(const void* data, int length)
    {
        auto bytes = static_cast<const char*>(data);
        return length > 0 ? std::vector<char>(bytes, bytes + length) : std::vector<char>();
    }
    bool Record(HandledCall call, std::string& response)
    {
        calls.push_back(std::move(call));
        if (duringHandler)
            duringHandler();
        response = textAnswer;
        return handlerResult;
    }
};

// Runs a blocking call on a helper thread while this thread iterates its
// main context, so that an endpoint served here can answer it.
template <typename F>
auto WhileServing(F&& call) -> decltype(call())
{
    std::atomic<bool> done{false};
    decltype(call()) result{};
    std::thread caller([&] {
        result = call();
        done = true;
    });
    bool finished = WaitUntil([&] { return done.load(); }, 40000ms);
    caller.join();
    EXPECT_TRUE(finished);
    return result;
}

// Counts the method calls a connection sends, to prove that a step made
// no bus traffic. The filter runs on the connection's worker thread.
class OutgoingCalls {
public:
    explicit OutgoingCalls(GDBusConnection* conn) : m_conn(conn), m_state(new State)
    {
        m_id = g_dbus_connection_add_filter(conn, &Filter, new std::shared_ptr<State>(m_state),
                                            &FreeState);
    }
    ~OutgoingCalls() { g_dbus_connection_remove_filter(m_conn, m_id); }
    size_t ToInterface(const std::string& iface) const { return Count(iface, ""); }
    size_t OfMember(const std::string& member) const { return Count("", member); }

private:
    struct State {
        std::mutex lock;
        std::vector<std::pair<std::string, std::string>> seen;  // interface, member
    };
    static GDBusMessage* Filter(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                gpointer data)
    {
        if (!incoming &&
            g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            auto& state = **static_cast<std::shared_ptr<State>*>(data);
            const char* iface = g_dbus_message_get_interface(message);
            const char* member = g_dbus_message_get_member(message);
            std::lock_guard<std::mutex> guard(state.lock);
            state.seen.emplace_back(iface ? iface : "", member ? member : "");
        }
        return message;
    }
    static void FreeState(gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); }
    size_t Count(const std::string& iface, const std::string& member) const
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        size_t n = 0;
        for (const auto& [i, m] : m_state->seen)
            n += (iface.empty() || i == iface) && (member.empty() || m == member);
        return n;
    }
    GDBusConnection* m_conn;
    std::shared_ptr<State> m_state;
    guint m_id = 0;
};

// Asks the bus for a name on the peer's connection, without queueing.
void OwnName(PeerConnection& peer, const std::string& name)
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = peer.Call("org.freedesktop.DBus", "RequestName",
                                          g_variant_new("(su)", name.c_str(), 4u), &error, 5000,
                                          "/org/freedesktop/DBus", "org.freedesktop.DBus");
    ASSERT_NE(reply, nullptr) << (error ? error->message : "");
    guint32 result = 0;
    g_variant_get(reply, "(u)", &result);
    ASSERT_EQ(result, 1u) << "not the primary owner of " << name;
}

// A peer that serves the interface's path with a document of the test's
// choosing, to answer in ways an endpoint never would.
class RawPeer {
public:
    using Handler = std::function<void(const std::string&, GVariant*, GDBusMethodInvocation*)>;

    RawPeer(const std::string& name, const char* xml, Handler handler)
        : m_handler(std::move(handler))
    {
        m_info = g_dbus_node_info_new_for_xml(xml, nullptr);
        EXPECT_NE(m_info, nullptr);
        static const GDBusInterfaceVTable kVTable = {&RawPeer::OnCall, nullptr, nullptr, {nullptr}};
        m_registration = g_dbus_connection_register_object(
            m_conn.Get(), kObjectPath, m_info->interfaces[0], &kVTable, this, nullptr, nullptr);
        EXPECT_NE(m_registration, 0u);
        OwnName(m_conn, name);
    }
    ~RawPeer()
    {
        g_dbus_connection_unregister_object(m_conn.Get(), m_registration);
        g_dbus_node_info_unref(m_info);
    }
    PeerConnection& Connection() { return m_conn; }

private:
    static void OnCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                       GVariant* params, GDBusMethodInvocation* invocation, gpointer self)
    {
        static_cast<RawPeer*>(self)->m_handler(method, params, invocation);
    }
    PeerConnection m_conn;
    Handler m_handler;
    GDBusNodeInfo* m_info = nullptr;
    guint m_registration = 0;
};

class BusFixture : public ::testing::Test {
protected:
    // Creates the endpoint under the test's name and waits until the bus
    // reports it as the owner.
    void CreateAndOwn(PlainEndpoint& endpoint, const std::string& name)
    {
        ASSERT_TRUE(endpoint.Create(name.c_str()));
        std::string unique = endpoint.UniqueName();
        ASSERT_FALSE(unique.empty());
        ASSERT_TRUE(WaitUntil([&] { return m_peer.NameOwner(name) == unique; }))
            << "name " << name << " never owned";
        // Let the acquired notification pass now, not in the middle of a
        // later step that counts log lines.
        ASSERT_TRUE(WaitUntil([&] { return Lines("on name acquired, name[" + name + "]") > 0; }));
    }
    GVariant* CallServed(const std::string& method, GVariant* params, GError** error)
    {
        return m_peer.CallIterating(m_name, method, params, error);
    }
    size_t Lines(const std::string& part) const { return m_log.Count(part); }

    LogCapture m_log;
    PeerConnection m_peer;
    std::string m_name = TestBusName();
};

// ================================================== endpoint lifecycle

using BusEndpoint = BusFixture;

TEST_F(BusEndpoint, ConstructionConnectsAndLogsTheConnection)
{
    PlainEndpoint endpoint;
    ASSERT_NE(endpoint.m_pBusConnection, nullptr);
    EXPECT_TRUE(endpoint.m_strBusName.empty());
    EXPECT_EQ(endpoint.m_nOwnerId, 0u);
    EXPECT_EQ(endpoint.m_nRegistrationId, 0u);
    EXPECT_EQ(endpoint.m_pIntrospectionData, nullptr);
    EXPECT_TRUE(m_log.Has(
        'I', "CQZGDBus",
        Trace(Fmt("Get Bus[%p]", static_cast<void*>(endpoint.m_pBusConnection)))))
        << m_log.Text();
}

TEST_F(BusEndpoint, CreateOwnsTheNameThatGetNameOwnerReports)
{
    PlainEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    EXPECT_EQ(endpoint.m_strBusName, m_name);
    EXPECT_NE(endpoint.m_nOwnerId, 0u);
    EXPECT_NE(endpoint.m_nRegistrationId, 0u);
    EXPECT_NE(endpoint.m_pIntrospectionData, nullptr);
    EXPECT_TRUE(m_log.Has('I', "Create", Trace("Create Bus[" + m_name + "]")));

    // The acquired notification arrives through this thread's main context.
    std::string acquired = Fmt("on name acquired, name[%s], user_data:%p", m_name.c_str(),
                               static_cast<void*>(static_cast<CQZGDBus*>(&endpoint)));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Has('I', "onNameAcquiredCallBack", acquired); }))
        << m_log.Text();
}

TEST_F(BusEndpoint, IntrospectionListsTheSevenMethodsWithTheirArguments)
{
    PlainEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);

    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        m_peer.CallIterating(m_name, "Introspect", nullptr, &error, 5000, kObjectPath,
                             "org.freedesktop.DBus.Introspectable");
    ASSERT_NE(reply, nullptr) << error->message;
    const char* xml = nullptr;
    g_variant_get(reply, "(&s)", &xml);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, nullptr);
    ASSERT_NE(node, nullptr) << xml;
    GDBusInterfaceInfo* iface = g_dbus_node_info_lookup_interface(node, kInterfaceName);
    ASSERT_NE(iface, nullptr) << xml;

    struct Arg {
        std::string name, type;
    };
    struct Method {
        std::string name;
        std::vector<Arg> in, out;
    };
    const std::vector<Arg> shortIn = {{"Command", "i"}, {"Param_0", "i"}};
    const std::vector<Arg> fullIn = {{"Command", "i"}, {"Param_0", "i"}, {"Param_1", "i"},
                                     {"Param_2", "i"}, {"Param_3", "s"}};
    const std::vector<Arg> byteIn = {{"Command", "i"}, {"Param_0", "ay"}};
    const std::vector<Method> expected = {
        {"SendShortMessageWithoutRet", shortIn, {}},
        {"SendFullMessageWithoutRet", fullIn, {}},
        {"SendByteMessageWithoutRet", byteIn, {}},
        {"SendShortMessageWithRet", shortIn, {{"Response", "s"}}},
        {"SendFullMessageWithRet", fullIn, {{"Response", "s"}}},
        {"SendByteMessageWithRet", byteIn, {{"Response", "s"}}},
        {"SendByteMessageWithBytesRet", byteIn, {{"Response", "ay"}}},
    };

    auto argsOf = [](GDBusArgInfo** args) {
        std::vector<Arg> out;
        for (; args && *args; ++args)
            out.push_back({(*args)->name ? (*args)->name : "", (*args)->signature});
        return out;
    };
    size_t index = 0;
    for (GDBusMethodInfo** m = iface->methods; m && *m; ++m, ++index) {
        ASSERT_LT(index, expected.size()) << "extra method " << (*m)->name;
        SCOPED_TRACE(expected[index].name);
        EXPECT_EQ((*m)->name, expected[index].name);
        auto in = argsOf((*m)->in_args), out = argsOf((*m)->out_args);
        ASSERT_EQ(in.size(), expected[index].in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            EXPECT_EQ(in[i].name, expected[index].in[i].name);
            EXPECT_EQ(in[i].type, expected[index].in[i].type);
        }
        ASSERT_EQ(out.size(), expected[index].out.size());
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].name, expected[index].out[i].name);
            EXPECT_EQ(out[i].type, expected[index].out[i].type);
        }
    }
    EXPECT_EQ(index, expected.size());
    EXPECT_TRUE(iface->signals == nullptr || iface->signals[0] == nullptr);
    EXPECT_TRUE(iface->properties == nullptr || iface->properties[0] == nullptr);
}

TEST_F(BusEndpoint, SecondCreateKeepsTheFirstName)
{
    PlainEndpoint endpoint;
    std::string second = TestBusName(".Second");
    CreateAndOwn(endpoint, m_name);
    guint ownerId = endpoint.m_nOwnerId;

    EXPECT_TRUE(endpoint.Create(second.c_str()));
    EXPECT_TRUE(m_log.Has('E', "Create",
                          Highlight(Fmt("Already Created. ID(%u) Name(%s) Request(%s)", ownerId,
                                        m_name.c_str(), second.c_str()))))
        << m_log.Text();
    EXPECT_EQ(endpoint.m_strBusName, m_name);
    EXPECT_EQ(endpoint.m_nOwnerId, ownerId);
    // A round trip to the bus after the second request would have been sent.
    EXPECT_EQ(m_peer.NameOwner(m_name), endpoint.UniqueName());
    EXPECT_EQ(m_peer.NameOwner(second), "");
}

TEST_F(BusEndpoint, CreateDestroyCreateMovesToTheNewName)
{
    RecordingEndpoint endpoint;
    std::string second = TestBusName(".Second");
    CreateAndOwn(endpoint, m_name);

    endpoint.Destroy();
    EXPECT_EQ(endpoint.m_nOwnerId, 0u);
    EXPECT_EQ(endpoint.m_nRegistrationId, 0u);
    EXPECT_EQ(endpoint.m_pIntrospectionData, nullptr);
    EXPECT_TRUE(endpoint.m_strBusName.empty());
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name).empty(); }));

    CreateAndOwn(endpoint, second);
    EXPECT_EQ(endpoint.m_strBusName, second);
    EXPECT_EQ(m_peer.NameOwner(m_name), "");

    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = m_peer.CallIterating(
        second, "SendShortMessageWithRet", g_variant_new("(ii)", 5, 6), &error);
    ASSERT_NE(reply, nullptr) << error->message;
    ASSERT_EQ(endpoint.calls.size(), 1u);
    EXPECT_EQ(endpoint.calls[0].command, 5);
}

TEST_F(BusEndpoint, DestroyOnAFreshEndpointDoesNothing)
{
    PlainEndpoint endpoint;
    m_log.Clear();
    endpoint.Destroy();
    endpoint.Destroy();
    EXPECT_EQ(endpoint.m_nOwnerId, 0u);
    EXPECT_EQ(endpoint.m_nRegistrationId, 0u);
    EXPECT_NE(endpoint.m_pBusConnection, nullptr);
    EXPECT_EQ(m_log.Text(), "");
    // The connection is intact: the endpoint can still take a name.
    CreateAndOwn(endpoint, m_name);
}

TEST_F(BusEndpoint, NameHeldByAnotherOwnerGivesTheNameLostLine)
{
    OwnName(m_peer, m_name);
    PlainEndpoint endpoint;
    EXPECT_TRUE(endpoint.Create(m_name.c_str()));
    std::string lost = Highlight(Fmt("on name lost, name:%s, user_data:%p", m_name.c_str(),
                                     static_cast<void*>(static_cast<CQZGDBus*>(&endpoint))));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Has('E', "onNameLostCallBack", lost); }))
        << m_log.Text();
    EXPECT_EQ(m_peer.NameOwner(m_name), m_peer.UniqueName());
    EXPECT_EQ(Lines("on name acquired"), 0u);
}

TEST_F(BusEndpoint, IsAliveForItsOwnNameMakesNoBusCall)
{
    PlainEndpoint endpoint;
    ASSERT_TRUE(endpoint.Create(m_name.c_str()));
    OutgoingCalls sent(endpoint.m_pBusConnection);
    EXPECT_TRUE(endpoint.IsAlive(m_name.c_str()));
    EXPECT_EQ(sent.OfMember("GetNameOwner"), 0u);
    EXPECT_EQ(Lines("Owner["), 0u);

    // The counter does see the query for any other name.
    EXPECT_FALSE(endpoint.IsAlive(TestBusName(".Nobody").c_str()));
    EXPECT_EQ(sent.OfMember("GetNameOwner"), 1u);
}

TEST_F(BusEndpoint, IsAliveReportsTheOwnerOfANameOnTheBus)
{
    OwnName(m_peer, m_name);
    PlainEndpoint endpoint;
    EXPECT_TRUE(endpoint.IsAlive(m_name.c_str()));
    EXPECT_TRUE(m_log.Has('I', "IsAlive",
                          Trace("Owner[" + m_name + " => " + m_peer.UniqueName() + "]")))
        << m_log.Text();

    std::string unique = m_peer.UniqueName();
    EXPECT_TRUE(endpoint.IsAlive(unique.c_str()));
    EXPECT_TRUE(m_log.Has('I', "IsAlive", Trace("Owner[" + unique + " => " + unique + "]")));
}

TEST_F(BusEndpoint, IsAliveForAnUnownedNameIsFalseAndSilent)
{
    PlainEndpoint endpoint;
    m_log.Clear();
    EXPECT_FALSE(endpoint.IsAlive(TestBusName(".Nobody").c_str()));
    EXPECT_FALSE(endpoint.IsAlive("not a valid bus name"));
    EXPECT_EQ(m_log.Text(), "");
}

TEST_F(BusEndpoint, DeletedEndpointReceivesNoMoreCalls)
{
    // Keeps the shared connection, and with it the old registration's
    // path, alive after the served endpoint is gone.
    PlainEndpoint keeper;
    std::string unique = keeper.UniqueName();
    int handled = 0;
    {
        auto endpoint = std::make_unique<RecordingEndpoint>();
        CreateAndOwn(*endpoint, m_name);
        endpoint->duringHandler = [&] { ++handled; };
        g_autoptr(GVariant) reply =
            CallServed("SendShortMessageWithRet", g_variant_new("(ii)", 1, 2), nullptr);
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(handled, 1);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name).empty(); }));

    for (const std::string& dest : {m_name, unique}) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = m_peer.CallIterating(
            dest, "SendShortMessageWithRet", g_variant_new("(ii)", 3, 4), &error);
        EXPECT_EQ(reply, nullptr) << dest;
        EXPECT_NE(error, nullptr) << dest;
    }
    EXPECT_EQ(handled, 1);
}

// ===================================================== inbound dispatch

using BusDispatch = BusFixture;

TEST_F(BusDispatch, SubclassReceivesEachMethodsArgumentsInOrder)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    const std::vector<char> payload = Bytes({0x10, 0x00, 0xff, 'a', 0x00});

    struct Case {
        const char* method;
        GVariant* params;
        ExpectedCall expected;
        std::string replyType;
    };
    std::vector<Case> cases = {
        {"SendShortMessageWithRet", g_variant_new("(ii)", 101, -1),
         {Handler::Short, 101, {-1}, "", {}}, "(s)"},
        {"SendShortMessageWithoutRet", g_variant_new("(ii)", 102, 2147483647),
         {Handler::Short, 102, {2147483647}, "", {}}, "()"},
        {"SendFullMessageWithRet", g_variant_new("(iiiis)", 103, 11, -22, 33, "fourth"),
         {Handler::Full, 103, {11, -22, 33}, "fourth", {}}, "(s)"},
        {"SendFullMessageWithoutRet", g_variant_new("(iiiis)", 104, 44, 55, -66, ""),
         {Handler::Full, 104, {44, 55, -66}, "", {}}, "()"},
        {"SendByteMessageWithRet", g_variant_new("(i@ay)", 105, ByteArray(payload)),
         {Handler::ByteText, 105, {}, "", payload}, "(s)"},
        {"SendByteMessageWithoutRet", g_variant_new("(i@ay)", 106, ByteArray(payload)),
         {Handler::ByteText, 106, {}, "", payload}, "()"},
        {"SendByteMessageWithBytesRet", g_variant_new("(i@ay)", 107, ByteArray(payload)),
         {Handler::ByteBytes, 107, {}, "", payload}, "(ay)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.method);
        endpoint.calls.clear();
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = CallServed(c.method, c.params, &error);
        ASSERT_NE(reply, nullptr) << error->message;
        EXPECT_EQ(TypeOf(reply), c.replyType);
        ASSERT_TRUE(WaitUntil([&] { return endpoint.calls.size() == 1; }));

        const HandledCall& got = endpoint.calls[0];
        EXPECT_EQ(got.handler, c.expected.handler);
        EXPECT_EQ(got.command, c.expected.command);
        EXPECT_EQ(got.ints, c.expected.ints);
        EXPECT_EQ(got.text, c.expected.text);
        EXPECT_EQ(got.bytes, c.expected.bytes);
        if (!c.expected.bytes.empty()) {
            EXPECT_EQ(got.length, static_cast<int>(payload.size()));
        }
        EXPECT_EQ(got.responseOnEntry, "");

        if (c.replyType == "(s)") {
            const char* text = nullptr;
            g_variant_get(reply, "(&s)", &text);
            EXPECT_EQ(std::string(text), endpoint.textAnswer);
        } else if (c.replyType == "(ay)") {
            g_autoptr(GVariant) array = g_variant_get_child_value(reply, 0);
            EXPECT_EQ(BytesOf(array), endpoint.bytesAnswer);
        }
    }
}

TEST_F(BusDispatch, EmptyByteArrayReachesTheHandlerWithCountZero)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    for (const char* method : {"SendByteMessageWithRet", "SendByteMessageWithBytesRet"}) {
        endpoint.calls.clear();
        g_autoptr(GVariant) reply =
            CallServed(method, g_variant_new("(i@ay)", 9, ByteArray({})), nullptr);
        ASSERT_NE(reply, nullptr) << method;
        ASSERT_EQ(endpoint.calls.size(), 1u) << method;
        EXPECT_EQ(endpoint.calls[0].command, 9);
        EXPECT_EQ(endpoint.calls[0].length, 0) << method;
    }
}

TEST_F(BusDispatch, BaseEndpointGivesEmptyAnswers)
{
    PlainEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    const std::vector<char> payload = Bytes({1, 2, 3});

    for (auto [method, params] :
         {std::pair{"SendShortMessageWithRet", g_variant_new("(ii)", 1, 2)},
          std::pair{"SendFullMessageWithRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "x")},
          std::pair{"SendByteMessageWithRet", g_variant_new("(i@ay)", 1, ByteArray(payload))}}) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = CallServed(method, params, &error);
        ASSERT_NE(reply, nullptr) << error->message;
        ASSERT_EQ(TypeOf(reply), "(s)") << method;
        const char* text = nullptr;
        g_variant_get(reply, "(&s)", &text);
        EXPECT_STREQ(text, "") << method;
    }

    g_autoptr(GVariant) bytes = CallServed(
        "SendByteMessageWithBytesRet", g_variant_new("(i@ay)", 1, ByteArray(payload)), nullptr);
    ASSERT_NE(bytes, nullptr);
    ASSERT_EQ(TypeOf(bytes), "(ay)");
    g_autoptr(GVariant) array = g_variant_get_child_value(bytes, 0);
    EXPECT_TRUE(BytesOf(array).empty());

    g_autoptr(GVariant) none =
        CallServed("SendShortMessageWithoutRet", g_variant_new("(ii)", 1, 2), nullptr);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(TypeOf(none), "()");
}

// The handler waits for the caller to hold its reply; only a reply sent
// before the handler runs can end that wait in time.
bool CallerHadReplyWhileHandlerRan(PeerConnection& peer, RecordingEndpoint& endpoint,
                                   const std::string& name, const char* method, GVariant* params,
                                   std::chrono::milliseconds patience, std::string* replyType)
{
    g_autoptr(GMainContext) quiet = g_main_context_new();
    std::atomic<bool> callerHasReply{false};
    std::atomic<bool> handlerDone{false};
    bool seenByHandler = false;
    endpoint.duringHandler = [&] {
        seenByHandler = WaitUntil([&] { return callerHasReply.load(); }, patience, quiet);
        handlerDone = true;
    };
    g_variant_ref_sink(params);
    std::thread caller([&] {
        g_autoptr(GVariant) reply = peer.Call(name, method, params, nullptr);
        *replyType = TypeOf(reply);
        callerHasReply = true;
    });
    bool ran = WaitUntil([&] { return handlerDone.load(); }, 10000ms);
    caller.join();
    g_variant_unref(params);
    endpoint.duringHandler = nullptr;
    EXPECT_TRUE(ran) << method;
    return seenByHandler;
}

TEST_F(BusDispatch, MethodsWithoutResponseAnswerBeforeTheirHandlerRuns)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    std::string replyType;
    const std::vector<char> payload = Bytes({4, 5});

    EXPECT_TRUE(CallerHadReplyWhileHandlerRan(m_peer, endpoint, m_name,
                                              "SendShortMessageWithoutRet",
                                              g_variant_new("(ii)", 1, 2), 5000ms, &replyType));
    EXPECT_EQ(replyType, "()");
    EXPECT_TRUE(CallerHadReplyWhileHandlerRan(
        m_peer, endpoint, m_name, "SendFullMessageWithoutRet",
        g_variant_new("(iiiis)", 1, 2, 3, 4, "x"), 5000ms, &replyType));
    EXPECT_EQ(replyType, "()");
    EXPECT_TRUE(CallerHadReplyWhileHandlerRan(
        m_peer, endpoint, m_name, "SendByteMessageWithoutRet",
        g_variant_new("(i@ay)", 1, ByteArray(payload)), 5000ms, &replyType));
    EXPECT_EQ(replyType, "()");
    EXPECT_EQ(endpoint.calls.size(), 3u);
}

TEST_F(BusDispatch, MethodsWithResponseHoldTheCallerUntilTheHandlerReturns)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    std::string replyType;
    EXPECT_FALSE(CallerHadReplyWhileHandlerRan(m_peer, endpoint, m_name,
                                               "SendShortMessageWithRet",
                                               g_variant_new("(ii)", 1, 2), 300ms, &replyType));
    EXPECT_EQ(replyType, "(s)");
}

TEST_F(BusDispatch, WrongParameterTypesAreRefusedBeforeDispatch)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    m_log.Clear();

    const std::vector<std::pair<const char*, const char*>> cases = {
        {"SendShortMessageWithRet", "('one', 2)"},
        {"SendShortMessageWithoutRet", "(1, 2, 3)"},
        {"SendFullMessageWithRet", "(1, 2, 3, 4)"},
        {"SendFullMessageWithoutRet", "(1, 2, 3, 4, 5)"},
        {"SendByteMessageWithRet", "(1, 'bytes')"},
        {"SendByteMessageWithoutRet", "(1, 2)"},
        {"SendByteMessageWithBytesRet", "(1, [1, 2])"},
    };
    for (const auto& [method, params] : cases) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            CallServed(method, g_variant_new_parsed(params), &error);
        EXPECT_EQ(reply, nullptr) << method;
        EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS))
            << method << ": " << (error ? error->message : "no error");
    }
    EXPECT_TRUE(endpoint.calls.empty());
    EXPECT_EQ(Lines("m_OnDBusMessage Start"), 0u);

    // Still serving afterwards.
    g_autoptr(GVariant) reply =
        CallServed("SendShortMessageWithRet", g_variant_new("(ii)", 1, 2), nullptr);
    EXPECT_NE(reply, nullptr);
    EXPECT_EQ(endpoint.calls.size(), 1u);
}

TEST_F(BusDispatch, UnknownMethodIsAnErrorAndRunsNoHandler)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = CallServed("SendNothing", g_variant_new("(ii)", 1, 2), &error);
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD))
        << (error ? error->message : "no error");
    EXPECT_TRUE(endpoint.calls.empty());
}

TEST_F(BusDispatch, EveryCallIsLoggedWithSenderPathInterfaceAndIndex)
{
    PlainEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    const std::vector<char> payload = Bytes({1});
    const std::vector<std::pair<const char*, int>> methods = {
        {"SendShortMessageWithRet", 1},   {"SendFullMessageWithRet", 2},
        {"SendByteMessageWithRet", 3},    {"SendShortMessageWithoutRet", 1},
        {"SendFullMessageWithoutRet", 2}, {"SendByteMessageWithoutRet", 3},
        {"SendByteMessageWithBytesRet", 4},
    };
    for (const auto& [method, index] : methods) {
        SCOPED_TRACE(method);
        m_log.Clear();
        GVariant* params = index == 1   ? g_variant_new("(ii)", 1, 2)
                           : index == 2 ? g_variant_new("(iiiis)", 1, 2, 3, 4, "s")
                                        : g_variant_new("(i@ay)", 1, ByteArray(payload));
        g_autoptr(GVariant) reply = CallServed(method, params, nullptr);
        ASSERT_NE(reply, nullptr);
        std::string start = Trace(Fmt("%s : m_OnDBusMessage Start(%d)", m_name.c_str(), index));
        std::string done = Trace(Fmt("%s : m_OnDBusMessage Done(%d)", m_name.c_str(), index));
        ASSERT_TRUE(WaitUntil([&] { return m_log.Has('I', "m_OnDBusMessage", done); }));
        EXPECT_TRUE(m_log.Has('I', "m_OnDBusMessage", start));
        std::string received = m_name + " : sender[" + m_peer.UniqueName() + "], object path[" +
                               kObjectPath + "]\ninterface name[" + kInterfaceName +
                               "], method name:[" + method + "]";
        EXPECT_TRUE(m_log.Has('I', "methodMessageOnCallBack", received)) << m_log.Text();
        EXPECT_EQ(m_log.Records().size(), 3u) << m_log.Text();
    }
}

TEST_F(BusDispatch, DirectDispatchBuildsTheReplyOfEachIndex)
{
    RecordingEndpoint endpoint;
    const std::vector<char> payload = Bytes({7, 0, 7});
    struct Case {
        int index;
        GVariant* params;
        Handler handler;
        std::string replyType;
    };
    std::vector<Case> cases = {
        {1, g_variant_new("(ii)", 1, 2), Handler::Short, "(s)"},
        {2, g_variant_new("(iiiis)", 1, 2, 3, 4, "p3"), Handler::Full, "(s)"},
        {3, g_variant_new("(i@ay)", 1, ByteArray(payload)), Handler::ByteText, "(s)"},
        {4, g_variant_new("(i@ay)", 1, ByteArray(payload)), Handler::ByteBytes, "(ay)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.index);
        g_autoptr(GVariant) params = g_variant_ref_sink(c.params);
        endpoint.calls.clear();
        g_autoptr(GVariant) reply = nullptr;
        EXPECT_TRUE(endpoint.m_OnDBusMessage(c.index, params, &reply));
        ASSERT_EQ(endpoint.calls.size(), 1u);
        EXPECT_EQ(endpoint.calls[0].handler, c.handler);
        ASSERT_EQ(TypeOf(reply), c.replyType);
        if (c.replyType == "(s)") {
            const char* text = nullptr;
            g_variant_get(reply, "(&s)", &text);
            EXPECT_EQ(std::string(text), endpoint.textAnswer);
        } else {
            g_autoptr(GVariant) array = g_variant_get_child_value(reply, 0);
            EXPECT_EQ(BytesOf(array), endpoint.bytesAnswer);
        }

        // Without a place for the reply the handler still runs.
        endpoint.calls.clear();
        EXPECT_TRUE(endpoint.m_OnDBusMessage(c.index, params, nullptr));
        EXPECT_EQ(endpoint.calls.size(), 1u);
    }
}

TEST_F(BusDispatch, DirectDispatchWithAWrongTupleRunsNoHandlerAndBuildsNoReply)
{
    RecordingEndpoint endpoint;
    const std::vector<std::pair<int, const char*>> cases = {
        {1, "(1, 2, 3)"},       {1, "('a', 2)"},           {1, "(int64 1, 2)"},
        {2, "(1, 2, 3, 4)"},    {2, "(1, 2, 3, 4, 5)"},    {3, "(1, 2)"},
        {3, "(1, [1, 2])"},     {4, "(1, 'bytes')"},       {4, "([byte 1], 1)"},
        {0, "(1, 2)"},          {5, "(1, [byte 1])"},      {-1, "(1, 2)"},
    };
    for (const auto& [index, text] : cases) {
        SCOPED_TRACE(std::to_string(index) + " " + text);
        m_log.Clear();
        g_autoptr(GVariant) params = g_variant_ref_sink(g_variant_new_parsed(text));
        GVariant* reply = nullptr;
        EXPECT_TRUE(endpoint.m_OnDBusMessage(index, params, &reply));
        EXPECT_EQ(reply, nullptr);
        if (reply)
            g_variant_unref(reply);
        EXPECT_TRUE(endpoint.calls.empty());
        // Only the Start and Done lines.
        EXPECT_TRUE(m_log.Has('I', "m_OnDBusMessage", Trace(Fmt(" : m_OnDBusMessage Start(%d)", index))));
        EXPECT_TRUE(m_log.Has('I', "m_OnDBusMessage", Trace(Fmt(" : m_OnDBusMessage Done(%d)", index))));
        EXPECT_EQ(m_log.Records().size(), 2u);
    }
}

TEST_F(BusDispatch, HandlerReturningFalseGivesTheCallerAnEmptyReply)
{
    RecordingEndpoint endpoint;
    endpoint.handlerResult = false;
    CreateAndOwn(endpoint, m_name);
    const std::vector<char> payload = Bytes({1, 2});

    for (auto [method, params] :
         {std::pair{"SendShortMessageWithRet", g_variant_new("(ii)", 1, 2)},
          std::pair{"SendFullMessageWithRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "x")},
          std::pair{"SendByteMessageWithRet", g_variant_new("(i@ay)", 1, ByteArray(payload))},
          std::pair{"SendByteMessageWithBytesRet",
                    g_variant_new("(i@ay)", 1, ByteArray(payload))}}) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = CallServed(method, params, &error);
        ASSERT_NE(reply, nullptr) << method << ": " << error->message;
        EXPECT_EQ(TypeOf(reply), "()") << method;
    }
    EXPECT_EQ(endpoint.calls.size(), 4u);
}

TEST_F(BusDispatch, HandlerReturningFalseGivesACallingEndpointTypeMismatch)
{
    RecordingEndpoint endpoint;
    endpoint.handlerResult = false;
    CreateAndOwn(endpoint, m_name);
    PlainEndpoint caller;
    const char* name = m_name.c_str();
    const char data[] = {1, 2, 3};

    std::string response = "untouched";
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, 2, response); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, 2, 3, 4, "x", response); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, data, 3, response); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(response, "untouched");

    std::vector<char> bytes = Bytes({9, 9});
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, data, 3, bytes); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(bytes, Bytes({9, 9}));
    EXPECT_EQ(Lines("\e[0;33mRet "), 0u);
}

// ======================================================= outbound calls

using BusOutbound = BusFixture;

TEST_F(BusOutbound, EachFormCallsItsMethodAndReadsTheReply)
{
    RecordingEndpoint server;
    CreateAndOwn(server, m_name);
    PlainEndpoint caller;
    const char* name = m_name.c_str();
    const std::vector<char> payload = Bytes({0x00, 0x41, 0xfe});

    std::string response = "old";
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 201, 21); }), CQZGDBus::RET_OK);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 202, 22, response); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(response, server.textAnswer);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 203, 1, -2, 3, "p3"); }),
              CQZGDBus::RET_OK);
    response = "old";
    EXPECT_EQ(
        WhileServing([&] { return caller.SendMessage(name, 204, 4, 5, -6, "text", response); }),
        CQZGDBus::RET_OK);
    EXPECT_EQ(response, server.textAnswer);
    EXPECT_EQ(WhileServing([&] {
                  return caller.SendMessage(name, 205, payload.data(), int(payload.size()));
              }),
              CQZGDBus::RET_OK);
    response = "old";
    EXPECT_EQ(WhileServing([&] {
                  return caller.SendMessage(name, 206, payload.data(), int(payload.size()),
                                            response);
              }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(response, server.textAnswer);
    std::vector<char> bytes = Bytes({'o', 'l', 'd', 'e', 'r', '!'});
    EXPECT_EQ(WhileServing([&] {
                  return caller.SendMessage(name, 207, payload.data(), int(payload.size()), bytes);
              }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(bytes, server.bytesAnswer);

    // The handlers of methods without response run after the caller left.
    ASSERT_TRUE(WaitUntil([&] { return server.calls.size() == 7; }));
    const std::vector<std::tuple<Handler, int, std::vector<int>, std::string, std::vector<char>>>
        expected = {
            {Handler::Short, 201, {21}, "", {}},
            {Handler::Short, 202, {22}, "", {}},
            {Handler::Full, 203, {1, -2, 3}, "p3", {}},
            {Handler::Full, 204, {4, 5, -6}, "text", {}},
            {Handler::ByteText, 205, {}, "", payload},
            {Handler::ByteText, 206, {}, "", payload},
            {Handler::ByteBytes, 207, {}, "", payload},
        };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [handler, command, ints, text, data] = expected[i];
        EXPECT_EQ(server.calls[i].handler, handler);
        EXPECT_EQ(server.calls[i].command, command);
        EXPECT_EQ(server.calls[i].ints, ints);
        EXPECT_EQ(server.calls[i].text, text);
        EXPECT_EQ(server.calls[i].bytes, data);
    }

    for (const char* method :
         {"SendShortMessageWithoutRet", "SendShortMessageWithRet", "SendFullMessageWithoutRet",
          "SendFullMessageWithRet", "SendByteMessageWithoutRet", "SendByteMessageWithRet",
          "SendByteMessageWithBytesRet"}) {
        EXPECT_TRUE(m_log.Has('I', "m_SendMessage",
                              Trace(Fmt("Sending %s Method %s", name, method))))
            << method;
        EXPECT_TRUE(m_log.Has('I', "m_SendMessage",
                              Trace(Fmt("SendDone %s Method %s", name, method))))
            << method;
    }
    // One "Ret" line per string response; the byte response writes none.
    EXPECT_EQ(m_log.Find("SendMessage", Trace("Ret " + server.textAnswer)).size(), 3u);
    EXPECT_TRUE(m_log.Has('I', "SendMessage", Trace("Ret " + server.textAnswer)));
    EXPECT_EQ(Lines("Send Error"), 0u);
}

TEST_F(BusOutbound, NullDataWithLengthZeroSendsAnEmptyArray)
{
    RecordingEndpoint server;
    CreateAndOwn(server, m_name);
    PlainEndpoint caller;
    const char* name = m_name.c_str();
    std::string response;
    std::vector<char> bytes;

    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 31, nullptr, 0, response); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 32, nullptr, 0, bytes); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 33, nullptr, 0); }),
              CQZGDBus::RET_OK);
    ASSERT_TRUE(WaitUntil([&] { return server.calls.size() == 3; }));
    for (const auto& call : server.calls) {
        EXPECT_EQ(call.length, 0) << call.command;
        EXPECT_TRUE(call.bytes.empty()) << call.command;
    }
}

TEST_F(BusOutbound, EmptyTextAndEmptyBytesRepliesEmptyTheResponse)
{
    RecordingEndpoint server;
    server.textAnswer = "";
    server.bytesAnswer.clear();
    CreateAndOwn(server, m_name);
    PlainEndpoint caller;
    const char* name = m_name.c_str();

    std::string response = "previous";
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, 2, response); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(response, "");
    std::vector<char> bytes = Bytes({1, 2, 3});
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, "x", 1, bytes); }),
              CQZGDBus::RET_OK);
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(m_log.Has('I', "SendMessage", Trace("Ret ")));
}

TEST_F(BusOutbound, OwnNameIsDeliveredLocallyWithoutBusTraffic)
{
    RecordingEndpoint endpoint;
    endpoint.handlerResult = false;  // ignored for local delivery
    ASSERT_TRUE(endpoint.Create(m_name.c_str()));
    OutgoingCalls sent(endpoint.m_pBusConnection);
    m_log.Clear();
    const char* name = m_name.c_str();
    const char data[] = {5, 6, 7, 8};

    EXPECT_EQ(endpoint.SendMessage(name, 1, 10), CQZGDBus::RET_OK);
    std::string response = "caller's";
    EXPECT_EQ(endpoint.SendMessage(name, 2, 20, response), CQZGDBus::RET_OK);
    EXPECT_EQ(response, endpoint.textAnswer);
    EXPECT_EQ(endpoint.SendMessage(name, 3, 1, 2, 3, "four"), CQZGDBus::RET_OK);
    response = "caller's";
    EXPECT_EQ(endpoint.SendMessage(name, 4, 1, 2, 3, "four", response), CQZGDBus::RET_OK);
    EXPECT_EQ(response, endpoint.textAnswer);
    EXPECT_EQ(endpoint.SendMessage(name, 5, data, 4), CQZGDBus::RET_OK);
    response = "caller's";
    EXPECT_EQ(endpoint.SendMessage(name, 6, data, 4, response), CQZGDBus::RET_OK);
    EXPECT_EQ(response, endpoint.textAnswer);
    std::vector<char> bytes = Bytes({'c'});
    EXPECT_EQ(endpoint.SendMessage(name, 7, data, 3, bytes), CQZGDBus::RET_OK);
    EXPECT_EQ(bytes, endpoint.bytesAnswer);

    ASSERT_EQ(endpoint.calls.size(), 7u);
    const std::vector<Handler> handlers = {Handler::Short,    Handler::Short,    Handler::Full,
                                           Handler::Full,     Handler::ByteText, Handler::ByteText,
                                           Handler::ByteBytes};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(endpoint.calls[i].handler, handlers[i]) << i;
        EXPECT_EQ(endpoint.calls[i].command, static_cast<int>(i + 1));
    }
    EXPECT_EQ(endpoint.calls[2].ints, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(endpoint.calls[3].text, "four");
    // Forms with a response hand over the caller's own object; the others a
    // fresh scratch string. The bytes are the caller's, not a copy.
    EXPECT_EQ(endpoint.calls[0].responseOnEntry, "");
    EXPECT_EQ(endpoint.calls[1].responseOnEntry, "caller's");
    EXPECT_EQ(endpoint.calls[2].responseOnEntry, "");
    EXPECT_EQ(endpoint.calls[3].responseOnEntry, "caller's");
    EXPECT_EQ(endpoint.calls[4].responseOnEntry, "");
    EXPECT_EQ(endpoint.calls[5].responseOnEntry, "caller's");
    EXPECT_EQ(endpoint.calls[6].responseOnEntry, "c");
    for (size_t i = 4; i < 7; ++i)
        EXPECT_EQ(endpoint.calls[i].data, static_cast<const void*>(data)) << i;
    EXPECT_EQ(endpoint.calls[6].length, 3);

    EXPECT_EQ(sent.ToInterface(kInterfaceName), 0u);
    EXPECT_EQ(Lines("Sending"), 0u);
    EXPECT_EQ(Lines("Ret "), 0u);

    // The same form addressed elsewhere does go out on the bus.
    EXPECT_EQ(endpoint.SendMessage(TestBusName(".Elsewhere").c_str(), 1, 10),
              CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(sent.ToInterface(kInterfaceName), 1u);
}

TEST_F(BusOutbound, OwnNameWithTheBaseHandlersChangesNothing)
{
    PlainEndpoint endpoint;
    ASSERT_TRUE(endpoint.Create(m_name.c_str()));
    const char* name = m_name.c_str();
    std::string response = "as it was";
    std::vector<char> bytes = Bytes({4, 2});
    EXPECT_EQ(endpoint.SendMessage(name, 1, 2, response), CQZGDBus::RET_OK);
    EXPECT_EQ(endpoint.SendMessage(name, 1, 2, 3, 4, "s", response), CQZGDBus::RET_OK);
    EXPECT_EQ(endpoint.SendMessage(name, 1, "ab", 2, response), CQZGDBus::RET_OK);
    EXPECT_EQ(endpoint.SendMessage(name, 1, "ab", 2, bytes), CQZGDBus::RET_OK);
    EXPECT_EQ(response, "as it was");
    EXPECT_EQ(bytes, Bytes({4, 2}));
}

TEST_F(BusOutbound, UnownedNameGivesNotFoundAndTheSendErrorLine)
{
    PlainEndpoint caller;
    std::string target = TestBusName(".Nobody");
    const char* name = target.c_str();

    // What the bus says to such a call, asked independently.
    g_autoptr(GError) busError = nullptr;
    g_autoptr(GVariant) none = m_peer.Call(target, "SendShortMessageWithRet",
                                           g_variant_new("(ii)", 1, 2), &busError);
    ASSERT_EQ(none, nullptr);
    ASSERT_NE(busError, nullptr);

    std::string response = "kept";
    std::vector<char> bytes = Bytes({1});
    EXPECT_EQ(caller.SendMessage(name, 1, 2, response), CQZGDBus::RET_NOT_FOUND);
    EXPECT_TRUE(m_log.Has('E', "m_SendMessage",
                          Fmt("\e[0;35mSend Error(SendShortMessageWithRet:1) [%d:%s]\e[0;m",
                              busError->code, busError->message)))
        << m_log.Text();

    EXPECT_EQ(caller.SendMessage(name, 1, 2), CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(caller.SendMessage(name, 1, 2, 3, 4, "s"), CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(caller.SendMessage(name, 1, 2, 3, 4, "s", response), CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(caller.SendMessage(name, 1, "d", 1), CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(caller.SendMessage(name, 1, "d", 1, response), CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(caller.SendMessage(name, 1, "d", 1, bytes), CQZGDBus::RET_NOT_FOUND);
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(bytes, Bytes({1}));

    for (const char* method :
         {"SendShortMessageWithoutRet", "SendFullMessageWithoutRet", "SendFullMessageWithRet",
          "SendByteMessageWithoutRet", "SendByteMessageWithRet", "SendByteMessageWithBytesRet"})
        EXPECT_EQ(Lines(Fmt("Send Error(%s:1) [%d:", method, busError->code)), 1u) << method;
    EXPECT_EQ(Lines("Send Error("), 7u);
    EXPECT_EQ(Lines("SendDone"), 0u);
}

const char kOddPeerXml[] =
    "<node><interface name='interface.corvanemessage'>"
    "  <method name='SendShortMessageWithRet'>"
    "    <arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "    <arg type='i' direction='out'/></method>"
    "  <method name='SendFullMessageWithRet'>"
    "    <arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "    <arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "    <arg type='s' direction='in'/><arg type='s' direction='out'/></method>"
    "  <method name='SendByteMessageWithRet'>"
    "    <arg type='i' direction='in'/><arg type='ay' direction='in'/>"
    "    <arg type='s' direction='out'/></method>"
    "  <method name='SendByteMessageWithBytesRet'>"
    "    <arg type='i' direction='in'/><arg type='ay' direction='in'/>"
    "    <arg type='s' direction='out'/></method>"
    "</interface></node>";

TEST_F(BusOutbound, ReplyOfTheWrongTypeGivesTypeMismatchAndLeavesTheResponse)
{
    RawPeer peer(m_name, kOddPeerXml, [](const std::string& method, GVariant*,
                                         GDBusMethodInvocation* invocation) {
        if (method == "SendShortMessageWithRet")
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(i)", 42));
        else
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", "text"));
    });
    PlainEndpoint caller;
    const char* name = m_name.c_str();

    std::vector<char> bytes = Bytes({3, 1, 4});
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, "ab", 2, bytes); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(bytes, Bytes({3, 1, 4}));

    std::string response = "unchanged";
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, 2, response); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(response, "unchanged");

    // The same peer's well-typed answer is read.
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, "ab", 2, response); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(response, "text");
    EXPECT_EQ(Lines("Send Error"), 0u);
}

TEST_F(BusOutbound, ErrorFromThePeerGivesFailedWithItsCodeAndMessage)
{
    RawPeer peer(m_name, kOddPeerXml,
                 [](const std::string&, GVariant*, GDBusMethodInvocation* invocation) {
                     g_dbus_method_invocation_return_dbus_error(
                         invocation, "com.kestova.orvel.qztest.Error.Refused", "refused on purpose");
                 });
    // The error as a plain caller receives it.
    g_autoptr(GError) expected = nullptr;
    g_autoptr(GVariant) none = m_peer.CallIterating(
        m_name, "SendFullMessageWithRet", g_variant_new("(iiiis)", 1, 2, 3, 4, "s"), &expected);
    ASSERT_EQ(none, nullptr);
    ASSERT_NE(expected, nullptr);
    ASSERT_TRUE(expected->code != 2 && expected->code != 3 && expected->code != 4 &&
                expected->code != 24)
        << expected->code;

    PlainEndpoint caller;
    std::string response = "kept";
    EXPECT_EQ(WhileServing([&] {
                  return caller.SendMessage(m_name.c_str(), 1, 2, 3, 4, "s", response);
              }),
              CQZGDBus::RET_FAILED);
    EXPECT_EQ(response, "kept");
    EXPECT_TRUE(m_log.Has('E', "m_SendMessage",
                          Fmt("\e[0;35mSend Error(SendFullMessageWithRet:4) [%d:%s]\e[0;m",
                              expected->code, expected->message)))
        << m_log.Text();
}

TEST_F(BusOutbound, PeerLeavingWithoutAReplyGivesTimeout)
{
    GDBusMethodInvocation* pending = nullptr;
    auto peer = std::make_unique<RawPeer>(
        m_name, kOddPeerXml,
        [&](const std::string&, GVariant*, GDBusMethodInvocation* invocation) {
            pending = invocation;  // never answered
        });
    PlainEndpoint caller;
    std::atomic<bool> done{false};
    CQZGDBus::enRetValue ret = CQZGDBus::RET_OK;
    std::string response = "kept";
    std::thread call([&] {
        ret = caller.SendMessage(m_name.c_str(), 1, "x", 1, response);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return pending != nullptr; }));
    // The bus answers for a peer that disconnects with a call open.
    g_dbus_connection_close_sync(peer->Connection().Get(), nullptr, nullptr);
    bool finished = WaitUntil([&] { return done.load(); }, 10000ms);
    call.join();
    g_object_unref(pending);
    ASSERT_TRUE(finished);

    EXPECT_EQ(ret, CQZGDBus::RET_TIMEOUT);
    EXPECT_EQ(response, "kept");
    auto errors = m_log.Records();
    size_t matching = 0;
    for (const auto& r : errors)
        matching += r.priority == 'E' &&
                    r.message.find("\e[0;35mSend Error(SendByteMessageWithRet:2) [4:") !=
                        std::string::npos;
    EXPECT_EQ(matching, 1u) << m_log.Text();
}

// ================================================= without a reachable bus

TEST(NoBusEndpoint, ConstructorLogsANullConnectionAndCreateFails)
{
    LogCapture log;
    PlainEndpoint endpoint;
    EXPECT_EQ(endpoint.m_pBusConnection, nullptr);
    EXPECT_TRUE(log.Has('I', "CQZGDBus", Trace(Fmt("Get Bus[%p]", static_cast<void*>(nullptr)))))
        << log.Text();

    EXPECT_FALSE(endpoint.Create("com.kestova.orvel.qztest.NoBus"));
    EXPECT_TRUE(log.Has('I', "Create", Trace("Create Bus[com.kestova.orvel.qztest.NoBus]")));
    EXPECT_TRUE(log.Has('E', "Create", Highlight("Bus Connection is NULL")));
    EXPECT_EQ(endpoint.m_nOwnerId, 0u);
    EXPECT_EQ(endpoint.m_nRegistrationId, 0u);
    endpoint.Destroy();
}

TEST(NoBusEndpoint, SendMessageFailsWithoutAborting)
{
    LogCapture log;
    PlainEndpoint endpoint;
    const char* name = "com.kestova.orvel.qztest.Peer";
    std::string response = "kept";
    std::vector<char> bytes = Bytes({8});
    EXPECT_EQ(endpoint.SendMessage(name, 1, 2), CQZGDBus::RET_FAILED);
    EXPECT_EQ(endpoint.SendMessage(name, 1, 2, response), CQZGDBus::RET_FAILED);
    EXPECT_EQ(endpoint.SendMessage(name, 1, 2, 3, 4, "s"), CQZGDBus::RET_FAILED);
    EXPECT_EQ(endpoint.SendMessage(name, 1, 2, 3, 4, "s", response), CQZGDBus::RET_FAILED);
    EXPECT_EQ(endpoint.SendMessage(name, 1, "d", 1), CQZGDBus::RET_FAILED);
    EXPECT_EQ(endpoint.SendMessage(name, 1, "d", 1, response), CQZGDBus::RET_FAILED);
    EXPECT_EQ(endpoint.SendMessage(name, 1, "d", 1, bytes), CQZGDBus::RET_FAILED);
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(bytes, Bytes({8}));
    EXPECT_EQ(log.Count("Send Error(SendByteMessageWithBytesRet:4)"), 1u);
    EXPECT_EQ(log.Count("SendDone"), 0u);
}

TEST(NoBusEndpoint, IsAliveIsFalseForAnyOtherName)
{
    PlainEndpoint endpoint;
    EXPECT_FALSE(endpoint.IsAlive("com.kestova.orvel.qztest.Peer"));
    EXPECT_FALSE(endpoint.IsAlive("org.freedesktop.DBus"));
}

}  // namespace
