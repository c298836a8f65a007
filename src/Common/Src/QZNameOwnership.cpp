#include "QZNameOwnership.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QZGDBus.h"
#include "SWUContract.h"

namespace qz {
namespace bus {

namespace {

// Replies to "RequestName".
constexpr guint32 kPrimaryOwner = 1;
constexpr guint32 kInQueue = 2;
constexpr guint32 kAlreadyOwner = 4;

struct Ownership {
    CQZGDBus* endpoint = nullptr;
    GDBusConnection* connection = nullptr;  // owned reference
    GMainContext* context = nullptr;        // owned reference
    std::string name;
    std::vector<GSource*> notices;  // undelivered, one reference each
    guint32 requestSerial = 0;      // of the "RequestName" not yet answered
    guint filterId = 0;
    gulong closedHandler = 0;
};

struct Notice {
    unsigned ownerId;
    bool acquired;
};

// Guards the table; callbacks into the endpoint run without it.
// A standard mutex, not GMutex: thread checkers see through this one.
std::mutex g_lock;
unsigned g_nextId = 1;

std::map<unsigned, Ownership>& Table()
{
    static std::map<unsigned, Ownership> table;
    return table;
}

Ownership* Find(unsigned id)
{
    auto found = Table().find(id);
    return found == Table().end() ? nullptr : &found->second;
}

void Notify(bool acquired, CQZGDBus* endpoint, GDBusConnection* connection, const char* name)
{
    if (acquired)
        CQZGDBus::Callback::onNameAcquiredCallBack(connection, name, endpoint);
    else
        CQZGDBus::Callback::onNameLostCallBack(connection, name, endpoint);
}

// Called with the lock held: a delivered notice is no longer the owner's to drop.
void ForgetNotice(Ownership& owner, GSource* notice)
{
    auto found = std::find(owner.notices.begin(), owner.notices.end(), notice);
    if (found == owner.notices.end())
        return;
    owner.notices.erase(found);
    g_source_unref(notice);
}

gboolean DeliverNotice(gpointer data)
{
    const auto* notice = static_cast<const Notice*>(data);
    CQZGDBus* endpoint = nullptr;
    g_autoptr(GDBusConnection) connection = nullptr;
    std::string name;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        Ownership* owner = Find(notice->ownerId);
        if (owner == nullptr)
            return G_SOURCE_REMOVE;
        ForgetNotice(*owner, g_main_current_source());
        endpoint = owner->endpoint;
        connection = static_cast<GDBusConnection*>(g_object_ref(owner->connection));
        name = owner->name;
    }
    Notify(notice->acquired, endpoint, connection, name.c_str());
    return G_SOURCE_REMOVE;
}

// Called with the lock held.
void PostNotice(Ownership& owner, unsigned id, bool acquired)
{
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, DeliverNotice, new Notice{id, acquired},
                          [](gpointer data) { delete static_cast<Notice*>(data); });
    owner.notices.push_back(source);
    g_source_attach(source, owner.context);
}

void OnConnectionClosed(GDBusConnection*, gboolean, GError*, gpointer id)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (Ownership* owner = Find(GPOINTER_TO_UINT(id)))
        PostNotice(*owner, GPOINTER_TO_UINT(id), false);
}

// Called with the lock held. The answer is a number for the bus's own
// refusals as well: an error reply counts as losing the name.
void TakeRequestAnswer(Ownership& owner, unsigned id, GDBusMessage* answer)
{
    owner.requestSerial = 0;
    guint32 result = 0;
    GVariant* body = g_dbus_message_get_body(answer);
    if (g_dbus_message_get_message_type(answer) == G_DBUS_MESSAGE_TYPE_METHOD_RETURN &&
        body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(u)")))
        g_variant_get(body, "(u)", &result);
    if (result == kPrimaryOwner || result == kAlreadyOwner)
        PostNotice(owner, id, true);
    else if (result != kInQueue)
        PostNotice(owner, id, false);
}

bool IsFromBus(GDBusMessage* message)
{
    return g_strcmp0(g_dbus_message_get_sender(message), kBusService) == 0;
}

// The name's first argument of a "NameAcquired" or "NameLost" signal, or null.
const char* NameOfChange(GDBusMessage* message, bool& acquired)
{
    if (g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL ||
        g_strcmp0(g_dbus_message_get_interface(message), kBusService) != 0)
        return nullptr;
    const char* member = g_dbus_message_get_member(message);
    acquired = g_strcmp0(member, "NameAcquired") == 0;
    if (!acquired && g_strcmp0(member, "NameLost") != 0)
        return nullptr;
    GVariant* body = g_dbus_message_get_body(message);
    if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
        return nullptr;
    const char* name = nullptr;
    g_variant_get(body, "(&s)", &name);
    return name;
}

// Runs on GDBus's worker thread for every message. The bus's answer to our
// request is ours alone (GDBus waits for no such reply) and ends here; the
// name signals go on to anyone else listening. A signal that comes while the
// request is unanswered is the bus announcing that very request (it sends
// "NameAcquired" just before the answer) and is left to the answer; a later
// one is a change: the name won after waiting in the queue, or lost to a
// replacing owner.
GDBusMessage* WatchName(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data)
{
    if (!incoming || !IsFromBus(message))
        return message;
    const unsigned id = GPOINTER_TO_UINT(data);
    std::lock_guard<std::mutex> hold(g_lock);
    Ownership* owner = Find(id);
    if (owner == nullptr)  // the filter may run once more after its removal
        return message;
    if (owner->requestSerial != 0 &&
        g_dbus_message_get_reply_serial(message) == owner->requestSerial) {
        TakeRequestAnswer(*owner, id, message);
        g_object_unref(message);
        return nullptr;
    }
    bool acquired = false;
    const char* name = NameOfChange(message, acquired);
    if (name != nullptr && owner->requestSerial == 0 && owner->name == name)
        PostNotice(*owner, id, acquired);
    return message;
}

// Takes the ownership out of the table, when it is there.
std::optional<Ownership> TakeOwnership(unsigned id)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = Table().find(id);
    if (found == Table().end())
        return std::nullopt;
    Ownership owner = std::move(found->second);
    Table().erase(found);
    return owner;
}

GDBusMessage* NameCall(const char* method, GVariant* arguments)
{
    GDBusMessage* call = g_dbus_message_new_method_call(kBusService, kBusPath, kBusService, method);
    g_dbus_message_set_body(call, arguments);
    return call;
}

}  // namespace

unsigned OwnName(CQZGDBus* endpoint, GDBusConnection* connection, const char* name)
{
    // As g_bus_own_name_on_connection would: a name that can never be owned
    // is the caller's error, refused with a critical and no id.
    g_return_val_if_fail(name != nullptr && g_dbus_is_name(name) && !g_dbus_is_unique_name(name),
                         0);
    std::lock_guard<std::mutex> hold(g_lock);
    const unsigned id = g_nextId++;
    if (g_nextId == 0)
        g_nextId = 1;
    Ownership& owner = Table()[id];
    owner.endpoint = endpoint;
    owner.connection = static_cast<GDBusConnection*>(g_object_ref(connection));
    owner.context = g_main_context_ref_thread_default();
    owner.name = name;
    owner.closedHandler = g_signal_connect(connection, "closed", G_CALLBACK(OnConnectionClosed),
                                           GUINT_TO_POINTER(id));
    owner.filterId =
        g_dbus_connection_add_filter(connection, WatchName, GUINT_TO_POINTER(id), nullptr);
    // Not waited for: the filter takes the answer. It looks the serial up
    // under the lock held here, so the answer cannot come before the serial
    // is known.
    g_autoptr(GDBusMessage) request = NameCall("RequestName", g_variant_new("(su)", name, 0u));
    if (!g_dbus_connection_send_message(connection, request, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                        &owner.requestSerial, nullptr))
        PostNotice(owner, id, false);  // closed: no answer will come to match the serial
    return id;
}

void ReleaseName(unsigned ownerId)
{
    std::optional<Ownership> taken = TakeOwnership(ownerId);
    if (!taken)
        return;
    Ownership& owner = *taken;
    for (GSource* notice : owner.notices) {
        g_source_destroy(notice);
        g_source_unref(notice);
    }
    g_signal_handler_disconnect(owner.connection, owner.closedHandler);
    g_dbus_connection_remove_filter(owner.connection, owner.filterId);
    // Not waited for either: the bus takes a connection's calls in order, so
    // the name is given back after any request still on its way, and before
    // anything this process sends later.
    g_autoptr(GDBusMessage) release =
        NameCall("ReleaseName", g_variant_new("(s)", owner.name.c_str()));
    g_dbus_message_set_flags(release, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_dbus_connection_send_message(owner.connection, release, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                   nullptr, nullptr);
    g_object_unref(owner.connection);
    g_main_context_unref(owner.context);
}

GMainContext* NameContext(unsigned ownerId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Ownership* owner = Find(ownerId);
    return owner ? g_main_context_ref(owner->context) : nullptr;
}

}  // namespace bus
}  // namespace qz
