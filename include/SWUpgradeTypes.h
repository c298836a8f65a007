/**
 * \file
 * Plain types shared by the upgrade client and its callers: the kinds of
 * upgrade, the requesters, the request an application fills and the last
 * result the daemon stored.
 */
#ifndef QZ_SWU_TYPES_H
#define QZ_SWU_TYPES_H

#include <cstdint>
#include <string>

/**
 * Kind of upgrade, 32 bits; travels in stSWUpgradeInfo::nUpgradeType and
 * SWUDataContainer::m_nUpgradeType.
 *
 * SWUpgradeInterface::m_GetUpgradeType() finds the kind from marker texts in
 * the version text (and ".img" in the file name). Values 2 to 5 have no
 * meaning in the library: a caller may send any value, and it reaches the
 * daemon unchanged unless it is ::SWU_TYPE_NONE.
 */
enum eSWUpgradeType : int32_t {
    SWU_TYPE_NONE = 0,             ///< Not given: the client classifies the request.
    SWU_TYPE_MAIN = 1,             ///< The main software: no marker matched.
    SWU_TYPE_MODEL_A = 6,          ///< Version text holds "QR-KELTPNHAS" or "QR-KEMTPNHAS".
    SWU_TYPE_MODEL_B = 7,          ///< Version text holds "QR-ZOWAPLDHAF".
    SWU_TYPE_MODEL_C = 8,          ///< Version text holds "TODO".
    SWU_TYPE_IMAGE = 9,            ///< File name holds ".img".
    SWU_TYPE_FPGA = 10,            ///< Version text holds "FPGAFW".
    SWU_TYPE_CAL = 11,             ///< Version text holds "CAL".
    SWU_TYPE_CABINET_BIN_03 = 12,  ///< Version text holds "CABINET_BIN_03".
    SWU_TYPE_CABINET_BIN_04 = 13,  ///< Version text holds "CABINET_BIN_04".
    SWU_TYPE_CABINET_BIN_05 = 14,  ///< Version text holds "CABINET_BIN_05".
    SWU_TYPE_CABINET_BIN_06 = 15,  ///< Version text holds "CABINET_BIN_06".
    SWU_TYPE_CABINET_BIN_07 = 16,  ///< Version text holds "CABINET_BIN_07".
    SWU_TYPE_CABINET_BIN_08 = 17,  ///< Version text holds "CABINET_BIN_08".
    SWU_TYPE_CABINET_BIN_09 = 18,  ///< Version text holds "CABINET_BIN_09".
    SWU_TYPE_CABINET_BIN_10 = 19,  ///< Version text holds "CABINET_BIN_10".
    SWU_TYPE_CABINET_BIN_11 = 20,  ///< Version text holds "CABINET_BIN_11".
    SWU_TYPE_CABINET_BIN_12 = 21,  ///< Version text holds "CABINET_BIN_12".
    /// The player application while the player mode is on; set only by the
    /// information-file form of SWUpgradeInterface::SoftwareUpdate().
    SWU_TYPE_LUMORA_PLAYER = 22,
    /// Submitted without the busy test and without the requester bookkeeping;
    /// only callers set it.
    SWU_TYPE_BYPASS = 23,
};

/**
 * Requester of an upgrade, 32 bits; travels in stSWUpgradeInfo::nProductType
 * and SWUDataContainer::m_nProductType.
 *
 * SWUpgradeInterface::m_UpdateProcessMgr() turns ::SWU_PROCESS_JOR and
 * ::SWU_PROCESS_KAV into their auxiliary values when the kind is not
 * ::SWU_TYPE_MAIN. Values 0, 3, 5 and 6 have no meaning in the library and
 * pass through unchanged.
 */
enum eSWUpgradeProcess : int32_t {
    /// Paired with the stored result label "ProcJOR" by the busy test; used by
    /// the information-file form of SWUpgradeInterface::SoftwareUpdate().
    SWU_PROCESS_JOR = 1,
    /// Paired with the stored result label "ProcKAV" by the busy test; used by
    /// the offset form of SWUpgradeInterface::SoftwareUpdate().
    SWU_PROCESS_KAV = 2,
    SWU_PROCESS_URL = 4,      ///< Used by the URL form of SWUpgradeInterface::SoftwareUpdate().
    SWU_PROCESS_OTA = 7,      ///< Used by the OTA plan and by the version check.
    SWU_PROCESS_JOR_AUX = 8,  ///< ::SWU_PROCESS_JOR asking for a kind other than the main software.
    SWU_PROCESS_KAV_AUX = 9,  ///< ::SWU_PROCESS_KAV asking for a kind other than the main software.
};

/**
 * An upgrade request, owned and filled by the caller and handed to
 * SWUpgradeInterface::SoftwareUpdate(stSWUpgradeInfo*).
 *
 * A new one has empty texts, zero numbers and a false flag. Only the file
 * name, the version, the requester and the kind mean something to the
 * library; the other fields are logged and forwarded to the daemon as they
 * are.
 */
struct stSWUpgradeInfo {
    std::string szSoftwareID;  ///< Identifier of the software; forwarded (an OTA plan's text).
    std::string szFileName;    ///< Name (path) of the upgrade file; input to the classification.
    std::string szSWVersion;   ///< Version of the offered software; input to the classification.
    uint32_t lTotalBytes = 0;  ///< Size of the upgrade file in bytes; 32 bits on every platform.
    /// The requester. SoftwareUpdate() overwrites it with the value the
    /// bookkeeping settles (unless the kind is ::SWU_TYPE_BYPASS).
    eSWUpgradeProcess nProductType = static_cast<eSWUpgradeProcess>(0);
    /// The kind; ::SWU_TYPE_NONE lets the library classify the request (only
    /// the record sent gets the settled kind, this field is never changed).
    eSWUpgradeType nUpgradeType = SWU_TYPE_NONE;
    bool bIsURL = false;            ///< True when the daemon is to fetch the file from szURL.
    std::string szURL;              ///< Download address; forwarded.
    int32_t nVerifyHost = 0;        ///< Host verification setting of the download; forwarded.
    std::string szCertificatePath;  ///< Certificate file of the download; forwarded.
    std::string szCabinetID;        ///< Identifier of a cabinet; forwarded.
};

/**
 * The last upgrade result as the daemon stored it under
 * "db/corvane/swupgrade/swu_result": five fields joined by "&", in the order
 * of the members. Owned by the caller, filled by
 * SWUpgradeInterface::readResult(), which leaves fields that the stored text
 * does not reach as they were.
 */
struct stSWUpgradeResult {
    /// "true" until the result is acknowledged (SWUpgradeInterface::NotifySWUpdateResult()),
    /// then "false".
    std::string szPending;
    std::string szID;  ///< Identifier of the upgrade the result belongs to.
    std::string
        szResult;  ///< The result text, as SWUpgradeInterface::GetSWUpgradeStatus() returns it.
    std::string
        szProcess;        ///< Label of the requester that started it, e.g. "ProcJOR" or "ProcKAV".
    std::string szExtra;  ///< A fifth text the library only logs.
};

#endif  // QZ_SWU_TYPES_H
