// Request forms that build the upgrade request themselves: from an
// information file, from a download address, and with a cabinet identifier
// (handing back the daemon's offset). All of them submit through
// SoftwareUpdate(stSWUpgradeInfo*).
#include <cstdint>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>

#include "QzLog.h"
#include "SWUpgradeInterface.h"
#include "SWUpgradeInternal.h"

namespace {

const char* const kTagSoftwareID = "software_id";
const char* const kTagFileName = "file_name";
const char* const kTagSoftwareVersion = "software_version";
const char* const kTagFileSize = "file_size";
const char* const kPlayerSoftwareName = "Player Application";

// Lengths of "<![CDATA[" and "]]>"; the markers themselves are not checked.
constexpr std::string::size_type kCDataOpenLength = 9;
constexpr std::string::size_type kCDataCloseLength = 3;

std::string StripCData(const std::string& value)
{
    if (value.find("CDATA") == std::string::npos)
        return value;
    if (value.size() >= kCDataOpenLength + kCDataCloseLength)
        return value.substr(kCDataOpenLength, value.size() - kCDataOpenLength - kCDataCloseLength);
    if (value.size() >= kCDataOpenLength)
        return value.substr(kCDataOpenLength);
    // Too short to hold both markers: nothing sensible to strip.
    return value;
}

// A file that cannot be opened or read reads as the empty text. A read
// error (a folder, a file that refuses reads) is thrown by the stream
// buffer, not reported through the stream state, so it is caught here.
std::string ReadWholeFile(const std::string& path)
{
    try {
        std::ifstream file(path, std::ios::in | std::ios::binary);
        if (!file)
            return std::string();
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return std::string();
    }
}

uint32_t ParseFileSize(const std::string& text)
{
    uint32_t size = 0;
    std::istringstream in(text);
    in >> size;  // a failed extraction stores 0
    return size;
}

}  // namespace

std::string GetContextbyTag(const std::string& strContent, const char* szTag, bool bCDATA)
{
    if (szTag == nullptr)
        return std::string();
    // The opening mark has no '>' so that attributes (and longer names that
    // merely start with the tag) still match.
    const std::string openMark = std::string("<") + szTag;
    const std::string closeMark = std::string("</") + szTag + ">";

    const std::string::size_type open = strContent.find(openMark);
    const std::string::size_type close = strContent.find(closeMark);
    if (open == std::string::npos || close == std::string::npos)
        return std::string();

    const std::string::size_type openEnd = strContent.find('>', open);
    if (openEnd == std::string::npos)
        return std::string();  // the opening mark never ends: no value
    const std::string::size_type start = openEnd + 1;

    // A closing mark before the value's start leaves the value open-ended.
    std::string value =
        (close >= start) ? strContent.substr(start, close - start) : strContent.substr(start);
    return bCDATA ? StripCData(value) : value;
}

bool SWUpgradeInterface::SoftwareUpdate(const std::string& strSoftwareName,
                                        const std::string& strInfoFile, const std::string&,
                                        const std::string&)
{
    if (strInfoFile.empty()) {
        QZ_LOGE(QZ_HL_BEGIN "Invalid SWUpgrade information File" QZ_HL_END);
        return false;
    }
    const std::string content = ReadWholeFile(strInfoFile);

    stSWUpgradeInfo info;
    info.szSoftwareID = GetContextbyTag(content, kTagSoftwareID, true);
    info.szFileName = GetContextbyTag(content, kTagFileName, true);
    info.szSWVersion = GetContextbyTag(content, kTagSoftwareVersion, true);
    info.lTotalBytes = ParseFileSize(GetContextbyTag(content, kTagFileSize, true));
    info.nProductType = SWU_PROCESS_JOR;
    // Player mode is consulted only for the player application.
    if (strSoftwareName == kPlayerSoftwareName && isLumoraMode())
        info.nUpgradeType = SWU_TYPE_LUMORA_PLAYER;

    return SoftwareUpdate(&info);
}

bool SWUpgradeInterface::SoftwareUpdate(const std::string& strFileName, long long llFileSize,
                                        const std::string& strVersion, const std::string& strURL)
{
    if (strFileName.empty() || strVersion.empty() || strURL.empty() || llFileSize == 0) {
        QZ_LOGE(QZ_HL_BEGIN "Invalid SWUpgrade information File" QZ_HL_END);
        return false;
    }
    stSWUpgradeInfo info;
    info.szSoftwareID = "0";
    info.szFileName = strFileName;
    info.szSWVersion = strVersion;
    // The record carries 32 bits; larger sizes keep only their low word.
    info.lTotalBytes = static_cast<uint32_t>(llFileSize);
    info.nProductType = SWU_PROCESS_URL;
    info.bIsURL = true;
    info.szURL = strURL;
    return SoftwareUpdate(&info);
}

bool SWUpgradeInterface::SoftwareUpdate(const std::string& strFileName, long long llFileSize,
                                        const std::string& strVersion, long long& llOffset,
                                        const std::string& strCabinetID)
{
    stSWUpgradeInfo info;
    info.szFileName = strFileName;
    info.szSWVersion = strVersion;
    info.lTotalBytes = static_cast<uint32_t>(llFileSize);
    info.nProductType = SWU_PROCESS_KAV;
    info.szCabinetID = strCabinetID;
    if (!SoftwareUpdate(&info))
        return false;

    llOffset = 0;
    // Only a main-software request (still KAV after the bookkeeping) resumes
    // at an offset; the query's outcome never changes the result.
    if (info.nProductType != SWU_PROCESS_KAV)
        return true;

    qz::swu::DaemonLink link(m_pGDBus, __func__);
    const qz::swu::DaemonReply reply = link.Query(qz::swu::kCmdQueryOffset);
    if (!reply.sent)
        return true;
    llOffset = reply.number;
    QZ_LOGE(QZ_HL_BEGIN " Current OffSet = %lld" QZ_HL_END, llOffset);
    QZ_LOGE(QZ_HL_BEGIN " Return String = %s" QZ_HL_END, reply.word.c_str());
    link.ReportResult(reply);
    return true;
}
