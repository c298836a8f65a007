#include "QZNameOwnership.h"

#include <map>
#include <mutex>
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
    guint acquiredSignal = 0;
    guint lostSignal = 0;
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

gboolean DeliverNotice(gpointer data)
{
    const auto* notice = static_cast<const Notice*>(data);
    g_lock.lock();
    Ownership* owner = Find(notice->ownerId);
    if (owner == nullptr) {
        g_lock.unlock();
        return G_SOURCE_REMOVE;
    }
    GSource* self = g_main_current_source();
    for (auto it = owner->notices.begin(); it != owner->notices.end(); ++it)
        if (*it == self) {
            owner->notices.erase(it);
            g_source_unref(self);
            break;
        }
    CQZGDBus* endpoint = owner->endpoint;
    g_autoptr(GDBusConnection) connection =
        static_cast<GDBusConnection*>(g_object_ref(owner->connection));
    const std::string name = owner->name;
    g_lock.unlock();
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
    g_lock.lock();
    if (Ownership* owner = Find(GPOINTER_TO_UINT(id)))
        PostNotice(*owner, GPOINTER_TO_UINT(id), false);
    g_lock.unlock();
}

// "NameAcquired" after waiting in the queue, "NameLost" to a replacing owner;
// delivered by GDBus in the owner's context already.
void OnNameSignal(GDBusConnection*, const char*, const char*, const char*, const char* signal,
                  GVariant*, gpointer id)
{
    g_lock.lock();
    Ownership* owner = Find(GPOINTER_TO_UINT(id));
    CQZGDBus* endpoint = owner ? owner->endpoint : nullptr;
    g_autoptr(GDBusConnection) connection =
        owner ? static_cast<GDBusConnection*>(g_object_ref(owner->connection)) : nullptr;
    const std::string name = owner ? owner->name : "";
    g_lock.unlock();
    if (endpoint != nullptr)
        Notify(g_strcmp0(signal, "NameAcquired") == 0, endpoint, connection, name.c_str());
}

guint SubscribeNameSignal(GDBusConnection* connection, const char* signal, const char* name,
                          unsigned id)
{
    return g_dbus_connection_signal_subscribe(connection, kBusService, kBusService, signal,
                                              kBusPath, name, G_DBUS_SIGNAL_FLAGS_NONE,
                                              OnNameSignal, GUINT_TO_POINTER(id), nullptr);
}

}  // namespace

unsigned OwnName(CQZGDBus* endpoint, GDBusConnection* connection, const char* name)
{
    // As g_bus_own_name_on_connection would: a name that can never be owned
    // is the caller's error, refused with a critical and no id.
    g_return_val_if_fail(name != nullptr && g_dbus_is_name(name) && !g_dbus_is_unique_name(name),
                         0);
    // Subscribed only after the reply: the bus sends "NameAcquired" before
    // it, and that one would otherwise wait on the context as well.
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_sync(connection, kBusService, kBusPath, kBusService, "RequestName",
                                    g_variant_new("(su)", name, 0u), G_VARIANT_TYPE("(u)"),
                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    guint32 result = 0;
    if (reply != nullptr)
        g_variant_get(reply, "(u)", &result);

    g_lock.lock();
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
    owner.acquiredSignal = SubscribeNameSignal(connection, "NameAcquired", name, id);
    owner.lostSignal = SubscribeNameSignal(connection, "NameLost", name, id);
    if (result == kPrimaryOwner || result == kAlreadyOwner)
        PostNotice(owner, id, true);
    else if (result != kInQueue || g_dbus_connection_is_closed(connection))
        PostNotice(owner, id, false);
    g_lock.unlock();
    return id;
}

void ReleaseName(unsigned ownerId)
{
    g_lock.lock();
    auto found = Table().find(ownerId);
    if (found == Table().end()) {
        g_lock.unlock();
        return;
    }
    Ownership owner = std::move(found->second);
    Table().erase(found);
    g_lock.unlock();

    for (GSource* notice : owner.notices) {
        g_source_destroy(notice);
        g_source_unref(notice);
    }
    g_signal_handler_disconnect(owner.connection, owner.closedHandler);
    g_dbus_connection_signal_unsubscribe(owner.connection, owner.acquiredSignal);
    g_dbus_connection_signal_unsubscribe(owner.connection, owner.lostSignal);
    if (!g_dbus_connection_is_closed(owner.connection)) {
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
            owner.connection, kBusService, kBusPath, kBusService, "ReleaseName",
            g_variant_new("(s)", owner.name.c_str()), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
            -1, nullptr, nullptr);
    }
    g_object_unref(owner.connection);
    g_main_context_unref(owner.context);
}

GMainContext* NameContext(unsigned ownerId)
{
    g_lock.lock();
    Ownership* owner = Find(ownerId);
    GMainContext* context = owner ? g_main_context_ref(owner->context) : nullptr;
    g_lock.unlock();
    return context;
}

}  // namespace bus
}  // namespace qz
