#include "QZCallError.h"

namespace qz {
namespace bus {

namespace {
thread_local CallError t_lastError;
}  // namespace

void NoteCallError(const GError* error)
{
    t_lastError =
        error == nullptr ? CallError{false, 0, 0} : CallError{true, error->domain, error->code};
}

CallError LastCallError() { return t_lastError; }

}  // namespace bus
}  // namespace qz
