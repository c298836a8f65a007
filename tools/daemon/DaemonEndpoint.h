// The daemon's side of the command interface: serves the client's
// commands on "SendByteMessageWithRet" over the library's own endpoint.
#ifndef QZ_DAEMON_ENDPOINT_H
#define QZ_DAEMON_ENDPOINT_H

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
    std::string Dispatch(int command, const void* data, int length);
    std::string SubmitRequest(const void* data, int length);
    std::string AcceptOtaPlan(const SWUDataContainer& request);
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
};

}  // namespace daemon
}  // namespace qz

#endif  // QZ_DAEMON_ENDPOINT_H
