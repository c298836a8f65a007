/**
 * @file SWUpgradeCallStatus.h
 * @brief Why the last call to the upgrade daemon got an answer or not.
 *
 * The operations of SWUpgradeInterface fold every failed call to the
 * daemon into their ordinary results: GetSWUpgradeStatus() gives "Idle",
 * the others false. Those results cannot tell an idle daemon from one that
 * could not be asked. Right after such an operation, on the same thread,
 * qz_swu_last_call_status() says how its last call to the daemon ended.
 *
 * @code
 * qz_swu_clear_call_status();
 * std::string status = client.GetSWUpgradeStatus();
 * if (qz_swu_last_call_status() != SWU_CALL_ANSWERED)
 *     warn("no answer: %s", qz_swu_call_status_name(qz_swu_last_call_status()));
 * @endcode
 *
 * Thread-safety: the status is kept per thread. Each thread sees the outcome
 * of its own last call only, so the functions need no lock and may be
 * called from any thread at any time.
 */
#ifndef QZ_SWUPGRADE_CALL_STATUS_H
#define QZ_SWUPGRADE_CALL_STATUS_H

#include "QzExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @brief How a call from this library to the upgrade daemon ended.
 *
 * The values are stable: an application may store or compare them.
 */
typedef enum {
    /** No call to the daemon on this thread since the start of the thread
     *  or the last qz_swu_clear_call_status(). */
    SWU_CALL_NONE = 0,
    /** The daemon replied with a value of the expected type. What it said
     *  (accepted or not) is the operation's own result. */
    SWU_CALL_ANSWERED = 1,
    /** There is no connection to the system bus: none could be opened, or
     *  the bus closed it. */
    SWU_CALL_NO_BUS = 2,
    /** The bus has no owner for the daemon's name: the daemon is not
     *  running. */
    SWU_CALL_NO_DAEMON = 3,
    /** The bus policy refused the call: the caller is not allowed to talk
     *  to the daemon (see the installed D-Bus policy). */
    SWU_CALL_DENIED = 4,
    /** No reply came: the bus time-out (about 25 s) passed, or the daemon
     *  went away while the call was waiting. */
    SWU_CALL_TIMED_OUT = 5,
    /** Something came back, but not the expected value: a reply of another
     *  type, or an error reply. */
    SWU_CALL_WRONG_REPLY = 6,
    /** The call failed in another way; the library log has the bus error. */
    SWU_CALL_FAILED = 7
} eSWUCallStatus;

/**
 * @brief How the last call to the daemon made on this thread ended.
 *
 * Every operation of SWUpgradeInterface that asks the daemon sets it, for
 * each call it makes; an operation that makes more than one (a submission
 * asks for the daemon's state first when a stored result is pending) leaves
 * the status of its last one. Operations that only read the key-value
 * store or classify (readResult(), readProgress(), isLumoraMode(),
 * m_GetUpgradeType()) and the OTA stream frames leave it as it was.
 *
 * Does not block and writes nothing to the log.
 *
 * @return SWU_CALL_ANSWERED when the daemon replied; SWU_CALL_NO_BUS,
 *         SWU_CALL_NO_DAEMON, SWU_CALL_DENIED, SWU_CALL_TIMED_OUT,
 *         SWU_CALL_WRONG_REPLY or SWU_CALL_FAILED when it gave no usable
 *         answer, for that reason; SWU_CALL_NONE when no call was made on
 *         this thread since it started or since qz_swu_clear_call_status().
 */
QZ_EXPORT eSWUCallStatus qz_swu_last_call_status(void);

/**
 * @brief Sets this thread's status back to SWU_CALL_NONE.
 *
 * Called before an operation, it lets the application tell an operation
 * that made no call to the daemon (its answer came from the key-value
 * store) from one that did. Does not block and writes nothing to the log.
 */
QZ_EXPORT void qz_swu_clear_call_status(void);

/**
 * @brief A short English name for a status, for messages and logs.
 *
 * @param status a value of eSWUCallStatus
 * @return "none", "answered", "no bus", "no daemon", "denied",
 *         "timed out", "wrong reply" or "failed"; "unknown" for a value
 *         that is none of these. The text is static: never free it.
 */
QZ_EXPORT const char* qz_swu_call_status_name(eSWUCallStatus status);

#ifdef __cplusplus
}
#endif

#endif  // QZ_SWUPGRADE_CALL_STATUS_H
