// A bound on inbound calls that wait for the application's main loop.
//
// GDBus reads every call as it arrives and queues it on the main context
// the object was registered from; nothing is served until the application
// iterates that context. A peer flooding an application that does not (or
// not yet) iterate it would grow the queue without end. A filter on the
// connection counts the calls to the endpoint's object that are queued and
// not yet served, and answers further ones at once with an error.
#ifndef QZ_INBOUND_LIMIT_H
#define QZ_INBOUND_LIMIT_H

#include <gio/gio.h>

namespace qz {
namespace bus {

// Calls (and payload bytes) that may wait for the main loop per endpoint.
constexpr int kMaxWaitingCalls = 256;
constexpr gsize kMaxWaitingBytes = 4 * 1024 * 1024;
constexpr const char* kLimitError = "org.freedesktop.DBus.Error.LimitsExceeded";

// Starts counting the calls for the object registered under registrationId.
void LimitInbound(GDBusConnection* connection, unsigned registrationId);
// Stops it; later calls are GDBus's alone again.
void StopLimitingInbound(unsigned registrationId);
// A counted call has reached its handler.
void InboundServed(unsigned registrationId, GVariant* parameters);

}  // namespace bus
}  // namespace qz

#endif  // QZ_INBOUND_LIMIT_H
