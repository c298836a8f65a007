// Plain types shared by the upgrade client and its callers.
#ifndef QZ_SWU_TYPES_H
#define QZ_SWU_TYPES_H

#include <cstdint>
#include <string>

// Kind of upgrade; travels in stSWUpgradeInfo::nUpgradeType.
enum eSWUpgradeType : int32_t {
    SWU_TYPE_NONE = 0,  // let the client classify the request
    SWU_TYPE_MAIN = 1,
    SWU_TYPE_MODEL_A = 6,
    SWU_TYPE_MODEL_B = 7,
    SWU_TYPE_MODEL_C = 8,
    SWU_TYPE_IMAGE = 9,
    SWU_TYPE_FPGA = 10,
    SWU_TYPE_CAL = 11,
    SWU_TYPE_CABINET_BIN_03 = 12,
    SWU_TYPE_CABINET_BIN_04 = 13,
    SWU_TYPE_CABINET_BIN_05 = 14,
    SWU_TYPE_CABINET_BIN_06 = 15,
    SWU_TYPE_CABINET_BIN_07 = 16,
    SWU_TYPE_CABINET_BIN_08 = 17,
    SWU_TYPE_CABINET_BIN_09 = 18,
    SWU_TYPE_CABINET_BIN_10 = 19,
    SWU_TYPE_CABINET_BIN_11 = 20,
    SWU_TYPE_CABINET_BIN_12 = 21,
    SWU_TYPE_LUMORA_PLAYER = 22,
    SWU_TYPE_BYPASS = 23,  // submitted without busy test and bookkeeping
};

// Requester of an upgrade; travels in stSWUpgradeInfo::nProductType.
enum eSWUpgradeProcess : int32_t {
    SWU_PROCESS_JOR = 1,
    SWU_PROCESS_KAV = 2,
    SWU_PROCESS_URL = 4,
    SWU_PROCESS_OTA = 7,
    SWU_PROCESS_JOR_AUX = 8,
    SWU_PROCESS_KAV_AUX = 9,
};

// An upgrade request, filled by the caller.
struct stSWUpgradeInfo {
    std::string szSoftwareID;
    std::string szFileName;
    std::string szSWVersion;
    uint32_t lTotalBytes = 0;
    eSWUpgradeProcess nProductType = static_cast<eSWUpgradeProcess>(0);
    eSWUpgradeType nUpgradeType = SWU_TYPE_NONE;
    bool bIsURL = false;
    std::string szURL;
    int32_t nVerifyHost = 0;
    std::string szCertificatePath;
    std::string szCabinetID;
};

// The last upgrade result as the daemon stored it ("&"-joined fields).
struct stSWUpgradeResult {
    std::string szPending;
    std::string szID;
    std::string szResult;
    std::string szProcess;
    std::string szExtra;
};

#endif  // QZ_SWU_TYPES_H
