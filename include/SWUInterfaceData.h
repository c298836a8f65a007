// The upgrade request record and the byte pack it travels in.
#ifndef QZ_SWU_INTERFACE_DATA_H
#define QZ_SWU_INTERFACE_DATA_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QzExport.h"

namespace qz_detail {

// Allocator whose element construction without arguments leaves the bytes
// uninitialised: a pack grows by bytes that are written at once, so the
// zero-fill that std::vector::resize would do first is wasted work.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U>&) noexcept
    {
    }
    template <typename U>
    void construct(U* place) noexcept
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

}  // namespace qz_detail

// Positional byte buffer: appends at the end, reads (and removes) from the
// front. Integers are little-endian, flags one byte, no framing of any kind.
// A read advances a cursor over the held bytes instead of moving the rest
// to the front, so reading a whole record is linear in its size.
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

    void m_Consume(uint32_t count);
    // Appends `count` bytes of unspecified value; returns the first of them.
    unsigned char* m_Append(size_t count);

    std::vector<unsigned char, qz_detail::UninitAllocator<unsigned char>> m_vecBytes;
    size_t m_nReadPos = 0;  // bytes before it have been read
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
