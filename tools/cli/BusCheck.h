// What the bus itself says about the upgrade daemon: whether its name has
// an owner, and how a harmless state query to it ends. The library folds
// every failed call into "false" or "Idle"; the tool asks the bus before it
// tells the user why.
#ifndef QZ_SWU_CLI_BUS_CHECK_H
#define QZ_SWU_CLI_BUS_CHECK_H

#include <gio/gio.h>

#include <string>

namespace qzcli {

enum class DaemonState {
    kAnswers,   // the state query went through and the daemon replied
    kNotOnBus,  // no bus, or nobody owns the daemon's name
    kDenied,    // the bus policy turned the call away
    kSilent,    // the name has an owner, but the query got no reply
};

struct DaemonLook {
    DaemonState state = DaemonState::kNotOnBus;
    std::string owner;       // unique name of the owner; empty when none
    std::string stateReply;  // the reply to the state query, when it answered
    std::string errorName;   // the bus's error name, when it gave one
    std::string detail;      // what went wrong otherwise, for the user
};

// Group that the shipped bus policy lets call the daemon (besides root).
const char* PolicyGroup();

// D-Bus error names the tool tells apart.
DaemonState StateForError(const std::string& errorName);

class BusCheck {
public:
    // Connects to the system bus (the same shared connection the library
    // uses); a failure is kept and reported by Look().
    BusCheck();
    ~BusCheck();
    BusCheck(const BusCheck&) = delete;
    BusCheck& operator=(const BusCheck&) = delete;

    // The owner of the daemon's name, then the state query to it.
    DaemonLook Look();
    // The current owner; empty when there is none or the bus is gone.
    std::string Owner();

private:
    GDBusConnection* m_conn = nullptr;
    std::string m_connectError;
};

}  // namespace qzcli

#endif  // QZ_SWU_CLI_BUS_CHECK_H
