#include "QZInboundLimit.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "SWUContract.h"

namespace qz {
namespace bus {

namespace {

struct Budget {
    std::atomic<int> calls{0};
    std::atomic<gsize> bytes{0};
};

struct Limit {
    GDBusConnection* connection = nullptr;  // owned reference
    guint filterId = 0;
    std::shared_ptr<Budget> budget;
};

// A standard mutex, not GMutex: thread checkers see through this one.
std::mutex g_lock;

std::map<unsigned, Limit>& Table()
{
    static std::map<unsigned, Limit> table;
    return table;
}

Limit* Find(unsigned registrationId)
{
    auto found = Table().find(registrationId);
    return found == Table().end() ? nullptr : &found->second;
}

// In-signatures of the interface's methods: GDBus itself refuses a call
// whose arguments do not match, and such a call never reaches a handler.
const char* ExpectedSignature(const char* member)
{
    static const std::pair<const char*, const char*> kMethods[] = {
        {kShortWithoutRet, "ii"},   {kShortWithRet, "ii"},    {kFullWithoutRet, "iiiis"},
        {kFullWithRet, "iiiis"},    {kByteWithoutRet, "iay"}, {kByteWithRet, "iay"},
        {kByteWithBytesRet, "iay"},
    };
    for (const auto& [name, signature] : kMethods)
        if (member != nullptr && strcmp(member, name) == 0)
            return signature;
    return nullptr;
}

bool IsCountedCall(GDBusMessage* message)
{
    if (g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
        g_strcmp0(g_dbus_message_get_path(message), kObjectPath) != 0 ||
        g_strcmp0(g_dbus_message_get_interface(message), kInterfaceName) != 0)
        return false;
    const char* expected = ExpectedSignature(g_dbus_message_get_member(message));
    return expected != nullptr && g_strcmp0(g_dbus_message_get_signature(message), expected) == 0;
}

std::shared_ptr<Budget> FindBudget(unsigned registrationId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = Table().find(registrationId);
    return found != Table().end() ? found->second.budget : nullptr;
}

// Takes the registration's entry out of the table, when it is there.
std::optional<Limit> TakeLimit(unsigned registrationId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = Table().find(registrationId);
    if (found == Table().end())
        return std::nullopt;
    Limit limit = found->second;
    Table().erase(found);
    return limit;
}

gsize BodySize(GVariant* body) { return body != nullptr ? g_variant_get_size(body) : 0; }

// Runs on GDBus's worker thread for every message.
GDBusMessage* CountInbound(GDBusConnection* connection, GDBusMessage* message, gboolean incoming,
                           gpointer data)
{
    if (!incoming || !IsCountedCall(message))
        return message;
    std::shared_ptr<Budget> counted = FindBudget(GPOINTER_TO_UINT(data));
    if (counted == nullptr)  // the filter may run once more after its removal
        return message;
    Budget& budget = *counted;
    const gsize size = BodySize(g_dbus_message_get_body(message));
    const int calls = budget.calls.fetch_add(1) + 1;
    const gsize bytes = budget.bytes.fetch_add(size) + size;
    if (calls <= kMaxWaitingCalls && bytes <= kMaxWaitingBytes)
        return message;
    budget.calls.fetch_sub(1);
    budget.bytes.fetch_sub(size);
    if ((g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) == 0) {
        g_autoptr(GDBusMessage) refusal = g_dbus_message_new_method_error(
            message, kLimitError, "too many calls are waiting for the application's main loop");
        g_dbus_connection_send_message(connection, refusal, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                       nullptr);
    }
    g_object_unref(message);
    return nullptr;
}

}  // namespace

void LimitInbound(GDBusConnection* connection, unsigned registrationId)
{
    if (connection == nullptr || registrationId == 0)
        return;
    // The filter finds the budget through the table (registration ids are
    // never reused), so nothing it uses is freed under it.
    {
        std::lock_guard<std::mutex> hold(g_lock);
        Limit& limit = Table()[registrationId];
        limit.connection = static_cast<GDBusConnection*>(g_object_ref(connection));
        limit.budget = std::make_shared<Budget>();
    }
    guint filterId = g_dbus_connection_add_filter(connection, CountInbound,
                                                  GUINT_TO_POINTER(registrationId), nullptr);
    std::lock_guard<std::mutex> hold(g_lock);
    if (Limit* added = Find(registrationId))
        added->filterId = filterId;
}

void StopLimitingInbound(unsigned registrationId)
{
    std::optional<Limit> limit = TakeLimit(registrationId);
    if (!limit)
        return;
    g_dbus_connection_remove_filter(limit->connection, limit->filterId);
    g_object_unref(limit->connection);
}

void InboundServed(unsigned registrationId, GVariant* parameters)
{
    std::shared_ptr<Budget> budget = FindBudget(registrationId);
    if (budget == nullptr)
        return;
    // Never below zero, should a handler ever run for a call the filter did
    // not count (GDBus here refuses a call without an interface name before
    // any handler, so none does today).
    int calls = budget->calls.load();
    while (calls > 0 && !budget->calls.compare_exchange_weak(calls, calls - 1)) {
    }
    const gsize size = BodySize(parameters);
    gsize bytes = budget->bytes.load();
    while (!budget->bytes.compare_exchange_weak(bytes, bytes >= size ? bytes - size : 0)) {
    }
}

}  // namespace bus
}  // namespace qz
