#include "OtaImage.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <sstream>
#include <utility>

namespace qz {
namespace daemon {

namespace {

constexpr size_t kWriteBufferSize = 1024 * 1024;

}  // namespace

std::optional<std::map<int, int>> ParseOtaPlan(const std::string& text)
{
    std::map<int, int> plan;
    std::istringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        std::istringstream fields(entry);
        int segment = 0;
        int size = 0;
        std::string trailing;
        if (!(fields >> segment >> size) || (fields >> trailing))
            return std::nullopt;
        plan[segment] = size;
    }
    if (plan.empty())
        return std::nullopt;
    return plan;
}

OtaImage::OtaImage(std::string outputPath) : m_strOutputPath(std::move(outputPath)) {}

OtaImage::~OtaImage() { DropPartFile(); }

// O_EXCL (added by g_mkstemp_full) refuses any name that exists, links
// included; O_NOFOLLOW says so once more for the file itself.
bool OtaImage::OpenPartFile()
{
    g_autofree gchar* folder = g_path_get_dirname(m_strOutputPath.c_str());
    g_autofree gchar* base = g_path_get_basename(m_strOutputPath.c_str());
    g_autofree gchar* pattern = g_strdup_printf("%s/.%s.XXXXXX", folder, base);
    int fd = g_mkstemp_full(pattern, O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    m_pFile = fdopen(fd, "wb");
    if (m_pFile == nullptr) {
        close(fd);
        g_unlink(pattern);
        return false;
    }
    // Frames bring 4080 bytes each: collected into large writes.
    setvbuf(m_pFile, nullptr, _IOFBF, kWriteBufferSize);
    m_strPartPath = pattern;
    return true;
}

// An image that is not finished leaves nothing behind.
void OtaImage::DropPartFile()
{
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (!m_strPartPath.empty()) {
        g_unlink(m_strPartPath.c_str());
        m_strPartPath.clear();
    }
}

void OtaImage::SetPlan(int64_t totalBytes)
{
    Restart();
    m_bHasPlan = true;
    m_nPlannedTotal = totalBytes;
}

void OtaImage::Restart()
{
    DropPartFile();
    m_pChecksum.reset();
    m_bHasPlan = false;
    m_nPlannedTotal = 0;
    m_nReceived = 0;
    m_bWriteFailed = false;
    ++m_nGeneration;
}

bool OtaImage::Append(const unsigned char* data, size_t length)
{
    if (m_pChecksum == nullptr) {
        // The file is opened with the first bytes of an image, so that an
        // image that never starts leaves the previous one in place.
        m_pChecksum = std::make_unique<tools::Sha256>();
        m_bWriteFailed = !OpenPartFile();
    }
    m_pChecksum->Update(data, length);
    if (m_pFile != nullptr && length > 0 && fwrite(data, 1, length, m_pFile) != length)
        m_bWriteFailed = true;
    m_nReceived += static_cast<int64_t>(length);
    return m_bHasPlan && m_nPlannedTotal > 0 && m_nReceived >= m_nPlannedTotal;
}

OtaImageSummary OtaImage::Finish()
{
    OtaImageSummary summary;
    summary.bytes = m_nReceived;
    summary.path = m_strOutputPath;
    if (m_pChecksum == nullptr)
        m_pChecksum = std::make_unique<tools::Sha256>();
    summary.sha256 = m_pChecksum->HexDigest();
    if (m_pFile != nullptr) {
        bool flushed = fflush(m_pFile) == 0 && fsync(fileno(m_pFile)) == 0;
        bool closed = fclose(m_pFile) == 0;
        m_pFile = nullptr;
        if (!flushed || !closed || rename(m_strPartPath.c_str(), m_strOutputPath.c_str()) != 0)
            m_bWriteFailed = true;
        else
            m_strPartPath.clear();
    }
    summary.written = !m_bWriteFailed;
    Restart();
    return summary;
}

}  // namespace daemon
}  // namespace qz

