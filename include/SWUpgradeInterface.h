// The upgrade client: what applications link against to drive upgrades.
//
// Main loop: every operation is a blocking call and works without one. Only
// inbound calls to the library's bus name and its name notifications wait
// for the application to iterate the main context that was the thread's
// default when the object was built; see QZGDBus.h for what that costs.
//
// OTA stream: frames go only to a listener running as root, as the
// caller's user or as the daemon's user (build option QZ_SWU_DAEMON_USER).
// Connecting and writing one frame take at most 30 s (environment variable
// QZ_SWU_OTA_WRITE_TIMEOUT_MS); a frame that fails or is cut short finishes
// the connection, and the frames after it fail at once until the next plan.
#ifndef QZ_SWUPGRADE_INTERFACE_H
#define QZ_SWUPGRADE_INTERFACE_H

#include <sys/un.h>

#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "QZGDBus.h"
#include "QzExport.h"
#include "SWUpgradeTypes.h"

class QZ_EXPORT SWUpgradeInterface {
public:
    SWUpgradeInterface();
    virtual ~SWUpgradeInterface();

    SWUpgradeInterface(const SWUpgradeInterface&) = delete;
    SWUpgradeInterface& operator=(const SWUpgradeInterface&) = delete;

    // Submission.
    bool SoftwareUpdate(stSWUpgradeInfo* pstSWUInfo);
    bool SoftwareUpdate(const std::string& strFileName, long long llFileSize,
                        const std::string& strVersion, const std::string& strURL);
    bool SoftwareUpdate(const std::string& strFileName, long long llFileSize,
                        const std::string& strVersion, long long& llOffset,
                        const std::string& strCabinetID);
    bool SoftwareUpdate(const std::string& strSoftwareName, const std::string& strInfoFile,
                        const std::string& strUnused1, const std::string& strUnused2);

    // Classification and busy test.
    bool isSWUpgrading(eSWUpgradeProcess eProcess);
    eSWUpgradeType m_GetUpgradeType(std::string strFileName, std::string strVersion);
    eSWUpgradeProcess m_UpdateProcessMgr(std::string strFileName, std::string strVersion,
                                         eSWUpgradeProcess eProcess, eSWUpgradeType& eType);

    // Queries.
    bool GetUpgradeProgress(int& progress);
    std::string GetSWUpgradeStatus();
    int readProgress();
    bool readResult(stSWUpgradeResult* pResult);
    bool NotifySWUpdateResult();
    bool isLumoraMode();

    // Version check.
    bool isOTAUpgradeRequired(std::string newModelName, std::string newVersion);

    // Cabinet reporting.
    bool CabinetUpgradeProgress(int nProgress);
    bool OnCabinetUpgradeComplete(int nValue);

    // OTA upload.
    bool startOTAUpgrade(std::map<int, int> segments);
    bool stopOTAUpgrade();
    std::string segmentsInfoToString();
    void reset();
    void startClient();
    bool downloadOTAdata(int nArg1, void* pData, int nSize, int nArg4, int nArg5);

    static SWUpgradeInterface* m_pObject;

protected:
    CQZGDBus* m_pGDBus;
    bool m_bOTAActive;
    bool m_bStreamFailed;
    int32_t otaTotalSize_;
    int32_t m_nOTASentSize;
    int m_nSocketFd;
    struct sockaddr_un m_stSocketAddr;
    std::map<int, int> m_mapSegments;
    boost::mutex m_Mutex;
};

// Text of the first element named szTag in strContent (plain text search,
// not an XML parser); with bCDATA a character-data wrapper is removed.
QZ_EXPORT std::string GetContextbyTag(const std::string& strContent, const char* szTag,
                                      bool bCDATA);

extern "C" {
QZ_EXPORT int qz_swu_notify_upgrade_result();
QZ_EXPORT int qz_swu_upgrade_from_type();
}

#endif  // QZ_SWUPGRADE_INTERFACE_H
