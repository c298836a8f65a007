#include "SWUInterfaceData.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "QzLog.h"

// ------------------------------------------------------------- QzPack

namespace {

// Memory order of the int: the wire format is the target's own
// little-endian layout, whatever the width of the caller's variable.
unsigned char* StoreInt(unsigned char* out, int32_t value)
{
    memcpy(out, &value, sizeof(value));
    return out + sizeof(value);
}

unsigned char* StoreBool(unsigned char* out, bool value)
{
    *out = value ? 1 : 0;
    return out + 1;
}

}  // namespace

void QzPack::PutInt(int32_t value) { StoreInt(m_Append(sizeof(int32_t)), value); }

void QzPack::PutBool(bool value) { StoreBool(m_Append(1), value); }

void QzPack::PutBytes(const void* data, uint32_t count)
{
    if (data == nullptr || count == 0)
        return;
    memcpy(m_Append(count), data, count);
}

unsigned char* QzPack::m_Append(size_t count)
{
    const size_t held = m_vecBytes.size();
    m_vecBytes.resize(held + count);
    return m_vecBytes.data() + held;
}

void QzPack::GetInt(int32_t& value)
{
    if (GetSize() < sizeof(int32_t))
        return;
    memcpy(&value, GetData(), sizeof(int32_t));
    m_Consume(sizeof(int32_t));
}

void QzPack::GetInt(uint32_t& value)
{
    if (GetSize() < sizeof(uint32_t))
        return;
    memcpy(&value, GetData(), sizeof(uint32_t));
    m_Consume(sizeof(uint32_t));
}

void QzPack::GetBool(bool& value)
{
    if (GetSize() < 1)
        return;
    value = *GetData() != 0;
    m_Consume(1);
}

void QzPack::GetBytes(void* dest, uint32_t count)
{
    if (count == 0 || count > GetSize())
        return;
    memcpy(dest, GetData(), count);
    m_Consume(count);
}

const unsigned char* QzPack::GetData() const { return m_vecBytes.data(); }

uint32_t QzPack::GetSize() const { return static_cast<uint32_t>(m_vecBytes.size()); }

void QzPack::m_Consume(uint32_t count)
{
    m_vecBytes.erase(m_vecBytes.begin(), m_vecBytes.begin() + count);
}

// ------------------------------------------------------------- records

namespace {

// Bytes a string takes in a pack: its length word, characters and zero.
size_t PackedSize(const std::string& text) { return sizeof(int32_t) + text.size() + 1; }

// Copies `count` (at least 1) bytes. The fields of a request are a few
// dozen bytes each, where a call into the C library's memcpy costs more
// than the copy: up to 64 bytes go as pairs of fixed-size moves from both
// ends, which overlap in the middle instead of looping.
template <size_t Chunk>
inline void CopyBothEnds(unsigned char* out, const char* in, size_t count)
{
    memcpy(out, in, Chunk);
    memcpy(out + count - Chunk, in + count - Chunk, Chunk);
}

inline void CopyShort(unsigned char* out, const char* in, size_t count)
{
    if (count > 64) {
        memcpy(out, in, count);
    } else if (count > 32) {
        CopyBothEnds<32>(out, in, count);
    } else if (count > 16) {
        CopyBothEnds<16>(out, in, count);
    } else if (count >= 8) {
        CopyBothEnds<8>(out, in, count);
    } else if (count >= 4) {
        CopyBothEnds<4>(out, in, count);
    } else {
        // 1 to 3 bytes: first, middle and last cover them all.
        out[0] = static_cast<unsigned char>(in[0]);
        out[count / 2] = static_cast<unsigned char>(in[count / 2]);
        out[count - 1] = static_cast<unsigned char>(in[count - 1]);
    }
}

// Length counts the terminating zero byte, which travels too.
unsigned char* StoreString(unsigned char* out, const std::string& text)
{
    const uint32_t length = static_cast<uint32_t>(text.size()) + 1;
    out = StoreInt(out, static_cast<int32_t>(length));
    CopyShort(out, text.c_str(), length);
    return out + length;
}

// Reads one string with the record's shared length slot. An announced
// length beyond what the pack holds reads as an all-zero buffer, i.e. the
// empty string with nothing consumed; that outcome is settled before any
// allocation, so the buffer never exceeds the bytes actually held and a
// hostile length of 0xFFFFFFFF costs nothing.
// Returns false only when memory for the string cannot be obtained.
bool ReadString(QzPack& pack, uint32_t& lengthSlot, std::string& text)
{
    pack.GetInt(lengthSlot);
    if (lengthSlot == 0 || lengthSlot > pack.GetSize()) {
        text.clear();
        return true;
    }
    // The string itself is the zeroed buffer: one allocation, one copy.
    try {
        text.assign(lengthSlot, '\0');
    } catch (const std::bad_alloc&) {
        return false;
    }
    pack.GetBytes(&text[0], lengthSlot);
    // Up to the first zero byte, or all of it when none is there.
    text.resize(strnlen(text.data(), lengthSlot));
    return true;
}

}  // namespace

DataContainer::~DataContainer() = default;

SWUDataContainer::SWUDataContainer()
    : m_lTotalBytes(0),
      m_nProductType(0),
      m_bIsURL(false),
      m_nUpgradeType(0),
      m_nVerifyHost(0)
{
}

SWUDataContainer::~SWUDataContainer() = default;

bool SWUDataContainer::Serialize(QzPack& pack) const
{
    QZ_LOGE(QZ_HL_BEGIN "SWUDataContainer::Serialize Entry" QZ_HL_END);
    // Sized once, appended at once and filled in place: one allocation at
    // most, and the same bytes as PutInt, PutBytes and PutBool in turn.
    // Spelled out field by field rather than looped over: each string's
    // copy then has a branch of its own that always goes the same way.
    const size_t total = PackedSize(m_strSoftwareID) + PackedSize(m_strFileName) +
                         PackedSize(m_strSWVersion) + PackedSize(m_strURL) +
                         PackedSize(m_strCertificatePath) + PackedSize(m_strCabinetID) +
                         4 * sizeof(int32_t) + 1;  // four numbers and the flag
    unsigned char* out = pack.m_Append(total);
    out = StoreString(out, m_strSoftwareID);
    out = StoreString(out, m_strFileName);
    out = StoreString(out, m_strSWVersion);
    out = StoreString(out, m_strURL);
    out = StoreString(out, m_strCertificatePath);
    out = StoreString(out, m_strCabinetID);
    out = StoreInt(out, static_cast<int32_t>(m_lTotalBytes));
    out = StoreInt(out, m_nProductType);
    out = StoreBool(out, m_bIsURL);
    out = StoreInt(out, m_nUpgradeType);
    StoreInt(out, m_nVerifyHost);
    QZ_LOGE(QZ_HL_BEGIN "SWUDataContainer::Serialize Exit" QZ_HL_END);
    return true;
}

bool SWUDataContainer::Unserialize(QzPack& pack)
{
    QZ_LOGE(QZ_HL_BEGIN "SWUDataContainer::UnSerialize Entry" QZ_HL_END);
    // One slot for all six strings, never reset: a string that finds fewer
    // than four bytes for its length reuses the previous string's length.
    uint32_t lengthSlot = 0;
    std::string* const strings[] = {&m_strSoftwareID, &m_strFileName,        &m_strSWVersion,
                                    &m_strURL,        &m_strCertificatePath, &m_strCabinetID};
    for (std::string* field : strings)
        if (!ReadString(pack, lengthSlot, *field))
            return false;
    pack.GetInt(m_lTotalBytes);
    pack.GetInt(m_nProductType);
    pack.GetBool(m_bIsURL);
    pack.GetInt(m_nUpgradeType);
    pack.GetInt(m_nVerifyHost);
    return true;
}
