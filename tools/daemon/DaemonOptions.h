// Command line of the reference upgrade daemon.
#ifndef QZ_DAEMON_OPTIONS_H
#define QZ_DAEMON_OPTIONS_H

#include <map>
#include <optional>
#include <set>
#include <string>

namespace qz {
namespace daemon {

struct DaemonOptions {
    std::string journalPath;
    int upgradeMs = 3000;
    // Scripted behaviour per command number, for tests of the client.
    std::map<int, std::string> forcedReplies;
    std::map<int, int> replyDelaysMs;
    std::set<int> wrongTypeCommands;
    int exitAfterMs = 0;        // 0: run until a signal
    std::string stateDir;       // where the daemon keeps what it receives
    std::string otaOutputPath;  // the received OTA image, in stateDir unless given
    // Besides root and the daemon's own user, members of this group may
    // stream OTA frames.
    std::string otaGroup;
    bool otaSocket = true;
    // Stream connections open at once, and how long one may stay silent
    // (0: as long as it likes).
    int otaMaxConnections = 16;
    int otaIdleTimeoutMs = 60000;
    bool verbose = false;
    // A journal line for every OTA frame, not only one per segment.
    bool journalFrames = false;
};

// Parses argv (GLib option syntax; --help prints and exits). Returns nullopt
// with a message in error when an option or its value is unusable.
std::optional<DaemonOptions> ParseDaemonOptions(int argc, char** argv, std::string& error);

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_OPTIONS_H
