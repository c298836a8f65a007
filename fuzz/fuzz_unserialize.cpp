// SWUDataContainer::Unserialize over arbitrary bytes, as a receiving side
// would get them from the bus. Beyond memory safety it checks that reading
// never fails (a hostile length must not turn into a huge allocation), never
// grows the pack, and that whatever was read survives a second round trip.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "RecordImage.h"
#include "SWUInterfaceData.h"

namespace {

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
    QZ_FUZZ_CHECK(again.GetSize() == qztest::PackedRecordSize(record));

    SWUDataContainer copy;
    QZ_FUZZ_CHECK(copy.Unserialize(again));
    QZ_FUZZ_CHECK(again.GetSize() == 0);
    QZ_FUZZ_CHECK(qztest::SameRecord(record, copy));
    return 0;
}
