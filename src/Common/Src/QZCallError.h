// What the last outbound bus call of this thread failed with, in more
// detail than the endpoint's return value carries. The endpoint notes every
// failure here; the client reads it to tell the application why a call got
// no answer. Kept per thread, so no lock. Not installed, not exported.
#ifndef QZ_CALL_ERROR_H
#define QZ_CALL_ERROR_H

#include <glib.h>

namespace qz {
namespace bus {

struct CallError {
    bool connected = true;  // false: there was no connection to call on
    GQuark domain = 0;      // the GError's, when there was one
    int code = 0;
};

// error: the call's GError, or null when there was no connection at all.
void NoteCallError(const GError* error);
// The last failure noted on this thread.
CallError LastCallError();

}  // namespace bus
}  // namespace qz

#endif  // QZ_CALL_ERROR_H
