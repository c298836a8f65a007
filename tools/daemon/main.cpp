// qz-swu-daemon: a reference upgrade daemon that keeps the client
// library's whole daemon contract, for trying out, demonstrating and testing
// the library against a real peer.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>
#include <cerrno>

#include <cstdio>
#include <memory>
#include <string>

#include "DaemonEndpoint.h"
#include "DaemonLog.h"
#include "DaemonOptions.h"
#include "Journal.h"
#include "OtaImage.h"
#include "OtaStreamServer.h"
#include "SWUContract.h"
#include "UpgradeSimulation.h"

namespace {

struct StopContext {
    GMainLoop* loop;
    qz::daemon::DaemonEndpoint* endpoint;
    qz::daemon::Journal* journal;
    guint exitTimer;
};

gboolean OnStopSignal(gpointer data)
{
    auto* stop = static_cast<StopContext*>(data);
    QZ_LOGI("stop requested");
    stop->endpoint->RequestStop();
    g_main_loop_quit(stop->loop);
    return G_SOURCE_CONTINUE;
}

// Without its bus the daemon can serve nothing, and it would keep the OTA
// socket name from the daemon that replaces it.
void OnBusClosed(GDBusConnection*, gboolean, GError*, gpointer data)
{
    auto* stop = static_cast<StopContext*>(data);
    QZ_LOGE(QZ_HL_BEGIN "bus connection closed" QZ_HL_END);
    stop->journal->Error("bus connection closed");
    OnStopSignal(data);
}

GVariant* CallBus(GDBusConnection* bus, const char* method, GVariant* args, const char* replyType,
                  GError** error)
{
    return g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, args,
        G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error);
}

// The holder of the name, and whether its process still exists: a daemon
// that has just ended may hold it until the bus has seen its connection go.
std::string NameHolder(GDBusConnection* bus, const char* name, bool& holderAlive)
{
    holderAlive = true;
    g_autoptr(GVariant) owner =
        CallBus(bus, "GetNameOwner", g_variant_new("(s)", name), "(s)", nullptr);
    if (owner == nullptr)
        return "another connection";
    const char* unique = nullptr;
    g_variant_get(owner, "(&s)", &unique);
    std::string holder = unique;
    g_autoptr(GVariant) pid =
        CallBus(bus, "GetConnectionUnixProcessID", g_variant_new("(s)", unique), "(u)", nullptr);
    if (pid != nullptr) {
        guint32 number = 0;
        g_variant_get(pid, "(u)", &number);
        holderAlive = kill(static_cast<pid_t>(number), 0) == 0 || errno != ESRCH;
        holder += " (pid " + std::to_string(number) + ")";
    }
    return holder;
}

// Asks for the name without queueing: a daemon that merely waits in line
// would run without its name and look alive to nobody. Returns false, with
// the holder in who, when another running process owns it.
bool ClaimBusName(GDBusConnection* bus, const char* name, std::string& who)
{
    constexpr guint32 kDoNotQueue = 4;
    constexpr guint32 kPrimaryOwner = 1;
    constexpr guint32 kAlreadyOwner = 4;
    constexpr int kAttemptsWhileHolderGone = 50;  // 20 ms apart
    for (int attempt = 0;; ++attempt) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) reply =
            CallBus(bus, "RequestName", g_variant_new("(su)", name, kDoNotQueue), "(u)", &error);
        if (reply == nullptr) {
            who = error->message;
            return false;
        }
        guint32 result = 0;
        g_variant_get(reply, "(u)", &result);
        if (result == kPrimaryOwner || result == kAlreadyOwner)
            return true;
        bool holderAlive = true;
        who = "owned by " + NameHolder(bus, name, holderAlive);
        if (holderAlive || attempt == kAttemptsWhileHolderGone)
            return false;
        g_usleep(20000);
    }
}

// The image goes to the state folder unless a path was given; that folder
// is private to the daemon. A daemon ended by force in the middle of an
// image left its temporary file there; with the bus name ours, no other
// daemon is writing one.
void PrepareImageFolder(const qz::daemon::DaemonOptions& options, qz::daemon::OtaImage& image,
                        qz::daemon::Journal& journal)
{
    g_autofree gchar* folder = g_path_get_dirname(options.otaOutputPath.c_str());
    if (options.stateDir == folder && g_mkdir_with_parents(folder, 0700) != 0)
        QZ_LOGE(QZ_HL_BEGIN "cannot create the state folder %s" QZ_HL_END, folder);
    if (int removed = image.RemoveLeftovers()) {
        QZ_LOGI("removed %d unfinished OTA image file(s) from %s", removed, folder);
        journal.Write({{"event", "ota_leftovers"}, {"removed", removed}, {"folder", folder}});
    }
}

gboolean OnExitTimer(gpointer data)
{
    QZ_LOGI("run time over");
    OnStopSignal(data);
    static_cast<StopContext*>(data)->exitTimer = 0;
    return G_SOURCE_REMOVE;
}

int Run(const qz::daemon::DaemonOptions& options)
{
    using namespace qz::daemon;

    Journal journal;
    if (!journal.Open(options.journalPath)) {
        fprintf(stderr, "qz-swu-daemon: cannot open journal %s\n", options.journalPath.c_str());
        return 1;
    }
    journal.Write({{"event", "start"}, {"pid", static_cast<int>(getpid())}});

    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    UpgradeSimulation upgrade(options.upgradeMs, journal);
    OtaImage otaImage(options.otaOutputPath);
    DaemonEndpoint endpoint(options, journal, upgrade, otaImage);
    if (!endpoint.Serve(qz::swu::kDaemonBusName)) {
        QZ_LOGE(QZ_HL_BEGIN "cannot serve %s" QZ_HL_END, qz::swu::kDaemonBusName);
        journal.Error("cannot serve the bus name");
        fprintf(stderr, "qz-swu-daemon: cannot serve %s on the system bus\n",
                qz::swu::kDaemonBusName);
        return 1;
    }
    // After Create, which registers the object first: a caller that sees the
    // name owned must find the object there. Create's own request may have
    // queued; this one settles it.
    std::string holder;
    if (endpoint.BusConnection() != nullptr &&
        !ClaimBusName(endpoint.BusConnection(), qz::swu::kDaemonBusName, holder)) {
        QZ_LOGE(QZ_HL_BEGIN "cannot take %s: %s" QZ_HL_END, qz::swu::kDaemonBusName,
                holder.c_str());
        journal.Error("cannot take the bus name: " + holder);
        fprintf(stderr, "qz-swu-daemon: cannot take %s: %s\n", qz::swu::kDaemonBusName,
                holder.c_str());
        return 1;
    }

    std::unique_ptr<OtaStreamServer> otaServer;
    if (options.otaSocket) {
        PrepareImageFolder(options, otaImage, journal);
        otaServer = std::make_unique<OtaStreamServer>(
            otaImage, journal, options.verbose, options.otaGroup, options.journalFrames,
            OtaStreamLimits{options.otaMaxConnections, options.otaIdleTimeoutMs});
        otaServer->Start();
    }

    StopContext stop{loop, &endpoint, &journal, 0};
    guint sigterm = g_unix_signal_add(SIGTERM, OnStopSignal, &stop);
    guint sigint = g_unix_signal_add(SIGINT, OnStopSignal, &stop);
    gulong busClosed =
        g_signal_connect(endpoint.BusConnection(), "closed", G_CALLBACK(OnBusClosed), &stop);
    if (options.exitAfterMs > 0)
        stop.exitTimer = g_timeout_add(static_cast<guint>(options.exitAfterMs), OnExitTimer, &stop);

    QZ_LOGI("serving %s", qz::swu::kDaemonBusName);
    g_main_loop_run(loop);

    g_signal_handler_disconnect(endpoint.BusConnection(), busClosed);
    g_clear_handle_id(&sigterm, g_source_remove);
    g_clear_handle_id(&sigint, g_source_remove);
    g_clear_handle_id(&stop.exitTimer, g_source_remove);
    journal.Write({{"event", "stop"}});
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // A client that disconnects while the daemon writes must not kill it;
    // the daemon writes to sockets only through GLib, which reports EPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    auto options = qz::daemon::ParseDaemonOptions(argc, argv, error);
    if (!options) {
        fprintf(stderr, "qz-swu-daemon: %s (see --help)\n", error.c_str());
        return 2;
    }
    return Run(*options);
}
