// The upgrade client object: construction, classification of requests, the
// busy test, submission of a request record, and the progress/status/result
// queries over the daemon and the key-value store.
#include "SWUpgradeInterface.h"

#include <glib.h>
#include <vconf.h>

#include <cstdlib>

#include "QzLog.h"
#include "SWUpgradeInternal.h"
#include "SWUpgradeResultText.h"

SWUpgradeInterface* SWUpgradeInterface::m_pObject = nullptr;

namespace {

using qz::swu::Report;

// Classification markers. Separate objects created at load time, in this
// order, so that they exist before any operation of the library can run.
const std::string kMarkerImage = ".img";
const std::string kMarkerFPGA = "FPGAFW";
const std::string kMarkerCAL = "CAL";
const std::string kMarkerCabinet03 = "CABINET_BIN_03";
const std::string kMarkerCabinet04 = "CABINET_BIN_04";
const std::string kMarkerCabinet05 = "CABINET_BIN_05";
const std::string kMarkerCabinet06 = "CABINET_BIN_06";
const std::string kMarkerCabinet07 = "CABINET_BIN_07";
const std::string kMarkerCabinet08 = "CABINET_BIN_08";
const std::string kMarkerCabinet09 = "CABINET_BIN_09";
const std::string kMarkerCabinet10 = "CABINET_BIN_10";
const std::string kMarkerCabinet11 = "CABINET_BIN_11";
const std::string kMarkerCabinet12 = "CABINET_BIN_12";
const std::string kMarkerModelA1 = "QR-KELTPNHAS";
const std::string kMarkerModelA2 = "QR-KEMTPNHAS";
const std::string kMarkerModelB = "QR-ZOWAPLDHAF";
const std::string kMarkerModelC = "TODO";

// Cabinet markers in increasing number; index i maps to
// SWU_TYPE_CABINET_BIN_03 + i.
const std::string* const kCabinetMarkers[] = {
    &kMarkerCabinet03, &kMarkerCabinet04, &kMarkerCabinet05, &kMarkerCabinet06, &kMarkerCabinet07,
    &kMarkerCabinet08, &kMarkerCabinet09, &kMarkerCabinet10, &kMarkerCabinet11, &kMarkerCabinet12};

bool Holds(const std::string& text, const std::string& marker)
{
    return text.find(marker) != std::string::npos;
}

// The first rule that matches decides; model codes come before the generic
// markers because a model's version text may also carry e.g. "FPGAFW".
eSWUpgradeType ClassifyByMarkers(const std::string& fileName, const std::string& version)
{
    if (Holds(version, kMarkerModelA1) || Holds(version, kMarkerModelA2))
        return SWU_TYPE_MODEL_A;
    if (Holds(version, kMarkerModelB))
        return SWU_TYPE_MODEL_B;
    if (Holds(version, kMarkerModelC))
        return SWU_TYPE_MODEL_C;
    if (Holds(version, kMarkerFPGA))
        return SWU_TYPE_FPGA;
    if (Holds(version, kMarkerCAL))
        return SWU_TYPE_CAL;
    int index = 0;
    for (const std::string* marker : kCabinetMarkers) {
        if (Holds(version, *marker))
            return static_cast<eSWUpgradeType>(SWU_TYPE_CABINET_BIN_03 + index);
        ++index;
    }
    if (Holds(fileName, kMarkerImage))
        return SWU_TYPE_IMAGE;
    return SWU_TYPE_NONE;
}

SWUDataContainer MakeRequestRecord(const stSWUpgradeInfo& info, eSWUpgradeType type)
{
    SWUDataContainer record;
    record.m_strSoftwareID = info.szSoftwareID;
    record.m_strFileName = info.szFileName;
    record.m_strSWVersion = info.szSWVersion;
    record.m_strURL = info.szURL;
    record.m_strCertificatePath = info.szCertificatePath;
    record.m_strCabinetID = info.szCabinetID;
    record.m_nUpgradeType = type;
    record.m_lTotalBytes = info.lTotalBytes;
    record.m_nProductType = info.nProductType;
    record.m_bIsURL = info.bIsURL;
    record.m_nVerifyHost = info.nVerifyHost;
    return record;
}

// The daemon's state ("InProgressStatus", "InitStatus", ...), or the empty
// text when it cannot be asked. Writes no log line.
std::string QueryDaemonState(CQZGDBus* bus)
{
    return qz::swu::DaemonLink(bus, "QueryDaemonState")
        .Send(qz::swu::kCmdQueryState, Report::Nothing)
        .text;
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

SWUpgradeInterface::SWUpgradeInterface()
    : m_pGDBus(nullptr),
      m_bOTAActive(false),
      m_bStreamFailed(false),
      otaTotalSize_(0),
      m_nOTASentSize(0),
      m_nSocketFd(0)
{
    m_pGDBus = new CQZGDBus();
    // The object stays usable without the bus: the store-only queries work,
    // and every daemon command reports the endpoint's failure result.
    if (!m_pGDBus->Create(qz::swu::kLibraryBusName))
        QZ_LOGE(QZ_HL_BEGIN "Failed to initialize CQZGDBus!" QZ_HL_END);
}

SWUpgradeInterface::~SWUpgradeInterface()
{
    // The endpoint's destructor unregisters it and releases the name first,
    // so no inbound call can reach it once it is gone.
    delete m_pGDBus;
    m_pGDBus = nullptr;
    qz::swu::CloseOTAStream(m_nSocketFd);
}

extern "C" int qz_swu_notify_upgrade_result() { return 0; }

extern "C" int qz_swu_upgrade_from_type() { return 0; }

// ------------------------------------------------------------ classification

eSWUpgradeType SWUpgradeInterface::m_GetUpgradeType(std::string strFileName, std::string strVersion)
{
    QZ_LOGE(QZ_HL_BEGIN "File Name [%s], version [%s]" QZ_HL_END, strFileName.c_str(),
            strVersion.c_str());
    eSWUpgradeType type = ClassifyByMarkers(strFileName, strVersion);
    if (type == SWU_TYPE_NONE) {
        QZ_LOGE(QZ_HL_BEGIN "This is not Valens/FPGA/Cabinet update file." QZ_HL_END);
        type = SWU_TYPE_MAIN;
    }
    QZ_LOGE(QZ_HL_BEGIN "Upgrade Type : [%d]" QZ_HL_END, type);
    return type;
}

eSWUpgradeProcess SWUpgradeInterface::m_UpdateProcessMgr(std::string strFileName,
                                                         std::string strVersion,
                                                         eSWUpgradeProcess eProcess,
                                                         eSWUpgradeType& eType)
{
    // A kind given by the caller wins over the markers.
    if (eType == SWU_TYPE_NONE)
        eType = m_GetUpgradeType(strFileName, strVersion);
    QZ_LOGE(QZ_HL_BEGIN "Upgrade Type [%d]" QZ_HL_END, eType);

    const bool isMain = (eType == SWU_TYPE_MAIN);
    if (eProcess == SWU_PROCESS_JOR)
        return isMain ? SWU_PROCESS_JOR : SWU_PROCESS_JOR_AUX;
    if (eProcess == SWU_PROCESS_KAV)
        return isMain ? SWU_PROCESS_KAV : SWU_PROCESS_KAV_AUX;
    return eProcess;
}

bool SWUpgradeInterface::isSWUpgrading(eSWUpgradeProcess eProcess)
{
    stSWUpgradeResult stored;
    if (!readResult(&stored))
        return false;
    if (stored.szPending == "false")
        return false;
    // A requester may go on over its own unnotified result, except JOR,
    // which must notify it first.
    if (eProcess == SWU_PROCESS_KAV && stored.szProcess == qz::swu::kLabelKAV)
        return false;
    if (eProcess == SWU_PROCESS_JOR && stored.szProcess == qz::swu::kLabelJOR) {
        QZ_LOGE(QZ_HL_BEGIN
                "Previous result was not notified... by:[%s], id:[%s], result:[%s]" QZ_HL_END,
                stored.szProcess.c_str(), stored.szID.c_str(), stored.szResult.c_str());
        return true;
    }

    if (QueryDaemonState(m_pGDBus) == qz::swu::kReplyIdle)
        return false;

    QZ_LOGI("%s, %s, %s, %s, %s\n", stored.szPending.c_str(), stored.szID.c_str(),
            stored.szResult.c_str(), stored.szProcess.c_str(), stored.szExtra.c_str());
    return true;
}

// ---------------------------------------------------------------- submission

bool SWUpgradeInterface::SoftwareUpdate(stSWUpgradeInfo* pstSWUInfo)
{
    QZ_LOGI("SWUpgradeInterface::SWUpdate\n");

    if (pstSWUInfo->nUpgradeType != SWU_TYPE_BYPASS && isSWUpgrading(pstSWUInfo->nProductType)) {
        QZ_LOGE(QZ_HL_BEGIN
                "SWUpgradeInterface::SWUpdate Another Instance of SWupgrade is Active" QZ_HL_END);
        return false;
    }
    QZ_LOGE(QZ_HL_BEGIN "Before Sending the Message" QZ_HL_END);

    // The settled kind goes only into the record; the caller's stays as given.
    eSWUpgradeType type = pstSWUInfo->nUpgradeType;
    if (type != SWU_TYPE_BYPASS) {
        const eSWUpgradeProcess process = m_UpdateProcessMgr(
            pstSWUInfo->szFileName, pstSWUInfo->szSWVersion, pstSWUInfo->nProductType, type);
        QZ_LOGE(QZ_HL_BEGIN "Updated Process Manager [%d]" QZ_HL_END, process);
        pstSWUInfo->nProductType = process;
    }

    const SWUDataContainer record = MakeRequestRecord(*pstSWUInfo, type);

    QZ_LOGI("nUpgradeType [%d]\n", type);
    QZ_LOGE(QZ_HL_BEGIN "Product Type [%d]" QZ_HL_END, pstSWUInfo->nProductType);
    QZ_LOGI("pstSWUInfo->szSoftwareID [%s]\n", pstSWUInfo->szSoftwareID.c_str());
    QZ_LOGI("pstSWUInfo->szFileName [%s]\n", pstSWUInfo->szFileName.c_str());
    QZ_LOGI("pstSWUInfo->szSWVersion [%s]\n", pstSWUInfo->szSWVersion.c_str());
    QZ_LOGI("pstSWUInfo->szURL [%s]\n", pstSWUInfo->szURL.c_str());
    QZ_LOGI("pstSWUInfo->lTotalBytes [%u]\n", pstSWUInfo->lTotalBytes);
    QZ_LOGI("pstSWUInfo->nVerifyHost [%d]\n", pstSWUInfo->nVerifyHost);
    QZ_LOGI("pstSWUInfo->bIsURL [%d]\n", pstSWUInfo->bIsURL ? 1 : 0);
    QZ_LOGI("pstSWUInfo->szCertificatePath [%s]\n", pstSWUInfo->szCertificatePath.c_str());
    QZ_LOGI("pstSWUInfo->szCabinetID [%s]\n", pstSWUInfo->szCabinetID.c_str());

    return qz::swu::DaemonLink(m_pGDBus, __func__)
        .Send(qz::swu::kCmdSubmitRequest, record, Report::Delivery)
        .accepted;
}

// ------------------------------------------------------------------- queries

bool SWUpgradeInterface::GetUpgradeProgress(int& progress)
{
    qz::swu::DaemonLink link(m_pGDBus, __func__);
    const qz::swu::DaemonReply reply = link.Query(qz::swu::kCmdQueryProgress);
    if (!reply.sent)
        return false;
    progress = qz::swu::NarrowToInt(reply.number);
    QZ_LOGE(QZ_HL_BEGIN "Current Progress[%d] & Return String [%s]" QZ_HL_END, progress,
            reply.word.c_str());
    return link.ReportResult(reply);
}

std::string SWUpgradeInterface::GetSWUpgradeStatus()
{
    if (QueryDaemonState(m_pGDBus) == qz::swu::kReplyInProgress)
        return "InProgress";

    // Not running (or the daemon cannot say): report an unnotified result.
    stSWUpgradeResult stored;
    if (readResult(&stored) && stored.szPending == "true")
        return stored.szResult;
    return "Idle";
}

// Platform texts are held in g_autofree: GLib allocates with the system
// malloc (since 2.46), so g_free is the free these texts ask for.
int SWUpgradeInterface::readProgress()
{
    g_autofree char* text = vconf_get_str(qz::swu::kKeyProgress);
    if (text == nullptr) {
        QZ_LOGE(QZ_HL_BEGIN "Failed to Read VConf Value" QZ_HL_END);
        return 0;
    }
    return static_cast<int>(strtol(text, nullptr, 10));
}

bool SWUpgradeInterface::readResult(stSWUpgradeResult* pResult)
{
    std::string stored;
    {
        g_autofree char* text = vconf_get_str(qz::swu::kKeyResult);
        if (text == nullptr) {
            QZ_LOGE(QZ_HL_BEGIN "Failed to Read VConf Value" QZ_HL_END);
            return false;
        }
        stored = text;
    }
    if (stored.empty()) {
        QZ_LOGE(QZ_HL_BEGIN "Invalid Key Value" QZ_HL_END);
        return false;
    }
    qz::swu::SplitStoredResult(stored, *pResult);
    return true;
}

bool SWUpgradeInterface::NotifySWUpdateResult()
{
    QZ_LOGE(QZ_HL_BEGIN QZ_HL_END);
    return qz::swu::DaemonLink(m_pGDBus, __func__)
        .Send(qz::swu::kCmdNotifyResult, Report::Result)
        .accepted;
}

bool SWUpgradeInterface::isLumoraMode()
{
    int mode = 0;
    if (vconf_get_int(qz::swu::kKeyPlayerMode, &mode) != 0)
        return false;
    return mode == 1;
}
