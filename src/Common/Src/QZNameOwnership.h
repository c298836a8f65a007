// Ownership of the endpoint's bus name, without GLib's name-owning helper.
//
// That helper leaves an idle source, a pending reply and a reference to its
// state on the owner's main context for every name it owns and releases;
// they are freed only when the application iterates that context. An
// application that never does grew by kilobytes with every endpoint it
// created and destroyed. Here the name is requested and released with plain
// messages that nothing waits for: a filter on the connection takes the bus's
// answer and the later name changes, and the notifications travel as sources
// of our own, which Release() removes at once. The notifications themselves
// still reach the endpoint only while the application iterates the main
// context that was the thread's default when the name was requested.
#ifndef QZ_NAME_OWNERSHIP_H
#define QZ_NAME_OWNERSHIP_H

#include <gio/gio.h>

class CQZGDBus;

namespace qz {
namespace bus {

// Requests the name (queueing behind a current owner, replacing nobody) and
// returns a non-zero id for Release. The outcome is announced later through
// the endpoint's name callbacks, as is the loss of the connection.
unsigned OwnName(CQZGDBus* endpoint, GDBusConnection* connection, const char* name);

// Stops the notifications, drops those not yet delivered and gives the name
// back to the bus.
void ReleaseName(unsigned ownerId);

// The main context the name's notifications go to (a new reference), or
// null for an unknown id.
GMainContext* NameContext(unsigned ownerId);

}  // namespace bus
}  // namespace qz

#endif  // QZ_NAME_OWNERSHIP_H
