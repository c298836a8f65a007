#include "QZGDBus.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

#include "QZCallError.h"
#include "QzLog.h"
#include "SWUContract.h"

// g_GDBusInterfaceXML is generated from data/interface.corvanemessage.xml.

namespace {

using namespace qz::bus;

// Method index given to m_OnDBusMessage: one per argument shape.
enum MethodIndex { kIndexShort = 1, kIndexFull = 2, kIndexByte = 3, kIndexByteBytes = 4 };

const Method* FindMethod(const char* methodName)
{
    if (methodName == nullptr)
        return nullptr;
    for (const Method& method : kMethods)
        if (strcmp(method.name, methodName) == 0)
            return &method;
    return nullptr;
}

const char* OrNull(const char* text) { return text ? text : "NULL"; }

// The tuple a shape's methods take; every method of one shape takes the same.
const char* ParamTypeFor(int index)
{
    for (const Method& method : kMethods)
        if (method.shape == index)
            return method.in;
    return nullptr;
}

GVariant* NewByteArray(const void* data, int length)
{
    // A null pointer is the empty array whatever the length: never hand GLib
    // a null pointer with a count.
    const gsize count = data != nullptr ? static_cast<gsize>(std::max(length, 0)) : 0;
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data, count, sizeof(guchar));
}

// Completes an invocation with the given tuple, or with an empty reply when
// there is none. GDBus refuses (and never sends) an empty reply to a method
// whose introspection declares a result, which would leave the caller
// waiting for its time-out; such a reply is therefore sent as a raw message.
void CompleteInvocation(GDBusMethodInvocation* invocation, GVariant* reply)
{
    const GDBusMethodInfo* info = g_dbus_method_invocation_get_method_info(invocation);
    bool declaresResult =
        info != nullptr && info->out_args != nullptr && info->out_args[0] != nullptr;
    if (reply != nullptr || !declaresResult) {
        g_dbus_method_invocation_return_value(invocation, reply);
        return;
    }
    GDBusMessage* call = g_dbus_method_invocation_get_message(invocation);
    g_autoptr(GDBusMessage) empty = g_dbus_message_new_method_reply(call);
    g_dbus_connection_send_message(g_dbus_method_invocation_get_connection(invocation), empty,
                                   G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    // The return functions take over the invocation; here it is released by hand.
    g_object_unref(invocation);
}

// Only the numeric code decides, whatever the error's domain. Applications
// are written against the codes alone (2 and 3: nobody to call; 4 and 24:
// no answer in time), and the same condition reaches us in more than one
// domain: GDBus reports its own time-out as G_IO_ERROR_TIMED_OUT (24), a
// missing reply as G_DBUS_ERROR_NO_REPLY (4), and a peer's error name maps to
// whichever domain registered it. Reading the number alone gives every
// application the same result for the same code, whoever raised it.
CQZGDBus::enRetValue RetValueForError(const GError* error)
{
    switch (error->code) {
    case 2:
    case 3: return CQZGDBus::RET_NOT_FOUND;
    case 4:
    case 24: return CQZGDBus::RET_TIMEOUT;
    default: return CQZGDBus::RET_FAILED;
    }
}

// Guards every endpoint's bus state (connection, name, ids) and the table
// below. Create, Destroy and the replacement of a closed connection write
// that state, and the replacement may run on whichever thread makes a call;
// readers take a snapshot under the lock. Recursive because the replacement
// runs Destroy and Create, which take it as well.
std::recursive_mutex g_stateLock;
using StateHold = std::lock_guard<std::recursive_mutex>;

// The name an endpoint was asked to own and the main context its notices
// and calls go to, so that it can be asked for again on a new connection,
// also when Create found no connection at all. Cleared by Destroy.
struct ContextRelease {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct NameRequest {
    std::string name;
    std::unique_ptr<GMainContext, ContextRelease> context;
};
std::map<const CQZGDBus*, NameRequest> g_nameRequests;

void ForgetNameRequest(const CQZGDBus* endpoint) { g_nameRequests.erase(endpoint); }

void RememberNameRequest(const CQZGDBus* endpoint, const char* name)
{
    g_nameRequests[endpoint] = NameRequest{name, {g_main_context_ref_thread_default(), {}}};
}

// The connection that replaced GLib's shared one after it closed. GLib
// keeps handing out its closed connection for as long as anybody holds it,
// so once one endpoint has reconnected the others share its connection.
GWeakRef g_replacementBus;

bool IsLive(GDBusConnection* connection)
{
    return connection != nullptr && !g_dbus_connection_is_closed(connection);
}

// A working system-bus connection (a new reference), or null.
GDBusConnection* OpenSystemBus()
{
    GDBusConnection* shared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (IsLive(shared))
        return shared;
    g_clear_object(&shared);
    auto* replacement = static_cast<GDBusConnection*>(g_weak_ref_get(&g_replacementBus));
    if (IsLive(replacement))
        return replacement;
    g_clear_object(&replacement);

    g_autofree gchar* address =
        g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (address == nullptr)
        return nullptr;
    replacement = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (replacement != nullptr)
        g_weak_ref_set(&g_replacementBus, replacement);
    return replacement;
}

// GLib's shared system-bus connection terminates the process when the bus
// goes away. A library must not take its application down with it: calls on
// a closed connection fail and are reported instead.
GDBusConnection* OpenSystemBusForEndpoint()
{
    GDBusConnection* connection = OpenSystemBus();
    if (connection != nullptr)
        g_dbus_connection_set_exit_on_close(connection, FALSE);
    return connection;
}

// Runs Create again on the context the name was first asked from, so that
// its notices and inbound calls keep going where they went before, whichever
// thread makes this call.
void AskForNameAgain(CQZGDBus& endpoint, const NameRequest& request)
{
    g_main_context_push_thread_default(request.context.get());
    endpoint.Create(request.name.c_str());
    g_main_context_pop_thread_default(request.context.get());
}

// A closed (or missing) connection is replaced by a working one, and the
// object and name asked for are registered and asked for again there, so
// that the application recovers once the bus is back (or comes for the
// first time). Returns a new reference to the connection to use, or null.
GDBusConnection* AcquireLiveConnection(CQZGDBus& endpoint, GDBusConnection*& connection)
{
    StateHold hold(g_stateLock);
    GDBusConnection* replacement = IsLive(connection) ? nullptr : OpenSystemBusForEndpoint();
    // Until a new connection is there, the closed one and the name it owned
    // stay as they are, so that a later attempt still knows what to own.
    if (replacement != nullptr) {
        // Taken out before Destroy forgets it; Create records it again.
        auto request = g_nameRequests.extract(&endpoint);
        endpoint.Destroy();
        g_clear_object(&connection);
        connection = replacement;
        QZ_LOGI(QZ_TRACE_BEGIN "Get Bus[%p] again" QZ_HL_END, static_cast<void*>(connection));
        if (!request.empty())
            AskForNameAgain(endpoint, request.mapped());
    }
    return IsLive(connection) ? static_cast<GDBusConnection*>(g_object_ref(connection)) : nullptr;
}

std::string SnapshotName(const std::string& name)
{
    StateHold hold(g_stateLock);
    return name;
}

bool IsSameName(const std::string& ownName, const char* busName)
{
    if (busName == nullptr)
        return false;
    StateHold hold(g_stateLock);
    return ownName == busName;
}

}  // namespace

// ------------------------------------------------------------- lifecycle

CQZGDBus::CQZGDBus()
    : m_nOwnerId(0),
      m_nRegistrationId(0),
      m_pIntrospectionData(nullptr),
      m_pBusConnection(nullptr)
{
    {
        StateHold hold(g_stateLock);
        m_pBusConnection = OpenSystemBusForEndpoint();
    }
    QZ_LOGI(QZ_TRACE_BEGIN "Get Bus[%p]" QZ_HL_END, static_cast<void*>(m_pBusConnection));
}

CQZGDBus::~CQZGDBus()
{
    // The registration carries this object as user data: undo it before the
    // object goes, so that no inbound call can reach a deleted endpoint.
    StateHold hold(g_stateLock);
    Destroy();
    g_clear_object(&m_pBusConnection);
}

bool CQZGDBus::Create(const char* pBusName)
{
    assert(pBusName);
    QZ_LOGI(QZ_TRACE_BEGIN "Create Bus[%s]" QZ_HL_END, pBusName);
    StateHold hold(g_stateLock);

    if (m_nOwnerId == 0)
        RememberNameRequest(this, pBusName);
    if (m_pBusConnection == nullptr) {
        QZ_LOGE(QZ_HL_BEGIN "Bus Connection is NULL" QZ_HL_END);
        return false;
    }
    if (m_nOwnerId != 0) {
        QZ_LOGE(QZ_HL_BEGIN "Already Created. ID(%d) Name(%s) Request(%s)" QZ_HL_END, m_nOwnerId,
                m_strBusName.c_str(), pBusName);
        return true;
    }

    m_strBusName = pBusName;

    m_pIntrospectionData = g_dbus_node_info_new_for_xml(g_GDBusInterfaceXML, nullptr);
    // A document without a node path or an interface cannot be served either.
    if (m_pIntrospectionData != nullptr &&
        (m_pIntrospectionData->path == nullptr || m_pIntrospectionData->interfaces == nullptr ||
         m_pIntrospectionData->interfaces[0] == nullptr))
        g_clear_pointer(&m_pIntrospectionData, g_dbus_node_info_unref);
    if (m_pIntrospectionData == nullptr) {
        QZ_LOGE(QZ_HL_BEGIN "Parse InterfaceXML Failed" QZ_HL_END);
        return false;
    }

    static const GDBusInterfaceVTable kVTable = {
        Callback::methodMessageOnCallBack, nullptr, nullptr, {nullptr}};
    m_nRegistrationId = g_dbus_connection_register_object(
        m_pBusConnection, m_pIntrospectionData->path, m_pIntrospectionData->interfaces[0], &kVTable,
        this, nullptr, nullptr);

    m_nOwnerId = g_bus_own_name_on_connection(
        m_pBusConnection, pBusName, G_BUS_NAME_OWNER_FLAGS_NONE, Callback::onNameAcquiredCallBack,
        Callback::onNameLostCallBack, this, nullptr);
    if (m_nOwnerId != 0)
        return true;

    g_clear_pointer(&m_pIntrospectionData, g_dbus_node_info_unref);
    QZ_LOGE(QZ_HL_BEGIN "Bus Own Name Error" QZ_HL_END);
    return false;
}

void CQZGDBus::Destroy()
{
    StateHold hold(g_stateLock);
    ForgetNameRequest(this);
    if (m_nOwnerId != 0) {
        // Waits for the bus to take the name back: once Destroy returns,
        // no other connection sees this one as the owner.
        g_bus_unown_name(m_nOwnerId);
        m_nOwnerId = 0;
        m_strBusName.clear();
    }
    g_clear_pointer(&m_pIntrospectionData, g_dbus_node_info_unref);
    if (m_nRegistrationId != 0) {
        g_dbus_connection_unregister_object(m_pBusConnection, m_nRegistrationId);
        m_nRegistrationId = 0;
    }
}

bool CQZGDBus::IsAlive(const char* busName)
{
    if (busName == nullptr)
        return false;
    if (IsSameName(m_strBusName, busName))
        return true;
    g_autoptr(GDBusConnection) connection = AcquireLiveConnection(*this, m_pBusConnection);
    if (connection == nullptr)
        return false;

    g_autoptr(GVariant) reply =
        g_dbus_connection_call_sync(connection, kBusService, kBusPath, kBusService, "GetNameOwner",
                                    g_variant_new("(s)", busName), G_VARIANT_TYPE("(s)"),
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr);
    if (reply == nullptr)
        return false;
    const char* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    QZ_LOGI(QZ_TRACE_BEGIN "Owner[%s => %s]" QZ_HL_END, busName, owner);
    return true;
}

// ------------------------------------------------------------- callbacks

void CQZGDBus::Callback::onNameAcquiredCallBack(GDBusConnection*, const char* name, void* userData)
{
    QZ_LOGI("on name acquired, name[%s], user_data:%p\n", OrNull(name), userData);
}

void CQZGDBus::Callback::onNameLostCallBack(GDBusConnection*, const char* name, void* userData)
{
    QZ_LOGE(QZ_HL_BEGIN "on name lost, name:%s, user_data:%p" QZ_HL_END, OrNull(name), userData);
}

void CQZGDBus::Callback::methodMessageOnCallBack(GDBusConnection*, const char* sender,
                                                 const char* objectPath, const char* interfaceName,
                                                 const char* methodName, GVariant* parameters,
                                                 GDBusMethodInvocation* invocation, void* userData)
{
    auto* self = static_cast<CQZGDBus*>(userData);
    QZ_LOGI("%s : sender[%s], object path[%s]\ninterface name[%s], method name:[%s]\n",
            SnapshotName(self->m_strBusName).c_str(), OrNull(sender), OrNull(objectPath),
            OrNull(interfaceName), OrNull(methodName));

    const Method* method = FindMethod(methodName);
    if (method == nullptr) {
        QZ_LOGE(QZ_HL_BEGIN "Unknown method (%s)" QZ_HL_END, OrNull(methodName));
        CompleteInvocation(invocation, nullptr);
        return;
    }

    // The handlers are subclasses' code. An exception must not unwind
    // through GLib's C frames: it ends here, logged, and the caller still
    // gets its (empty) reply.
    auto dispatch = [&](GVariant** reply) {
        try {
            self->m_OnDBusMessage(method->shape, parameters, reply);
        } catch (const std::exception& e) {
            QZ_LOG_PRINT_AS(DLOG_ERROR, "methodMessageOnCallBack",
                            QZ_HL_BEGIN "Handler of %s failed: %s" QZ_HL_END, methodName, e.what());
        } catch (...) {
            QZ_LOG_PRINT_AS(DLOG_ERROR, "methodMessageOnCallBack",
                            QZ_HL_BEGIN "Handler of %s failed" QZ_HL_END, methodName);
        }
    };
    if (method->Answers()) {
        GVariant* reply = nullptr;
        dispatch(&reply);
        CompleteInvocation(invocation, reply);
    } else {
        // Release the caller first; the handler's response is not wanted.
        CompleteInvocation(invocation, nullptr);
        dispatch(nullptr);
    }
}

// ------------------------------------------------------------- inbound

bool CQZGDBus::m_OnDBusMessage(int methodIndex, GVariant* params, GVariant** reply)
{
    const std::string ownName = SnapshotName(m_strBusName);
    QZ_LOGI(QZ_TRACE_BEGIN "%s : m_OnDBusMessage Start(%d)" QZ_HL_END, ownName.c_str(),
            methodIndex);

    bool knownShape = methodIndex >= kIndexShort && methodIndex <= kIndexByteBytes;
    if (knownShape && params != nullptr &&
        g_variant_is_of_type(params, G_VARIANT_TYPE(ParamTypeFor(methodIndex)))) {
        gint32 command = 0;
        bool handled = false;
        std::string text;
        std::vector<char> bytes;

        if (methodIndex == kIndexShort) {
            gint32 param0 = 0;
            g_variant_get(params, "(ii)", &command, &param0);
            handled = t_OnMessage(command, param0, text);
        } else if (methodIndex == kIndexFull) {
            gint32 param0 = 0, param1 = 0, param2 = 0;
            const char* param3 = nullptr;
            g_variant_get(params, "(iiii&s)", &command, &param0, &param1, &param2, &param3);
            handled = t_OnMessage(command, param0, param1, param2, std::string(param3), text);
        } else {
            g_autoptr(GVariant) array = nullptr;
            g_variant_get(params, "(i@ay)", &command, &array);
            gsize count = 0;
            const void* data = g_variant_get_fixed_array(array, &count, sizeof(guchar));
            int length = static_cast<int>(count);
            handled = (methodIndex == kIndexByte) ? t_OnMessage(command, data, length, text)
                                                  : t_OnMessage(command, data, length, bytes);
        }

        if (handled && reply != nullptr) {
            *reply = (methodIndex == kIndexByteBytes)
                         ? g_variant_new("(@ay)",
                                         NewByteArray(bytes.data(), static_cast<int>(bytes.size())))
                         : g_variant_new("(s)", text.c_str());
        }
    }

    QZ_LOGI(QZ_TRACE_BEGIN "%s : m_OnDBusMessage Done(%d)" QZ_HL_END, ownName.c_str(), methodIndex);
    return true;
}

bool CQZGDBus::t_OnMessage(int, int, std::string&) { return true; }

bool CQZGDBus::t_OnMessage(int, int, int, int, const std::string&, std::string&) { return true; }

bool CQZGDBus::t_OnMessage(int, const void*, int, std::string&) { return true; }

bool CQZGDBus::t_OnMessage(int, const void*, int, std::vector<char>&) { return true; }

// ------------------------------------------------------------- outbound

CQZGDBus::enRetValue CQZGDBus::m_SendMessage(const char* busName, const char* method,
                                             GVariant* params, GVariant** reply)
{
    QZ_LOGI(QZ_TRACE_BEGIN "Sending %s Method %s" QZ_HL_END, busName, method);

    g_autoptr(GDBusConnection) connection = AcquireLiveConnection(*this, m_pBusConnection);
    if (connection == nullptr) {
        // No connection: nothing can be sent. The tuple is still ours to drop.
        g_autoptr(GVariant) dropped = params ? g_variant_ref_sink(params) : nullptr;
        qz::bus::NoteCallError(nullptr);
        QZ_LOGE("\e[0;35mSend Error(%s:%d) [%d:%s]" QZ_HL_END, method, RET_FAILED, 0,
                "no bus connection");
        return RET_FAILED;
    }

    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) result = g_dbus_connection_call_sync(
        connection, busName, kObjectPath, kInterfaceName, method, params, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, &error);
    if (result == nullptr) {
        // GLib sets the error whenever the call returns no result.
        qz::bus::NoteCallError(error);
        enRetValue ret = RetValueForError(error);
        QZ_LOGE("\e[0;35mSend Error(%s:%d) [%d:%s]" QZ_HL_END, method, ret, error->code,
                error->message);
        return ret;
    }

    if (reply != nullptr)
        *reply = g_steal_pointer(&result);
    QZ_LOGI(QZ_TRACE_BEGIN "SendDone %s Method %s" QZ_HL_END, busName, method);
    return RET_OK;
}

namespace {

// The response of a form that wants none.
struct NoResponse {};

// Reads a "(s)" reply into the response text; any other reply leaves the
// text as it was.
CQZGDBus::enRetValue ReadReply(GVariant* reply, std::string& response)
{
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)")))
        return CQZGDBus::RET_TYPE_MISMATCH;
    const char* value = nullptr;
    g_variant_get(reply, "(&s)", &value);
    response = value;
    QZ_LOG_PRINT_AS(DLOG_INFO, "SendMessage", QZ_TRACE_BEGIN "Ret %s" QZ_HL_END, value);
    return CQZGDBus::RET_OK;
}

// Reads an "(ay)" reply into the response bytes; any other reply leaves
// them as they were.
CQZGDBus::enRetValue ReadReply(GVariant* reply, std::vector<char>& response)
{
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(ay)")))
        return CQZGDBus::RET_TYPE_MISMATCH;
    g_autoptr(GVariant) array = g_variant_get_child_value(reply, 0);
    gsize count = 0;
    auto bytes = static_cast<const char*>(g_variant_get_fixed_array(array, &count, 1));
    response.assign(bytes, bytes + count);
    return CQZGDBus::RET_OK;
}

// The steps every SendMessage form takes. A call to the endpoint's own
// name goes straight to its handler (deliverLocally, given the response, or
// a scratch text that is dropped) and never to the bus. Any other goes out
// through callBus, which is given a place for the reply only when the form
// reads one; the reply is released on every path.
template <typename Response, typename DeliverLocally, typename CallBus>
CQZGDBus::enRetValue Exchange(bool toOwnName, DeliverLocally deliverLocally, CallBus callBus,
                              Response& response)
{
    constexpr bool kWithoutResponse = std::is_same_v<Response, NoResponse>;
    if (toOwnName) {
        if constexpr (kWithoutResponse) {
            std::string scratch;
            deliverLocally(scratch);
        } else {
            deliverLocally(response);
        }
        return CQZGDBus::RET_OK;
    }
    if constexpr (kWithoutResponse) {
        return callBus(nullptr);
    } else {
        GVariant* received = nullptr;
        const CQZGDBus::enRetValue sent = callBus(&received);
        g_autoptr(GVariant) reply = received;
        return sent == CQZGDBus::RET_OK ? ReadReply(reply, response) : sent;
    }
}

}  // namespace

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, int param0)
{
    NoResponse none;
    return Exchange(
        IsSameName(m_strBusName, busName), [&](auto& out) { t_OnMessage(command, param0, out); },
        [&](GVariant** reply) {
            return m_SendMessage(busName, kShortWithoutRet, g_variant_new("(ii)", command, param0),
                                 reply);
        },
        none);
}

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, int param0,
                                           std::string& response)
{
    return Exchange(
        IsSameName(m_strBusName, busName), [&](auto& out) { t_OnMessage(command, param0, out); },
        [&](GVariant** reply) {
            return m_SendMessage(busName, kShortWithRet, g_variant_new("(ii)", command, param0),
                                 reply);
        },
        response);
}

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, int param0, int param1,
                                           int param2, const std::string& param3)
{
    NoResponse none;
    return Exchange(
        IsSameName(m_strBusName, busName),
        [&](auto& out) { t_OnMessage(command, param0, param1, param2, param3, out); },
        [&](GVariant** reply) {
            return m_SendMessage(
                busName, kFullWithoutRet,
                g_variant_new("(iiiis)", command, param0, param1, param2, param3.c_str()), reply);
        },
        none);
}

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, int param0, int param1,
                                           int param2, const std::string& param3,
                                           std::string& response)
{
    return Exchange(
        IsSameName(m_strBusName, busName),
        [&](auto& out) { t_OnMessage(command, param0, param1, param2, param3, out); },
        [&](GVariant** reply) {
            return m_SendMessage(
                busName, kFullWithRet,
                g_variant_new("(iiiis)", command, param0, param1, param2, param3.c_str()), reply);
        },
        response);
}

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, const void* data,
                                           int length)
{
    NoResponse none;
    return Exchange(
        IsSameName(m_strBusName, busName),
        [&](auto& out) { t_OnMessage(command, data, length, out); },
        [&](GVariant** reply) {
            return m_SendMessage(busName, kByteWithoutRet,
                                 g_variant_new("(i@ay)", command, NewByteArray(data, length)),
                                 reply);
        },
        none);
}

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, const void* data,
                                           int length, std::string& response)
{
    return Exchange(
        IsSameName(m_strBusName, busName),
        [&](auto& out) { t_OnMessage(command, data, length, out); },
        [&](GVariant** reply) {
            return m_SendMessage(busName, kByteWithRet,
                                 g_variant_new("(i@ay)", command, NewByteArray(data, length)),
                                 reply);
        },
        response);
}

CQZGDBus::enRetValue CQZGDBus::SendMessage(const char* busName, int command, const void* data,
                                           int length, std::vector<char>& response)
{
    return Exchange(
        IsSameName(m_strBusName, busName),
        [&](auto& out) { t_OnMessage(command, data, length, out); },
        [&](GVariant** reply) {
            return m_SendMessage(busName, kByteWithBytesRet,
                                 g_variant_new("(i@ay)", command, NewByteArray(data, length)),
                                 reply);
        },
        response);
}
