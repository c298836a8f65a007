#include "BusCheck.h"

#include <cstdlib>

#include "SWUContract.h"

namespace qzcli {

namespace {

using qz::bus::kBusPath;
using qz::bus::kBusService;
// A daemon that holds its name but hangs should not hold the tool for the
// bus's full 25 s before the library call does the same.
constexpr int kProbeTimeoutMs = 10000;

constexpr const char* kErrAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kErrServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
constexpr const char* kErrNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";
constexpr const char* kErrDisconnected = "org.freedesktop.DBus.Error.Disconnected";

// "org.freedesktop.DBus.Error.X: text", or the GLib text when the error did
// not come from the bus.
std::string Describe(GError* error, std::string& name)
{
    g_autofree gchar* remote = g_dbus_error_get_remote_error(error);
    name = remote ? remote : "";
    if (name.empty() && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED))
        name = kErrDisconnected;
    g_dbus_error_strip_remote_error(error);
    return name.empty() ? error->message : name + ": " + error->message;
}

}  // namespace

const char* PolicyGroup() { return QZ_SWU_GROUP; }

DaemonState StateForError(const std::string& errorName)
{
    if (errorName == kErrAccessDenied)
        return DaemonState::kDenied;
    if (errorName == kErrServiceUnknown || errorName == kErrNameHasNoOwner ||
        errorName == kErrDisconnected)
        return DaemonState::kNotOnBus;
    return DaemonState::kSilent;
}

BusCheck::BusCheck()
{
    g_autoptr(GError) error = nullptr;
    m_conn = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (m_conn == nullptr)
        m_connectError = error ? error->message : "unknown error";
}

BusCheck::~BusCheck() { g_clear_object(&m_conn); }

std::string BusCheck::Owner()
{
    if (m_conn == nullptr || g_dbus_connection_is_closed(m_conn))
        return {};
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        m_conn, kBusService, kBusPath, kBusService, "GetNameOwner",
        g_variant_new("(s)", qz::swu::kDaemonBusName), G_VARIANT_TYPE("(s)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, kProbeTimeoutMs, nullptr, nullptr);
    if (reply == nullptr)
        return {};
    const char* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    return owner;
}

DaemonLook BusCheck::Look()
{
    DaemonLook look;
    if (m_conn == nullptr) {
        look.detail = "no system bus: " + m_connectError;
        return look;
    }
    look.owner = Owner();
    if (look.owner.empty()) {
        const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
        look.detail = std::string("nobody owns ") + qz::swu::kDaemonBusName + " on " +
                      (address && *address ? address : "the system bus");
        return look;
    }
    // The state query reads and changes nothing, and it goes the same way
    // as every library command: same interface, so the same policy rules.
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        m_conn, qz::swu::kDaemonBusName, qz::bus::kObjectPath, qz::bus::kInterfaceName,
        qz::bus::kByteWithRet,
        g_variant_new("(i@ay)", static_cast<gint32>(qz::swu::kCmdQueryState),
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, nullptr, 0, 1)),
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kProbeTimeoutMs, nullptr, &error);
    if (reply == nullptr) {
        look.detail = Describe(error, look.errorName);
        look.state = StateForError(look.errorName);
        return look;
    }
    const char* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    look.stateReply = text;
    look.state = DaemonState::kAnswers;
    return look;
}

}  // namespace qzcli
