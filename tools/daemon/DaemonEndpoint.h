// The daemon's side of the command interface: serves the client's
// commands on "SendByteMessageWithRet" over the library's own endpoint.
#ifndef QZ_DAEMON_ENDPOINT_H
#define QZ_DAEMON_ENDPOINT_H

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "DaemonOptions.h"
#include "Journal.h"
#include "OtaImage.h"
#include "QZGDBus.h"
#include "SWUInterfaceData.h"
#include "UpgradeSimulation.h"

namespace qz {
namespace daemon {

class DaemonEndpoint : public CQZGDBus {
public:
    DaemonEndpoint(const DaemonOptions& options, Journal& journal, UpgradeSimulation& upgrade,
                   OtaImage& otaImage);
    ~DaemonEndpoint() override;

    // Create, and from then on note who sends each command: an OTA plan
    // belongs to the process that submitted it.
    bool Serve(const char* busName);

    // Ends a reply delay early, so that a stop request is not held up by a
    // command scripted never to answer.
    void RequestStop() { m_bStopping = true; }

    GDBusConnection* BusConnection() const { return m_pBusConnection; }

protected:
    bool t_OnMessage(int command, const void* data, int length, std::string& response) override;
    bool t_OnMessage(int command, int param0, std::string& response) override;
    bool t_OnMessage(int command, int param0, int param1, int param2, const std::string& param3,
                     std::string& response) override;
    bool t_OnMessage(int command, const void* data, int length,
                     std::vector<char>& response) override;

private:
    static GDBusMessage* RecordCaller(GDBusConnection* connection, GDBusMessage* message,
                                      gboolean incoming, gpointer self);
    std::string TakeCaller();
    bool IdentifyCaller(const std::string& caller, OtaPlanner& planner);

    std::string Dispatch(int command, const void* data, int length, const std::string& caller);
    std::string SubmitRequest(const void* data, int length, const std::string& caller);
    std::string AcceptOtaPlan(const SWUDataContainer& request, const std::string& caller);
    std::string RecordCabinetValue(int command, const void* data, int length);
    std::string ReportProgress() const;
    std::string ReportOffset() const;
    std::string ReportState() const;
    std::string NotifyResult();

    bool UnpackRecord(const void* data, int length, SWUDataContainer& record);
    void HoldReply(int command);
    void RejectMethod(const char* shape, int command);

    const DaemonOptions& m_options;
    Journal& m_journal;
    UpgradeSimulation& m_upgrade;
    OtaImage& m_otaImage;
    bool m_bStopping = false;
    // Senders of the commands received and not yet handled, oldest first;
    // filled on GDBus's worker thread, which may still hold the queue for a
    // moment after the filter is removed.
    struct Callers {
        std::mutex lock;
        std::deque<std::string> senders;
    };
    std::shared_ptr<Callers> m_pCallers = std::make_shared<Callers>();
    GDBusConnection* m_pFilteredConnection = nullptr;
    guint m_nCallerFilter = 0;
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_ENDPOINT_H
