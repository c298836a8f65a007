// The outcome of the last call to the daemon, per thread, for applications
// that must tell "no answer" from an answer (SWUpgradeCallStatus.h).
#include "SWUpgradeCallStatus.h"

#include <gio/gio.h>

#include "QZCallError.h"
#include "SWUpgradeInternal.h"

namespace qz {
namespace swu {

namespace {

thread_local eSWUCallStatus t_lastStatus = SWU_CALL_NONE;

// The GError's own words, matched by domain and code: these rules are the
// library's, not the contract's.
eSWUCallStatus StatusForError(const bus::CallError& error)
{
    if (!error.connected || (error.domain == G_IO_ERROR && error.code == G_IO_ERROR_CLOSED))
        return SWU_CALL_NO_BUS;
    if (error.domain == G_IO_ERROR && error.code == G_IO_ERROR_TIMED_OUT)
        return SWU_CALL_TIMED_OUT;
    if (error.domain == G_IO_ERROR && error.code == G_IO_ERROR_DBUS_ERROR)
        return SWU_CALL_WRONG_REPLY;  // an error reply GLib has no code for
    if (error.domain != G_DBUS_ERROR)
        return SWU_CALL_FAILED;
    switch (error.code) {
    case G_DBUS_ERROR_ACCESS_DENIED: return SWU_CALL_DENIED;
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER: return SWU_CALL_NO_DAEMON;
    case G_DBUS_ERROR_NO_REPLY:
    case G_DBUS_ERROR_TIMEOUT:
    case G_DBUS_ERROR_TIMED_OUT: return SWU_CALL_TIMED_OUT;
    case G_DBUS_ERROR_DISCONNECTED:
    case G_DBUS_ERROR_NO_SERVER:
    case G_DBUS_ERROR_NO_NETWORK: return SWU_CALL_NO_BUS;
    case G_DBUS_ERROR_UNKNOWN_METHOD:
    case G_DBUS_ERROR_UNKNOWN_OBJECT:
    case G_DBUS_ERROR_UNKNOWN_INTERFACE:
    case G_DBUS_ERROR_INVALID_ARGS:
    case G_DBUS_ERROR_FAILED: return SWU_CALL_WRONG_REPLY;
    default: return SWU_CALL_FAILED;
    }
}

}  // namespace

void NoteCallOutcome(bool haveEndpoint, CQZGDBus::enRetValue ret)
{
    if (!haveEndpoint)
        t_lastStatus = SWU_CALL_NO_BUS;
    else if (ret == CQZGDBus::RET_OK)
        t_lastStatus = SWU_CALL_ANSWERED;
    else if (ret == CQZGDBus::RET_TYPE_MISMATCH)
        t_lastStatus = SWU_CALL_WRONG_REPLY;
    else
        t_lastStatus = StatusForError(bus::LastCallError());
}

}  // namespace swu
}  // namespace qz

extern "C" eSWUCallStatus qz_swu_last_call_status(void) { return qz::swu::t_lastStatus; }

extern "C" void qz_swu_clear_call_status(void) { qz::swu::t_lastStatus = SWU_CALL_NONE; }

extern "C" const char* qz_swu_call_status_name(eSWUCallStatus status)
{
    switch (status) {
    case SWU_CALL_NONE: return "none";
    case SWU_CALL_ANSWERED: return "answered";
    case SWU_CALL_NO_BUS: return "no bus";
    case SWU_CALL_NO_DAEMON: return "no daemon";
    case SWU_CALL_DENIED: return "denied";
    case SWU_CALL_TIMED_OUT: return "timed out";
    case SWU_CALL_WRONG_REPLY: return "wrong reply";
    case SWU_CALL_FAILED: return "failed";
    }
    return "unknown";
}
