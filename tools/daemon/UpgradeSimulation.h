// The simulated upgrade: progress over a fixed time, then a stored result.
//
// Progress and result live where the client reads them, in the key-value
// store: the progress as decimal text, the result as five "&"-joined
// fields "true&<id>&<result>&<requester label>&<extra>".
#ifndef QZ_DAEMON_UPGRADE_SIMULATION_H
#define QZ_DAEMON_UPGRADE_SIMULATION_H

#include <glib.h>

#include <cstdint>
#include <string>

#include "Journal.h"
#include "SWUInterfaceData.h"

namespace qz {
namespace daemon {

// Label under which a requester's result is stored; the client pairs
// "ProcJOR" with requesters 1 and 8 and "ProcKAV" with 2 and 9.
const char* RequesterLabel(int32_t requester);

class UpgradeSimulation {
public:
    UpgradeSimulation(int durationMs, Journal& journal);
    ~UpgradeSimulation();
    UpgradeSimulation(const UpgradeSimulation&) = delete;
    UpgradeSimulation& operator=(const UpgradeSimulation&) = delete;

    bool Running() const { return m_nTimer != 0; }
    // Starts an upgrade for the request; false while one is running.
    bool Start(const SWUDataContainer& request);
    // Last progress, 0..100; stays at its final value once an upgrade ended.
    int Progress() const { return m_nProgress; }
    // Bytes of the current (or last) request done so far.
    int64_t Offset() const;
    // Rewrites the stored result's pending field to "false". False when no
    // result is stored.
    bool MarkResultNotified();

private:
    static gboolean OnTick(gpointer self);
    void Advance();
    void Finish();
    void PublishProgress();

    int m_nDurationMs;
    Journal& m_journal;
    guint m_nTimer = 0;
    gint64 m_nStartUs = 0;
    int m_nProgress = 0;
    unsigned m_nUpgradeCount = 0;
    SWUDataContainer m_request;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_UPGRADE_SIMULATION_H
