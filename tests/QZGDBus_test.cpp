// The bus endpoint on a private bus: name ownership, the served interface,
// inbound dispatch to the handlers, outbound calls and their result values,
// and every log line with its priority. The other side of each call is a
// separate bus connection.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QZGDBus.h"
#include "TestSupport.h"

using namespace qztest;

namespace {

// GLib's warnings about misuse (a null connection, a bad tuple) are faults
// of the code under test: they stop the test process.
const GLogLevelFlags kFatalGLibWarnings = g_log_set_always_fatal(
    static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));

template <typename... Args>
std::string Fmt(const char* format, Args... args)
{
    char text[1024];
    snprintf(text, sizeof(text), format, args...);
    return text;
}

std::string Trace(const std::string& text) { return "\e[0;33m" + text + "\e[0;m"; }
std::string Highlight(const std::string& text) { return "\e[1m\e[33m" + text + "\e[0;m"; }

size_t ErrorLines(const LogCapture& log, const std::string& part)
{
    size_t n = 0;
    for (const auto& r : log.Records())
        n += r.priority == 'E' && r.message.find(part) != std::string::npos;
    return n;
}

// A bus name of the running test's own, so that no test sees another's.
std::string TestBusName(const char* suffix = "")
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("com.kestova.orvel.qztest.") + info->test_suite_name() + "." +
           info->name() + suffix;
}

std::vector<char> Bytes(std::initializer_list<int> values)
{
    return std::vector<char>(values.begin(), values.end());
}

std::string TypeOf(GVariant* value) { return value ? g_variant_get_type_string(value) : "<none>"; }

std::string TextOf(GVariant* tuple)
{
    const char* text = nullptr;
    g_variant_get(tuple, "(&s)", &text);
    return text;
}

std::vector<char> BytesOf(GVariant* tuple)
{
    g_autoptr(GVariant) array = g_variant_get_child_value(tuple, 0);
    gsize count = 0;
    auto data = static_cast<const char*>(g_variant_get_fixed_array(array, &count, 1));
    return std::vector<char>(data, data + count);
}

// The seven methods in the order of dispatch, with the handler index and
// the reply a caller receives.
struct Method {
    const char* name;
    int index;
    const char* replyType;
    bool WithReply() const { return std::string(replyType) != "()"; }
};
const Method kMethods[] = {
    {"SendShortMessageWithRet", 1, "(s)"},   {"SendFullMessageWithRet", 2, "(s)"},
    {"SendByteMessageWithRet", 3, "(s)"},    {"SendShortMessageWithoutRet", 1, "()"},
    {"SendFullMessageWithoutRet", 2, "()"},  {"SendByteMessageWithoutRet", 3, "()"},
    {"SendByteMessageWithBytesRet", 4, "(ay)"},
};

// A tuple of the shape of a handler index (1 to 4).
GVariant* ParamsFor(int index)
{
    const char* const tuples[] = {"(1, 2)", "(1, 2, 3, 4, 's')", "(1, [byte 1, 2, 3])"};
    return g_variant_new_parsed(tuples[index < 3 ? index - 1 : 2]);
}

// The endpoint with its protected members in reach.
class PlainEndpoint : public CQZGDBus {
public:
    using CQZGDBus::m_nOwnerId;
    using CQZGDBus::m_nRegistrationId;
    using CQZGDBus::m_OnDBusMessage;
    using CQZGDBus::m_pBusConnection;
    using CQZGDBus::m_pIntrospectionData;
    using CQZGDBus::m_strBusName;

    std::string UniqueName() const
    {
        return m_pBusConnection ? g_dbus_connection_get_unique_name(m_pBusConnection) : "";
    }
};

// A text reply must carry text, a byte reply bytes.
void ExpectAnswer(GVariant* reply, const std::string& text, const std::vector<char>& bytes)
{
    if (TypeOf(reply) == "(s)") {
        EXPECT_EQ(TextOf(reply), text);
    } else if (TypeOf(reply) == "(ay)") {
        EXPECT_EQ(BytesOf(reply), bytes);
    }
}

// How RecordingEndpoint writes down a call of a byte handler.
std::string ByteCall(const char* handler, int command, const std::vector<char>& bytes)
{
    return Fmt("%s %d #%zu ", handler, command, bytes.size()) + Hex(bytes.data(), bytes.size());
}

struct HandledCall {
    std::string what;  // "Short 1 2", "Full 1 2 3 4 'p3'", "ByteText 1 #3 0a0b0c", ...
    std::string responseOnEntry;
    const void* data;
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
    bool t_OnMessage(int c, int p0, std::string& r) override
    {
        return Record(Fmt("Short %d %d", c, p0), nullptr, r);
    }
    bool t_OnMessage(int c, int p0, int p1, int p2, const std::string& p3, std::string& r) override
    {
        return Record(Fmt("Full %d %d %d %d '%s'", c, p0, p1, p2, p3.c_str()), nullptr, r);
    }
    bool t_OnMessage(int c, const void* data, int n, std::string& r) override
    {
        return Record(Fmt("ByteText %d #%d ", c, n) + Hex(data, n), data, r);
    }
    bool t_OnMessage(int c, const void* data, int n, std::vector<char>& r) override
    {
        return Record(Fmt("ByteBytes %d #%d ", c, n) + Hex(data, n), data, r);
    }

private:
    void Answer(std::string& response) { response = textAnswer; }
    void Answer(std::vector<char>& response) { response = bytesAnswer; }
    template <typename Response>
    bool Record(std::string what, const void* data, Response& response)
    {
        calls.push_back({what, std::string(response.begin(), response.end()), data});
        if (duringHandler)
            duringHandler();
        Answer(response);
        return handlerResult;
    }
};

// The seven SendMessage forms from caller to name with commands 1 to 7,
// and the call each should hand to the handler. Text responses are read
// into *response, the byte response into *bytes.
enum Output { kNone, kText, kBytes };
struct Form {
    const char* method;
    std::function<CQZGDBus::enRetValue()> send;
    std::string expected;  // as RecordingEndpoint writes it down
    Output output;
};
std::vector<Form> SendForms(CQZGDBus& caller, const std::string& name,
                            const std::vector<char>& payload, std::string& response,
                            std::vector<char>& bytes)
{
    CQZGDBus* c = &caller;
    const void* d = payload.data();
    int n = static_cast<int>(payload.size());
    std::string* r = &response;
    std::vector<char>* b = &bytes;
    return {
        {"SendShortMessageWithoutRet", [=] { return c->SendMessage(name.c_str(), 1, 21); },
         "Short 1 21", kNone},
        {"SendShortMessageWithRet", [=] { return c->SendMessage(name.c_str(), 2, 22, *r); },
         "Short 2 22", kText},
        {"SendFullMessageWithoutRet",
         [=] { return c->SendMessage(name.c_str(), 3, 1, -2, 3, "p3"); }, "Full 3 1 -2 3 'p3'",
         kNone},
        {"SendFullMessageWithRet",
         [=] { return c->SendMessage(name.c_str(), 4, 4, 5, -6, "text", *r); },
         "Full 4 4 5 -6 'text'", kText},
        {"SendByteMessageWithoutRet", [=] { return c->SendMessage(name.c_str(), 5, d, n); },
         ByteCall("ByteText", 5, payload), kNone},
        {"SendByteMessageWithRet", [=] { return c->SendMessage(name.c_str(), 6, d, n, *r); },
         ByteCall("ByteText", 6, payload), kText},
        {"SendByteMessageWithBytesRet", [=] { return c->SendMessage(name.c_str(), 7, d, n, *b); },
         ByteCall("ByteBytes", 7, payload), kBytes},
    };
}

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

class BusFixture : public ::testing::Test {
protected:
    // Creates the endpoint under name, waits until the bus reports it as
    // the owner and the acquired line is written.
    void CreateAndOwn(PlainEndpoint& endpoint, const std::string& name)
    {
        ASSERT_TRUE(endpoint.Create(name.c_str()));
        std::string unique = endpoint.UniqueName();
        ASSERT_FALSE(unique.empty());
        ASSERT_TRUE(WaitUntil([&] { return m_peer.NameOwner(name) == unique; })) << name;
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

TEST_F(BusEndpoint, CreateOwnsTheNameAndServesTheSevenMethods)
{
    PlainEndpoint endpoint;
    ASSERT_NE(endpoint.m_pBusConnection, nullptr);
    void* connection = endpoint.m_pBusConnection;
    EXPECT_TRUE(m_log.Has('I', "CQZGDBus", Trace(Fmt("Get Bus[%p]", connection))));
    CreateAndOwn(endpoint, m_name);
    EXPECT_TRUE(m_log.Has('I', "Create", Trace("Create Bus[" + m_name + "]")));
    EXPECT_TRUE(m_log.Has('I', "onNameAcquiredCallBack",
                          Fmt("on name acquired, name[%s], user_data:%p", m_name.c_str(),
                              static_cast<void*>(static_cast<CQZGDBus*>(&endpoint)))));

    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        m_peer.CallIterating(m_name, "Introspect", nullptr, &error, 5000, kObjectPath,
                             "org.freedesktop.DBus.Introspectable");
    ASSERT_NE(reply, nullptr) << error->message;
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(TextOf(reply).c_str(), nullptr);
    ASSERT_NE(node, nullptr);
    GDBusInterfaceInfo* iface = g_dbus_node_info_lookup_interface(node, kInterfaceName);
    ASSERT_NE(iface, nullptr);
    auto args = [](GDBusArgInfo** arg) {
        std::string out;
        for (; arg && *arg; ++arg)
            out += (out.empty() ? "" : " ") + std::string((*arg)->name ? (*arg)->name : "") +
                   ":" + (*arg)->signature;
        return "(" + out + ")";
    };
    std::vector<std::string> methods;
    for (GDBusMethodInfo** m = iface->methods; m && *m; ++m)
        methods.push_back((*m)->name + args((*m)->in_args) + args((*m)->out_args));
    const std::string shortIn = "(Command:i Param_0:i)", byteIn = "(Command:i Param_0:ay)",
                      fullIn = "(Command:i Param_0:i Param_1:i Param_2:i Param_3:s)";
    EXPECT_EQ(methods, (std::vector<std::string>{
                           "SendShortMessageWithoutRet" + shortIn + "()",
                           "SendFullMessageWithoutRet" + fullIn + "()",
                           "SendByteMessageWithoutRet" + byteIn + "()",
                           "SendShortMessageWithRet" + shortIn + "(Response:s)",
                           "SendFullMessageWithRet" + fullIn + "(Response:s)",
                           "SendByteMessageWithRet" + byteIn + "(Response:s)",
                           "SendByteMessageWithBytesRet" + byteIn + "(Response:ay)",
                       }));
    EXPECT_TRUE(iface->signals == nullptr || iface->signals[0] == nullptr);
    EXPECT_TRUE(iface->properties == nullptr || iface->properties[0] == nullptr);

    // A second Create keeps the first name and asks for no other.
    std::string second = TestBusName(".Second");
    guint ownerId = endpoint.m_nOwnerId;
    EXPECT_TRUE(endpoint.Create(second.c_str()));
    EXPECT_TRUE(m_log.Has('E', "Create",
                          Highlight(Fmt("Already Created. ID(%u) Name(%s) Request(%s)", ownerId,
                                        m_name.c_str(), second.c_str()))));
    EXPECT_EQ(endpoint.m_strBusName, m_name);
    // A round trip to the bus after the second request would have been sent.
    EXPECT_EQ(m_peer.NameOwner(m_name), endpoint.UniqueName());
    EXPECT_EQ(m_peer.NameOwner(second), "");
}

TEST_F(BusEndpoint, DestroyIsHarmlessTwiceAndCreateAfterItMovesToTheNewName)
{
    RecordingEndpoint endpoint;
    std::string second = TestBusName(".Second");
    m_log.Clear();
    endpoint.Destroy();  // fresh: nothing to undo, nothing to log
    EXPECT_EQ(m_log.Text(), "");
    CreateAndOwn(endpoint, m_name);

    endpoint.Destroy();
    endpoint.Destroy();
    EXPECT_EQ(endpoint.m_nOwnerId, 0u);
    EXPECT_EQ(endpoint.m_nRegistrationId, 0u);
    EXPECT_EQ(endpoint.m_pIntrospectionData, nullptr);
    EXPECT_TRUE(endpoint.m_strBusName.empty());
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name).empty(); }));

    CreateAndOwn(endpoint, second);
    EXPECT_EQ(m_peer.NameOwner(m_name), "");
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = m_peer.CallIterating(second, "SendShortMessageWithRet",
                                                     g_variant_new("(ii)", 5, 6), &error);
    ASSERT_NE(reply, nullptr) << error->message;
    ASSERT_EQ(endpoint.calls.size(), 1u);
    EXPECT_EQ(endpoint.calls[0].what, "Short 5 6");
}

TEST_F(BusEndpoint, NameHeldByAnotherOwnerGivesTheNameLostLine)
{
    OwnName(m_peer, m_name);
    PlainEndpoint endpoint;
    EXPECT_TRUE(endpoint.Create(m_name.c_str()));
    std::string lost = Highlight(Fmt("on name lost, name:%s, user_data:%p", m_name.c_str(),
                                     static_cast<void*>(static_cast<CQZGDBus*>(&endpoint))));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Has('E', "onNameLostCallBack", lost); }));
    EXPECT_EQ(m_peer.NameOwner(m_name), m_peer.UniqueName());
    EXPECT_EQ(Lines("on name acquired"), 0u);
}

TEST_F(BusEndpoint, IsAliveReportsTheOwnerOfOtherNamesAndKnowsItsOwn)
{
    OwnName(m_peer, m_name);
    PlainEndpoint endpoint;
    std::string unique = m_peer.UniqueName();
    for (const std::string& name : {m_name, unique}) {
        EXPECT_TRUE(endpoint.IsAlive(name.c_str()));
        EXPECT_TRUE(m_log.Has('I', "IsAlive", Trace("Owner[" + name + " => " + unique + "]")));
    }
    m_log.Clear();
    EXPECT_FALSE(endpoint.IsAlive(TestBusName(".Nobody").c_str()));
    EXPECT_FALSE(endpoint.IsAlive("not a valid bus name"));
    EXPECT_EQ(m_log.Text(), "");

    // Its own name it answers itself; asking the bus would write the line.
    std::string own = TestBusName(".Own");
    CreateAndOwn(endpoint, own);
    EXPECT_TRUE(endpoint.IsAlive(own.c_str()));
    EXPECT_EQ(Lines("Owner["), 0u);
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
        g_autoptr(GVariant) reply = CallServed("SendShortMessageWithRet", ParamsFor(1), nullptr);
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(handled, 1);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_peer.NameOwner(m_name).empty(); }));
    for (const std::string& dest : {m_name, unique}) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            m_peer.CallIterating(dest, "SendShortMessageWithRet", ParamsFor(1), &error);
        EXPECT_EQ(reply, nullptr) << dest;
        EXPECT_NE(error, nullptr) << dest;
    }
    EXPECT_EQ(handled, 1);
}

// ===================================================== inbound dispatch

using BusDispatch = BusFixture;

// Each method reaches its handler with the arguments in order and the
// handler's answer comes back; an unknown method or a wrong tuple is
// refused by the bus layer before any dispatch, and serving goes on.
TEST_F(BusDispatch, SubclassReceivesEachMethodsArgumentsInOrder)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    const std::vector<char> payload = Bytes({0x10, 0x00, 0xff, 'a', 0x00}), empty;
    const std::string bytes = "[byte 0x10, 0x00, 0xff, 0x61, 0x00]";
    const struct {
        const char* method;
        std::string params;
        std::string expected;  // empty: refused with InvalidArgs
    } cases[] = {
        {"SendShortMessageWithRet", "(101, -1)", "Short 101 -1"},
        {"SendShortMessageWithRet", "('one', 2)", ""},
        {"SendShortMessageWithoutRet", "(102, 2147483647)", "Short 102 2147483647"},
        {"SendShortMessageWithoutRet", "(1, 2, 3)", ""},
        {"SendFullMessageWithRet", "(103, 11, -22, 33, 'fourth')", "Full 103 11 -22 33 'fourth'"},
        {"SendFullMessageWithRet", "(1, 2, 3, 4)", ""},
        {"SendFullMessageWithoutRet", "(104, 44, 55, -66, '')", "Full 104 44 55 -66 ''"},
        {"SendFullMessageWithoutRet", "(1, 2, 3, 4, 5)", ""},
        {"SendByteMessageWithRet", "(105, " + bytes + ")", ByteCall("ByteText", 105, payload)},
        {"SendByteMessageWithRet", "(108, @ay [])", ByteCall("ByteText", 108, empty)},
        {"SendByteMessageWithRet", "(1, 'bytes')", ""},
        {"SendByteMessageWithoutRet", "(106, " + bytes + ")", ByteCall("ByteText", 106, payload)},
        {"SendByteMessageWithoutRet", "(1, 2)", ""},
        {"SendByteMessageWithBytesRet", "(107, " + bytes + ")",
         ByteCall("ByteBytes", 107, payload)},
        {"SendByteMessageWithBytesRet", "(109, @ay [])", ByteCall("ByteBytes", 109, empty)},
        {"SendByteMessageWithBytesRet", "(1, [1, 2])", ""},
    };
    m_log.Clear();
    size_t dispatched = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + c.params);
        endpoint.calls.clear();
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            CallServed(c.method, g_variant_new_parsed(c.params.c_str()), &error);
        if (c.expected.empty()) {
            EXPECT_EQ(reply, nullptr);
            EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS));
            EXPECT_TRUE(endpoint.calls.empty());
            continue;
        }
        ASSERT_NE(reply, nullptr) << error->message;
        ASSERT_TRUE(WaitUntil([&] { return endpoint.calls.size() == 1; }));
        EXPECT_EQ(endpoint.calls[0].what, c.expected);
        EXPECT_EQ(endpoint.calls[0].responseOnEntry, "");
        ExpectAnswer(reply, endpoint.textAnswer, endpoint.bytesAnswer);
        ++dispatched;
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = CallServed("SendNothing", ParamsFor(1), &error);
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD));
    EXPECT_EQ(Lines("m_OnDBusMessage Start"), dispatched);
}

// The base endpoint answers every method empty, and each call writes the
// received line and the Start and Done lines of its handler index.
TEST_F(BusDispatch, BaseEndpointAnswersEmptyAndLogsEveryCall)
{
    PlainEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    for (const Method& m : kMethods) {
        SCOPED_TRACE(m.name);
        m_log.Clear();
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = CallServed(m.name, ParamsFor(m.index), &error);
        ASSERT_NE(reply, nullptr) << error->message;
        ASSERT_EQ(TypeOf(reply), m.replyType);
        ExpectAnswer(reply, "", {});

        std::string start = Trace(Fmt("%s : m_OnDBusMessage Start(%d)", m_name.c_str(), m.index));
        std::string done = Trace(Fmt("%s : m_OnDBusMessage Done(%d)", m_name.c_str(), m.index));
        ASSERT_TRUE(WaitUntil([&] { return m_log.Has('I', "m_OnDBusMessage", done); }));
        EXPECT_TRUE(m_log.Has('I', "m_OnDBusMessage", start));
        std::string received = m_name + " : sender[" + m_peer.UniqueName() + "], object path[" +
                               kObjectPath + "]\ninterface name[" + kInterfaceName +
                               "], method name:[" + m.name + "]";
        EXPECT_TRUE(m_log.Has('I', "methodMessageOnCallBack", received)) << m_log.Text();
        EXPECT_EQ(m_log.Records().size(), 3u) << m_log.Text();
    }
}

// The handler waits for the caller to hold its reply: only a reply sent
// before the handler runs can end that wait in time.
TEST_F(BusDispatch, MethodsWithoutResponseAnswerBeforeTheirHandlerRuns)
{
    RecordingEndpoint endpoint;
    CreateAndOwn(endpoint, m_name);
    for (const Method& m : {kMethods[3], kMethods[4], kMethods[5], kMethods[0]}) {
        SCOPED_TRACE(m.name);
        g_autoptr(GMainContext) quiet = g_main_context_new();
        std::atomic<bool> callerHasReply{false}, handlerDone{false};
        bool replyFirst = false;
        endpoint.duringHandler = [&] {
            replyFirst = WaitUntil([&] { return callerHasReply.load(); },
                                   m.WithReply() ? 300ms : 5000ms, quiet);
            handlerDone = true;
        };
        g_autoptr(GVariant) params = g_variant_ref_sink(ParamsFor(m.index));
        std::string replyType;
        std::thread caller([&] {
            g_autoptr(GVariant) reply = m_peer.Call(m_name, m.name, params, nullptr);
            replyType = TypeOf(reply);
            callerHasReply = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return handlerDone.load(); }, 10000ms));
        caller.join();
        endpoint.duringHandler = nullptr;
        EXPECT_EQ(replyFirst, !m.WithReply());
        EXPECT_EQ(replyType, m.replyType);
    }
}

// m_OnDBusMessage runs the handler of an index only for that index's
// tuple, builds the reply from it, and writes only its Start and Done lines.
TEST_F(BusDispatch, DirectDispatchRunsTheHandlerOfAnIndexOnlyForItsTuple)
{
    RecordingEndpoint endpoint;
    const struct {
        int index;
        const char* params;
        std::string expected;  // empty: no handler runs
    } cases[] = {
        {1, "(1, 2)", "Short 1 2"},
        {2, "(1, 2, 3, 4, 'p3')", "Full 1 2 3 4 'p3'"},
        {3, "(1, [byte 7, 0, 7])", "ByteText 1 #3 070007"},
        {4, "(1, [byte 7, 0, 7])", "ByteBytes 1 #3 070007"},
        {1, "(1, 2, 3)", ""},    {1, "('a', 2)", ""},        {1, "(int64 1, 2)", ""},
        {2, "(1, 2, 3, 4)", ""}, {2, "(1, 2, 3, 4, 5)", ""}, {3, "(1, 2)", ""},
        {3, "(1, [1, 2])", ""},  {4, "(1, 'bytes')", ""},    {4, "([byte 1], 1)", ""},
        {0, "(1, 2)", ""},       {5, "(1, [byte 1])", ""},   {-1, "(1, 2)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + " " + c.params);
        m_log.Clear();
        endpoint.calls.clear();
        g_autoptr(GVariant) params = g_variant_ref_sink(g_variant_new_parsed(c.params));
        g_autoptr(GVariant) reply = nullptr;
        EXPECT_TRUE(endpoint.m_OnDBusMessage(c.index, params, &reply));
        ASSERT_EQ(endpoint.calls.size(), c.expected.empty() ? 0u : 1u);
        EXPECT_EQ(TypeOf(reply), c.expected.empty() ? "<none>" : c.index == 4 ? "(ay)" : "(s)");
        if (!c.expected.empty()) {
            EXPECT_EQ(endpoint.calls[0].what, c.expected);
        }
        ExpectAnswer(reply, endpoint.textAnswer, endpoint.bytesAnswer);
        for (const char* step : {"Start", "Done"})
            EXPECT_TRUE(m_log.Has('I', "m_OnDBusMessage",
                                  Trace(Fmt(" : m_OnDBusMessage %s(%d)", step, c.index))));
        EXPECT_EQ(m_log.Records().size(), 2u);
    }
}

// A handler returning false leaves no response: a plain caller gets an
// empty reply, a calling endpoint RET_TYPE_MISMATCH and its response kept.
TEST_F(BusDispatch, HandlerReturningFalseGivesAnEmptyReply)
{
    RecordingEndpoint server;
    server.handlerResult = false;
    CreateAndOwn(server, m_name);
    for (const Method& m : kMethods) {
        if (!m.WithReply())
            continue;
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply = CallServed(m.name, ParamsFor(m.index), &error);
        ASSERT_NE(reply, nullptr) << m.name << ": " << error->message;
        EXPECT_EQ(TypeOf(reply), "()") << m.name;
    }

    PlainEndpoint caller;
    std::string response = "untouched";
    std::vector<char> bytes = Bytes({9, 9});
    const std::vector<char> payload = Bytes({1, 2, 3});
    for (const Form& f : SendForms(caller, m_name, payload, response, bytes)) {
        if (f.output != kNone) {
            EXPECT_EQ(WhileServing(f.send), CQZGDBus::RET_TYPE_MISMATCH) << f.method;
        }
    }
    EXPECT_EQ(response, "untouched");
    EXPECT_EQ(bytes, Bytes({9, 9}));
    EXPECT_EQ(Lines("\e[0;33mRet "), 0u);
    EXPECT_EQ(server.calls.size(), 8u);
}

// ======================================================= outbound calls

using BusOutbound = BusFixture;

TEST_F(BusOutbound, EachFormCallsItsMethodAndReadsTheReply)
{
    RecordingEndpoint server;
    CreateAndOwn(server, m_name);
    PlainEndpoint caller;
    const std::vector<char> payload = Bytes({0x00, 0x41, 0xfe}), old = Bytes({'o', 'l', 'd'});
    std::string response;
    std::vector<char> bytes;
    auto forms = SendForms(caller, m_name, payload, response, bytes);
    for (size_t i = 0; i < forms.size(); ++i) {
        const Form& f = forms[i];
        SCOPED_TRACE(f.method);
        response = "old";
        bytes = old;
        EXPECT_EQ(WhileServing(f.send), CQZGDBus::RET_OK);
        EXPECT_EQ(response, f.output == kText ? server.textAnswer : "old");
        EXPECT_EQ(bytes, f.output == kBytes ? server.bytesAnswer : old);
        // The handlers of methods without response may run after the caller left.
        ASSERT_TRUE(WaitUntil([&] { return server.calls.size() == i + 1; }));
        EXPECT_EQ(server.calls[i].what, f.expected);
        for (const char* step : {"Sending", "SendDone"})
            EXPECT_TRUE(m_log.Has('I', "m_SendMessage",
                                  Trace(Fmt("%s %s Method %s", step, m_name.c_str(), f.method))))
                << step;
    }
    // One "Ret" line per string response; the byte response writes none.
    EXPECT_EQ(m_log.Find("SendMessage", Trace("Ret " + server.textAnswer)).size(), 3u);
    EXPECT_TRUE(m_log.Has('I', "SendMessage", Trace("Ret " + server.textAnswer)));
    EXPECT_EQ(Lines("Send Error"), 0u);

    // No data travels as an empty array; empty answers empty the response.
    server.textAnswer.clear();
    server.bytesAnswer.clear();
    server.calls.clear();
    const char* name = m_name.c_str();
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 31, nullptr, 0, response); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 32, nullptr, 0, bytes); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 33, nullptr, 0); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(response, "");
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(m_log.Has('I', "SendMessage", Trace("Ret ")));
    ASSERT_TRUE(WaitUntil([&] { return server.calls.size() == 3; }));
    EXPECT_EQ(server.calls[0].what, "ByteText 31 #0 ");
    EXPECT_EQ(server.calls[1].what, "ByteBytes 32 #0 ");
    EXPECT_EQ(server.calls[2].what, "ByteText 33 #0 ");
}

// A form addressed to the endpoint's own name runs its handler at once,
// without the bus (no call is sent: none could be answered while this
// thread waits) and without consulting the handler's result.
TEST_F(BusOutbound, OwnNameIsDeliveredLocallyWithoutBusTraffic)
{
    RecordingEndpoint endpoint;
    endpoint.handlerResult = false;
    ASSERT_TRUE(endpoint.Create(m_name.c_str()));
    m_log.Clear();
    const std::vector<char> payload = Bytes({5, 6, 7, 8});
    std::string response;
    std::vector<char> bytes;
    auto forms = SendForms(endpoint, m_name, payload, response, bytes);
    for (size_t i = 0; i < forms.size(); ++i) {
        const Form& f = forms[i];
        SCOPED_TRACE(f.method);
        response = "caller's";
        bytes = Bytes({'c'});
        EXPECT_EQ(f.send(), CQZGDBus::RET_OK);
        ASSERT_EQ(endpoint.calls.size(), i + 1);
        const HandledCall& got = endpoint.calls[i];
        EXPECT_EQ(got.what, f.expected);
        // Forms with a response hand over the caller's own object, the others
        // a fresh one; the bytes are the caller's, not a copy.
        EXPECT_EQ(got.responseOnEntry,
                  f.output == kText ? "caller's" : f.output == kBytes ? "c" : "");
        EXPECT_EQ(response, f.output == kText ? endpoint.textAnswer : "caller's");
        EXPECT_EQ(bytes, f.output == kBytes ? endpoint.bytesAnswer : Bytes({'c'}));
        if (f.expected.rfind("Byte", 0) == 0) {
            EXPECT_EQ(got.data, static_cast<const void*>(payload.data()));
        }
    }
    EXPECT_EQ(Lines("Sending"), 0u);
    EXPECT_EQ(Lines("Ret "), 0u);

    // The base handlers leave the caller's response as it was.
    PlainEndpoint base;
    ASSERT_TRUE(base.Create(TestBusName(".Base").c_str()));
    response = "as it was";
    bytes = Bytes({4, 2});
    for (const Form& f : SendForms(base, TestBusName(".Base"), payload, response, bytes))
        EXPECT_EQ(f.send(), CQZGDBus::RET_OK) << f.method;
    EXPECT_EQ(response, "as it was");
    EXPECT_EQ(bytes, Bytes({4, 2}));
}

TEST_F(BusOutbound, UnownedNameGivesNotFoundAndTheSendErrorLine)
{
    PlainEndpoint caller;
    std::string target = TestBusName(".Nobody");
    // What the bus says to such a call, asked independently.
    g_autoptr(GError) busError = nullptr;
    g_autoptr(GVariant) none =
        m_peer.Call(target, "SendShortMessageWithRet", ParamsFor(1), &busError);
    ASSERT_EQ(none, nullptr);
    ASSERT_NE(busError, nullptr);

    std::string response = "kept";
    std::vector<char> bytes = Bytes({1});
    const std::vector<char> payload = Bytes({'d'});
    for (const Form& f : SendForms(caller, target, payload, response, bytes)) {
        EXPECT_EQ(f.send(), CQZGDBus::RET_NOT_FOUND) << f.method;
        EXPECT_TRUE(m_log.Has('E', "m_SendMessage",
                              Fmt("\e[0;35mSend Error(%s:%d) [%d:%s]\e[0;m", f.method,
                                  CQZGDBus::RET_NOT_FOUND, busError->code, busError->message)));
    }
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(bytes, Bytes({1}));
    EXPECT_EQ(Lines("Send Error("), 7u);
    EXPECT_EQ(Lines("SendDone"), 0u);
}

// A peer answering with the wrong type, with an error, or not at all. It
// serves the same document; its raw replies bypass GDBus's check of the
// declared result type.
TEST_F(BusOutbound, PeerAnswersMapToTheirResultValues)
{
    using Handler = std::function<void(const std::string&, GDBusMethodInvocation*)>;
    static const GDBusInterfaceVTable kVTable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
           GDBusMethodInvocation* invocation,
           gpointer handler) { (*static_cast<Handler*>(handler))(method, invocation); },
        nullptr, nullptr, {nullptr}};
    bool silent = false;
    GDBusMethodInvocation* pending = nullptr;
    Handler handler = [&](const std::string& method, GDBusMethodInvocation* invocation) {
        if (silent) {  // leave with the call open
            pending = invocation;
            g_dbus_connection_close(g_dbus_method_invocation_get_connection(invocation), nullptr,
                                    nullptr, nullptr);
            return;
        }
        if (method == "SendFullMessageWithRet") {
            g_dbus_method_invocation_return_dbus_error(
                invocation, "com.kestova.orvel.qztest.Error.Refused", "refused on purpose");
            return;
        }
        g_autoptr(GDBusMessage) reply =
            g_dbus_message_new_method_reply(g_dbus_method_invocation_get_message(invocation));
        g_dbus_message_set_body(reply, method == "SendShortMessageWithRet"
                                           ? g_variant_new("(i)", 42)
                                           : g_variant_new("(s)", "text"));
        g_dbus_connection_send_message(g_dbus_method_invocation_get_connection(invocation), reply,
                                       G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(invocation);
    };
    PeerConnection peer;
    g_autoptr(GDBusNodeInfo) info = g_dbus_node_info_new_for_xml(g_GDBusInterfaceXML, nullptr);
    ASSERT_NE(g_dbus_connection_register_object(peer.Get(), kObjectPath, info->interfaces[0],
                                                &kVTable, &handler, nullptr, nullptr),
              0u);
    OwnName(peer, m_name);
    PlainEndpoint caller;
    const char* name = m_name.c_str();

    // Of the wrong type: the response stays as it was.
    std::vector<char> bytes = Bytes({3, 1, 4});
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, "ab", 2, bytes); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(bytes, Bytes({3, 1, 4}));
    std::string response = "unchanged";
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, 2, response); }),
              CQZGDBus::RET_TYPE_MISMATCH);
    EXPECT_EQ(response, "unchanged");
    EXPECT_EQ(Lines("Send Error"), 0u);
    // The same peer's well-typed answer is read.
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, "ab", 2, response); }),
              CQZGDBus::RET_OK);
    EXPECT_EQ(response, "text");

    // An error reply, as a plain caller receives it, gives RET_FAILED.
    g_autoptr(GError) refused = nullptr;
    g_autoptr(GVariant) none = CallServed("SendFullMessageWithRet", ParamsFor(2), &refused);
    ASSERT_NE(refused, nullptr);
    ASSERT_TRUE(refused->code != 2 && refused->code != 3 && refused->code != 4 &&
                refused->code != 24)
        << refused->code;
    response = "kept";
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, 2, 3, 4, "s", response); }),
              CQZGDBus::RET_FAILED);
    EXPECT_EQ(response, "kept");
    EXPECT_TRUE(m_log.Has('E', "m_SendMessage",
                          Fmt("\e[0;35mSend Error(SendFullMessageWithRet:4) [%d:%s]\e[0;m",
                              refused->code, refused->message)));

    // A peer that leaves with the call open: the bus answers for it.
    silent = true;
    EXPECT_EQ(WhileServing([&] { return caller.SendMessage(name, 1, "x", 1, response); }),
              CQZGDBus::RET_TIMEOUT);
    ASSERT_NE(pending, nullptr);
    g_object_unref(pending);
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(ErrorLines(m_log, "\e[0;35mSend Error(SendByteMessageWithRet:2) [4:"), 1u);
}

// ================================================= without a reachable bus

TEST(NoBusEndpoint, NullConnectionIsLoggedAndEveryStepFailsWithoutAborting)
{
    LogCapture log;
    PlainEndpoint endpoint;
    EXPECT_EQ(endpoint.m_pBusConnection, nullptr);
    EXPECT_TRUE(log.Has('I', "CQZGDBus", Trace(Fmt("Get Bus[%p]", static_cast<void*>(nullptr)))));

    EXPECT_FALSE(endpoint.Create("com.kestova.orvel.qztest.NoBus"));
    EXPECT_TRUE(log.Has('I', "Create", Trace("Create Bus[com.kestova.orvel.qztest.NoBus]")));
    EXPECT_TRUE(log.Has('E', "Create", Highlight("Bus Connection is NULL")));
    EXPECT_EQ(endpoint.m_nOwnerId, 0u);
    EXPECT_EQ(endpoint.m_nRegistrationId, 0u);
    endpoint.Destroy();
    EXPECT_FALSE(endpoint.IsAlive("com.kestova.orvel.qztest.Peer"));
    EXPECT_FALSE(endpoint.IsAlive("org.freedesktop.DBus"));

    std::string response = "kept";
    std::vector<char> bytes = Bytes({8});
    const std::vector<char> payload = Bytes({'d'});
    for (const Form& f :
         SendForms(endpoint, "com.kestova.orvel.qztest.Peer", payload, response, bytes)) {
        EXPECT_EQ(f.send(), CQZGDBus::RET_FAILED) << f.method;
        EXPECT_EQ(ErrorLines(log, Fmt("Send Error(%s:%d)", f.method, CQZGDBus::RET_FAILED)), 1u);
    }
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(bytes, Bytes({8}));
    EXPECT_EQ(log.Count("SendDone"), 0u);
}

}  // namespace
