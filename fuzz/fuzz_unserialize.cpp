// SWUDataContainer::Unserialize over arbitrary bytes, as a receiving side
// would get them from the bus. Beyond memory safety it checks that reading
// never fails (a hostile length must not turn into a huge allocation), never
// grows the pack, and that whatever was read survives a second round trip.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "SWUInterfaceData.h"

namespace {

bool SameFields(const SWUDataContainer& a, const SWUDataContainer& b)
{
    return a.m_strSoftwareID == b.m_strSoftwareID && a.m_strFileName == b.m_strFileName &&
           a.m_strSWVersion == b.m_strSWVersion && a.m_strURL == b.m_strURL &&
           a.m_strCertificatePath == b.m_strCertificatePath &&
           a.m_strCabinetID == b.m_strCabinetID && a.m_lTotalBytes == b.m_lTotalBytes &&
           a.m_nProductType == b.m_nProductType && a.m_bIsURL == b.m_bIsURL &&
           a.m_nUpgradeType == b.m_nUpgradeType && a.m_nVerifyHost == b.m_nVerifyHost;
}

bool HasZeroByte(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QzFuzzQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    QzPack pack;
    pack.PutBytes(data, static_cast<uint32_t>(size));
    QZ_FUZZ_CHECK(pack.GetSize() == size);

    SWUDataContainer record;
    QZ_FUZZ_CHECK(record.Unserialize(pack));
    QZ_FUZZ_CHECK(pack.GetSize() <= size);

    // A string is read up to its first zero byte, so none can hold one; that
    // is what makes the round trip below exact.
    for (const std::string* text :
         {&record.m_strSoftwareID, &record.m_strFileName, &record.m_strSWVersion, &record.m_strURL,
          &record.m_strCertificatePath, &record.m_strCabinetID})
        QZ_FUZZ_CHECK(!HasZeroByte(*text));

    QzPack again;
    QZ_FUZZ_CHECK(record.Serialize(again));
    size_t strings = record.m_strSoftwareID.size() + record.m_strFileName.size() +
                     record.m_strSWVersion.size() + record.m_strURL.size() +
                     record.m_strCertificatePath.size() + record.m_strCabinetID.size();
    QZ_FUZZ_CHECK(again.GetSize() == 47 + strings);

    SWUDataContainer copy;
    QZ_FUZZ_CHECK(copy.Unserialize(again));
    QZ_FUZZ_CHECK(again.GetSize() == 0);
    QZ_FUZZ_CHECK(SameFields(record, copy));
    return 0;
}
