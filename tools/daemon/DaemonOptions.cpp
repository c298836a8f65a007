#include "DaemonOptions.h"

#include <glib.h>

#include <unistd.h>

#include <cstring>

namespace qz {
namespace daemon {

namespace {

constexpr const char kDefaultOtaImageName[] = "qz-ota-image.bin";
constexpr const char kStateFolderName[] = "qz-swu";
#ifndef QZ_SWU_OTA_GROUP
#define QZ_SWU_OTA_GROUP "qz-swu"
#endif

constexpr const char kBehaviour[] =
    "Serves com.kestova.orvel.qz.swu.daemon on the system bus (DBUS_SYSTEM_BUS_ADDRESS).\n"
    "A request (16386) starts a simulated upgrade that writes its progress and, at the end,\n"
    "its result to the key-value store (QZ_KVSTORE_DIR). A request from requester 7 is an\n"
    "OTA plan instead: it starts no simulated upgrade. The image that follows on the socket\n"
    "@otaStream is taken from the planning process alone (its pid and uid as the bus reports\n"
    "them) and stored once the planned total has arrived; cut short, it is dropped.\n"
    "Journal events: call, request, upgrade_started, upgrade_done, result_notified, cabinet,\n"
    "ota_plan, ota_listening, ota_socket_busy, ota_client, ota_segment, frame, ota_image\n"
    "(state complete or incomplete, bytes, planned, trigger), ota_leftovers, error, start, stop.\n";

// systemd's StateDirectory= hands the folder over in $STATE_DIRECTORY (a
// colon-separated list when there are several; the first one is ours).
// Started by hand, the daemon uses the usual place for its user.
std::string DefaultStateDir()
{
    const char* fromSystemd = g_getenv("STATE_DIRECTORY");
    if (fromSystemd != nullptr && *fromSystemd != '\0')
        return std::string(fromSystemd).substr(0, std::string(fromSystemd).find(':'));
    g_autofree gchar* folder =
        geteuid() == 0 ? g_build_filename("/var/lib", kStateFolderName, nullptr)
                       : g_build_filename(g_get_user_state_dir(), kStateFolderName, nullptr);
    return folder;
}

bool ParseInt(const char* text, int minimum, int& value)
{
    gint64 parsed = 0;
    if (!g_ascii_string_to_signed(text, 10, minimum, G_MAXINT32, &parsed, nullptr))
        return false;
    value = static_cast<int>(parsed);
    return true;
}

// "CMD=VALUE": the command number, and the text after the first '='.
bool SplitCommandAssignment(const char* text, int& command, std::string& value)
{
    const char* equals = strchr(text, '=');
    if (equals == nullptr)
        return false;
    g_autofree gchar* number = g_strndup(text, equals - text);
    if (!ParseInt(number, G_MININT32, command))
        return false;
    value = equals + 1;
    return true;
}

bool CollectReplies(gchar** items, DaemonOptions& options, std::string& error)
{
    for (gchar** item = items; item && *item; ++item) {
        int command = 0;
        std::string text;
        if (!SplitCommandAssignment(*item, command, text)) {
            error = std::string("--reply expects CMD=TEXT, got '") + *item + "'";
            return false;
        }
        options.forcedReplies[command] = text;
    }
    return true;
}

bool CollectDelays(gchar** items, DaemonOptions& options, std::string& error)
{
    for (gchar** item = items; item && *item; ++item) {
        int command = 0;
        int delay = 0;
        std::string text;
        if (!SplitCommandAssignment(*item, command, text) || !ParseInt(text.c_str(), 0, delay)) {
            error = std::string("--delay expects CMD=MS, got '") + *item + "'";
            return false;
        }
        options.replyDelaysMs[command] = delay;
    }
    return true;
}

bool CollectWrongTypes(gchar** items, DaemonOptions& options, std::string& error)
{
    for (gchar** item = items; item && *item; ++item) {
        int command = 0;
        if (!ParseInt(*item, G_MININT32, command)) {
            error = std::string("--wrong-type expects a command number, got '") + *item + "'";
            return false;
        }
        options.wrongTypeCommands.insert(command);
    }
    return true;
}

}  // namespace

std::optional<DaemonOptions> ParseDaemonOptions(int argc, char** argv, std::string& error)
{
    g_autofree gchar* journal = nullptr;
    g_autofree gchar* otaOutput = nullptr;
    g_autofree gchar* stateDir = nullptr;
    g_autofree gchar* otaGroup = nullptr;
    g_auto(GStrv) replies = nullptr;
    g_auto(GStrv) delays = nullptr;
    g_auto(GStrv) wrongTypes = nullptr;
    gint upgradeMs = 3000;
    gint exitAfterMs = 0;
    gint maxConnections = DaemonOptions{}.otaMaxConnections;
    gint idleTimeoutMs = DaemonOptions{}.otaIdleTimeoutMs;
    gboolean noOtaSocket = FALSE;
    gboolean verbose = FALSE;
    gboolean journalFrames = FALSE;

    const GOptionEntry entries[] = {
        {"journal", 0, 0, G_OPTION_ARG_FILENAME, &journal,
         "Append a JSON line for every call and OTA segment to FILE", "FILE"},
        {"journal-frames", 0, 0, G_OPTION_ARG_NONE, &journalFrames,
         "Journal every OTA frame too (slows the stream down)", nullptr},
        {"upgrade-ms", 0, 0, G_OPTION_ARG_INT, &upgradeMs,
         "Duration of a simulated upgrade (default 3000)", "MS"},
        {"reply", 0, 0, G_OPTION_ARG_STRING_ARRAY, &replies,
         "Answer command CMD with TEXT and do nothing else (repeatable)", "CMD=TEXT"},
        {"delay", 0, 0, G_OPTION_ARG_STRING_ARRAY, &delays,
         "Hold the answer to command CMD for MS milliseconds (repeatable)", "CMD=MS"},
        {"wrong-type", 0, 0, G_OPTION_ARG_STRING_ARRAY, &wrongTypes,
         "Answer command CMD with an empty reply instead of a text (repeatable)", "CMD"},
        {"exit-after", 0, 0, G_OPTION_ARG_INT, &exitAfterMs, "Stop after MS milliseconds", "MS"},
        {"state-dir", 0, 0, G_OPTION_ARG_FILENAME, &stateDir,
         "Folder for received data (default $STATE_DIRECTORY, else /var/lib/qz-swu for root, "
         "else $XDG_STATE_HOME/qz-swu)",
         "DIR"},
        {"ota-output", 0, 0, G_OPTION_ARG_FILENAME, &otaOutput,
         "Where a received OTA image is written (default DIR/qz-ota-image.bin)", "FILE"},
        {"ota-group", 0, 0, G_OPTION_ARG_STRING, &otaGroup,
         "Group whose members may stream OTA frames (default " QZ_SWU_OTA_GROUP ")", "GROUP"},
        {"ota-max-connections", 0, 0, G_OPTION_ARG_INT, &maxConnections,
         "OTA stream connections open at once; more are refused (default 16)", "N"},
        {"ota-idle-ms", 0, 0, G_OPTION_ARG_INT, &idleTimeoutMs,
         "Close an OTA stream connection silent for MS milliseconds (default 60000; 0: never)",
         "MS"},
        {"no-ota-socket", 0, 0, G_OPTION_ARG_NONE, &noOtaSocket,
         "Do not listen on the OTA stream socket", nullptr},
        {"verbose", 0, 0, G_OPTION_ARG_NONE, &verbose, "Log every call and frame", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };

    g_autoptr(GOptionContext) context = g_option_context_new("- reference upgrade daemon");
    g_option_context_add_main_entries(context, entries, nullptr);
    g_option_context_set_description(context, kBehaviour);
    g_autoptr(GError) parseError = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &parseError)) {
        error = parseError->message;
        return std::nullopt;
    }
    if (argc > 1) {
        error = std::string("unexpected argument '") + argv[1] + "'";
        return std::nullopt;
    }
    if (upgradeMs < 0 || exitAfterMs < 0 || idleTimeoutMs < 0) {
        error = "durations must not be negative";
        return std::nullopt;
    }
    if (maxConnections < 1) {
        error = "--ota-max-connections must be at least 1";
        return std::nullopt;
    }

    DaemonOptions options;
    options.journalPath = journal ? journal : "";
    options.upgradeMs = upgradeMs;
    options.exitAfterMs = exitAfterMs;
    options.otaSocket = !noOtaSocket;
    options.otaMaxConnections = maxConnections;
    options.otaIdleTimeoutMs = idleTimeoutMs;
    options.verbose = verbose;
    options.journalFrames = journalFrames;
    options.stateDir = stateDir ? stateDir : DefaultStateDir();
    options.otaGroup = otaGroup ? otaGroup : QZ_SWU_OTA_GROUP;
    if (otaOutput != nullptr) {
        options.otaOutputPath = otaOutput;
    } else {
        g_autofree gchar* path =
            g_build_filename(options.stateDir.c_str(), kDefaultOtaImageName, nullptr);
        options.otaOutputPath = path;
    }
    if (!CollectReplies(replies, options, error) || !CollectDelays(delays, options, error) ||
        !CollectWrongTypes(wrongTypes, options, error))
        return std::nullopt;
    return options;
}

}  // namespace daemon
}  // namespace qz
