/**
 * \file
 * The upgrade request record SWUDataContainer and the byte pack QzPack it
 * travels in, for the sending and the receiving side.
 */
#ifndef QZ_SWU_INTERFACE_DATA_H
#define QZ_SWU_INTERFACE_DATA_H

#include <cstdint>
#include <string>
#include <vector>

#include "QzExport.h"

/**
 * A positional byte buffer: one growable sequence of bytes, empty when made.
 * Writing appends at the end; reading takes bytes off the front and removes
 * them, so reading uses a pack up.
 *
 * The bytes held, first to last, are exactly the payload of a byte message
 * (SWUpgradeInterface sends GetData() and GetSize()): no header, tag, length
 * or padding of its own. Integers are 4 bytes, least significant first; a
 * flag is one byte (written 0 or 1, any non-zero byte reads as true); a text
 * string is written as PutInt() of its length + 1 and PutBytes() of its
 * characters and terminating zero byte.
 *
 * A read that finds too few bytes leaves its target as it was and consumes
 * nothing; no operation reports a status. No lock: a pack belongs to one
 * thread at a time. No bus, no log.
 */
class QZ_EXPORT QzPack {
public:
    /// Appends the 4 bytes of value, least significant first.
    /// \param value the integer.
    void PutInt(int32_t value);
    /// Appends one byte, 1 for true and 0 for false.
    /// \param value the flag.
    void PutBool(bool value);
    /// Appends count bytes as they stand.
    /// \param data the bytes; null appends nothing.
    /// \param count their number; 0 appends nothing.
    void PutBytes(const void* data, uint32_t count);

    /// Takes a 32-bit integer off the front when at least 4 bytes are held.
    /// \param[out] value set from the first 4 bytes; unchanged when fewer are held.
    void GetInt(int32_t& value);
    /// Takes a 32-bit integer off the front, as unsigned, when at least 4
    /// bytes are held.
    /// \param[out] value set from the first 4 bytes; unchanged when fewer are held.
    void GetInt(uint32_t& value);
    /// Takes one byte off the front when one is held.
    /// \param[out] value true for any non-zero byte; unchanged on an empty pack.
    void GetBool(bool& value);
    /// Takes count bytes off the front when that many are held.
    /// \param[out] dest receives the bytes; untouched when count is 0 or more
    ///        than the bytes held (then nothing is consumed).
    /// \param count the number of bytes.
    void GetBytes(void* dest, uint32_t count);

    /// The bytes held.
    /// \return a pointer to the first byte held, valid until the pack changes.
    const unsigned char* GetData() const;
    /// The number of bytes held.
    /// \return bytes written and not yet read.
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

/**
 * A record that can be written to and read from a QzPack. Holds no data.
 */
class QZ_EXPORT DataContainer {
public:
    /// Appends the record to the end of pack.
    /// \param pack the pack to write to; what it holds stays in front.
    /// \return true when written.
    virtual bool Serialize(QzPack& pack) const = 0;
    /// Reads the record from the front of pack, removing what it reads.
    /// \param pack the pack to read from.
    /// \return true when read.
    virtual bool Unserialize(QzPack& pack) = 0;
    virtual ~DataContainer();  ///< Virtual: records are used through this base.
};

/**
 * The record the library sends to the upgrade daemon: an upgrade request
 * (SWUpgradeInterface::SoftwareUpdate()) or a cabinet report
 * (SWUpgradeInterface::CabinetUpgradeProgress()), as a byte message.
 *
 * Its image is the six strings in member order, each as a text string
 * (4-byte length + 1, the characters, a zero byte), then m_lTotalBytes,
 * m_nProductType (4 bytes each), m_bIsURL (1 byte), m_nUpgradeType and
 * m_nVerifyHost (4 bytes each), integers least significant first and not
 * aligned: 47 bytes plus the characters of the strings. A new record has
 * empty strings, zero numbers and a false flag.
 *
 * No lock: a record belongs to one thread at a time. No bus.
 */
class QZ_EXPORT SWUDataContainer : public DataContainer {
public:
    SWUDataContainer();            ///< Empty strings, zero numbers, a false flag.
    ~SWUDataContainer() override;  ///< Frees the strings.

    /**
     * Appends the record's image to the end of pack (the pack is not
     * emptied first).
     *
     * \param pack the pack to write to.
     * \return true; it cannot fail.
     *
     * Logs "SWUDataContainer::Serialize Entry" and "... Exit" at error
     * priority.
     */
    bool Serialize(QzPack& pack) const override;
    /**
     * Reads the record's image from the front of pack, removing what it reads.
     *
     * Short or malformed data is no error: a number that finds too few bytes
     * keeps its value; a string whose announced length exceeds the bytes held
     * reads as empty and leaves those bytes for the next field; a string read
     * where fewer than 4 bytes remain takes the previous string's length.
     * Bytes after the last field stay in the pack.
     *
     * \param pack the pack to read from.
     * \return true, or false when the memory for a string cannot be had: the
     *         strings before it keep their new values, it and the later fields
     *         their old ones.
     *
     * A string whose announced length (departure (f), docs/design.md)
     * exceeds the bytes held obtains no buffer, so it never fails for want
     * of memory.
     *
     * Logs "SWUDataContainer::UnSerialize Entry" at error priority.
     */
    bool Unserialize(QzPack& pack) override;

    std::string m_strSoftwareID;  ///< stSWUpgradeInfo::szSoftwareID; empty in a cabinet report.
    std::string m_strFileName;    ///< stSWUpgradeInfo::szFileName.
    std::string m_strSWVersion;   ///< stSWUpgradeInfo::szSWVersion.
    std::string m_strURL;         ///< stSWUpgradeInfo::szURL.
    std::string m_strCertificatePath;  ///< stSWUpgradeInfo::szCertificatePath.
    std::string m_strCabinetID;        ///< stSWUpgradeInfo::szCabinetID.
    uint32_t m_lTotalBytes;            ///< stSWUpgradeInfo::lTotalBytes; 32 bits everywhere.
    /// The requester after the bookkeeping (::eSWUpgradeProcess), or the
    /// reported value of a cabinet report.
    int32_t m_nProductType;
    bool m_bIsURL;           ///< stSWUpgradeInfo::bIsURL; one byte.
    int32_t m_nUpgradeType;  ///< The kind (::eSWUpgradeType) as the request settled it.
    int32_t m_nVerifyHost;   ///< stSWUpgradeInfo::nVerifyHost.
};

#endif  // QZ_SWU_INTERFACE_DATA_H
