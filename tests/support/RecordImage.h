// What a packed request record holds, for the tests, benchmarks and fuzzers
// that check an image or a round trip.
#ifndef QZ_TEST_RECORD_IMAGE_H
#define QZ_TEST_RECORD_IMAGE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "SWUInterfaceData.h"

namespace qztest {

// 47 bytes of lengths, terminating zeros and numbers around the characters.
inline size_t PackedRecordSize(const SWUDataContainer& r)
{
    return 47 + r.m_strSoftwareID.size() + r.m_strFileName.size() + r.m_strSWVersion.size() +
           r.m_strURL.size() + r.m_strCertificatePath.size() + r.m_strCabinetID.size();
}

// A record's fields in image order: the six strings, then the five numbers.
struct RecordFields {
    std::array<const char*, 6> strings;  // software id, file, version, URL, certificate, cabinet
    uint32_t totalBytes;
    int32_t productType;
    bool isURL;
    int32_t upgradeType;
    int32_t verifyHost;
};

inline SWUDataContainer MakeRecord(const RecordFields& f)
{
    SWUDataContainer r;
    std::string* const strings[] = {&r.m_strSoftwareID, &r.m_strFileName,        &r.m_strSWVersion,
                                    &r.m_strURL,        &r.m_strCertificatePath, &r.m_strCabinetID};
    for (size_t i = 0; i < f.strings.size(); ++i)
        *strings[i] = f.strings[i];
    r.m_lTotalBytes = f.totalBytes;
    r.m_nProductType = f.productType;
    r.m_bIsURL = f.isURL;
    r.m_nUpgradeType = f.upgradeType;
    r.m_nVerifyHost = f.verifyHost;
    return r;
}

inline bool SameRecord(const SWUDataContainer& a, const SWUDataContainer& b)
{
    return a.m_strSoftwareID == b.m_strSoftwareID && a.m_strFileName == b.m_strFileName &&
           a.m_strSWVersion == b.m_strSWVersion && a.m_strURL == b.m_strURL &&
           a.m_strCertificatePath == b.m_strCertificatePath &&
           a.m_strCabinetID == b.m_strCabinetID && a.m_lTotalBytes == b.m_lTotalBytes &&
           a.m_nProductType == b.m_nProductType && a.m_bIsURL == b.m_bIsURL &&
           a.m_nUpgradeType == b.m_nUpgradeType && a.m_nVerifyHost == b.m_nVerifyHost;
}

}  // namespace qztest

#endif  // QZ_TEST_RECORD_IMAGE_H
