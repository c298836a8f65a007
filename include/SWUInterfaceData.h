// The upgrade request record and the byte pack it travels in.
#ifndef QZ_SWU_INTERFACE_DATA_H
#define QZ_SWU_INTERFACE_DATA_H

#include <cstdint>
#include <string>
#include <vector>

#include "QzExport.h"

// Positional byte buffer: one byte sequence that grows at the end and
// shrinks from the front as it is read. Integers are little-endian, flags
// one byte, no framing of any kind.
class QZ_EXPORT QzPack {
public:
    void PutInt(int32_t value);
    void PutBool(bool value);
    void PutBytes(const void* data, uint32_t count);

    // Reads leave their target unchanged and consume nothing when too few
    // bytes are held.
    void GetInt(int32_t& value);
    void GetInt(uint32_t& value);
    void GetBool(bool& value);
    void GetBytes(void* dest, uint32_t count);

    const unsigned char* GetData() const;
    uint32_t GetSize() const;

private:
    // A record writes itself in one piece: the whole packed size appended
    // at once, then filled in place.
    friend class SWUDataContainer;

    // Removes the first `count` bytes (all of them held).
    void m_Consume(uint32_t count);
    // Appends `count` bytes to be filled in place; returns the first of them.
    unsigned char* m_Append(size_t count);

    std::vector<unsigned char> m_vecBytes;
};

class QZ_EXPORT DataContainer {
public:
    virtual bool Serialize(QzPack& pack) const = 0;
    virtual bool Unserialize(QzPack& pack) = 0;
    virtual ~DataContainer();
};

class QZ_EXPORT SWUDataContainer : public DataContainer {
public:
    SWUDataContainer();
    ~SWUDataContainer() override;

    bool Serialize(QzPack& pack) const override;
    bool Unserialize(QzPack& pack) override;

    std::string m_strSoftwareID;
    std::string m_strFileName;
    std::string m_strSWVersion;
    std::string m_strURL;
    std::string m_strCertificatePath;
    std::string m_strCabinetID;
    uint32_t m_lTotalBytes;
    int32_t m_nProductType;
    bool m_bIsURL;
    int32_t m_nUpgradeType;
    int32_t m_nVerifyHost;
};

#endif  // QZ_SWU_INTERFACE_DATA_H
