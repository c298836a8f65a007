#include "SWUInterfaceData.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "QzLog.h"

// ------------------------------------------------------------- QzPack

void QzPack::PutInt(int32_t value)
{
    // Memory order of the int: the wire format is the target's own
    // little-endian layout, whatever the width of the caller's variable.
    unsigned char bytes[sizeof(int32_t)];
    memcpy(bytes, &value, sizeof(bytes));
    m_vecBytes.insert(m_vecBytes.end(), bytes, bytes + sizeof(bytes));
}

void QzPack::PutBool(bool value) { m_vecBytes.push_back(value ? 1 : 0); }

void QzPack::PutBytes(const void* data, uint32_t count)
{
    if (data == nullptr || count == 0)
        return;
    auto bytes = static_cast<const unsigned char*>(data);
    m_vecBytes.insert(m_vecBytes.end(), bytes, bytes + count);
}

void QzPack::GetInt(int32_t& value)
{
    if (GetSize() < sizeof(int32_t))
        return;
    memcpy(&value, m_vecBytes.data(), sizeof(int32_t));
    m_Consume(sizeof(int32_t));
}

void QzPack::GetInt(uint32_t& value)
{
    if (GetSize() < sizeof(uint32_t))
        return;
    memcpy(&value, m_vecBytes.data(), sizeof(uint32_t));
    m_Consume(sizeof(uint32_t));
}

void QzPack::GetBool(bool& value)
{
    if (GetSize() < 1)
        return;
    value = m_vecBytes.front() != 0;
    m_Consume(1);
}

void QzPack::GetBytes(void* dest, uint32_t count)
{
    if (count == 0 || count > GetSize())
        return;
    memcpy(dest, m_vecBytes.data(), count);
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

void WriteString(QzPack& pack, const std::string& text)
{
    // Length counts the terminating zero byte, which travels too.
    uint32_t length = static_cast<uint32_t>(text.size()) + 1;
    pack.PutInt(static_cast<int32_t>(length));
    pack.PutBytes(text.c_str(), length);
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
    try {
        std::vector<char> buffer(lengthSlot, '\0');
        pack.GetBytes(buffer.data(), lengthSlot);
        // Up to the first zero byte, or all of it when none is there.
        auto end = std::find(buffer.begin(), buffer.end(), '\0');
        text.assign(buffer.begin(), end);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

DataContainer::~DataContainer() = default;

SWUDataContainer::SWUDataContainer()
    : m_lTotalBytes(0), m_nProductType(0), m_bIsURL(false), m_nUpgradeType(0), m_nVerifyHost(0)
{
}

SWUDataContainer::~SWUDataContainer() = default;

bool SWUDataContainer::Serialize(QzPack& pack) const
{
    QZ_LOGE(QZ_HL_BEGIN "SWUDataContainer::Serialize Entry" QZ_HL_END);
    WriteString(pack, m_strSoftwareID);
    WriteString(pack, m_strFileName);
    WriteString(pack, m_strSWVersion);
    WriteString(pack, m_strURL);
    WriteString(pack, m_strCertificatePath);
    WriteString(pack, m_strCabinetID);
    pack.PutInt(static_cast<int32_t>(m_lTotalBytes));
    pack.PutInt(m_nProductType);
    pack.PutBool(m_bIsURL);
    pack.PutInt(m_nUpgradeType);
    pack.PutInt(m_nVerifyHost);
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
