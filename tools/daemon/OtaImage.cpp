#include "OtaImage.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "DaemonLog.h"
#include "Sha256.h"

namespace qz {
namespace daemon {

namespace {

// Bytes handed to the writer thread at a time, and how many such blocks
// may wait for it before the receiving side waits in turn.
constexpr size_t kBlockSize = 1024 * 1024;
constexpr size_t kBlocksInFlight = 16;
// With buffered writes, writeback is started every so often, so that the
// final fsync does not find the whole image still in memory.
constexpr off_t kWritebackEvery = 16 * 1024 * 1024;
// Direct writes need buffers, lengths and offsets on this boundary.
constexpr size_t kDirectAlign = 4096;

// Blocks on the direct-write boundary.
template <typename T>
struct PageAligned {
    using value_type = T;
    PageAligned() = default;
    template <typename U>
    PageAligned(const PageAligned<U>&)
    {
    }
    T* allocate(size_t n)
    {
        void* p = nullptr;
        if (posix_memalign(&p, kDirectAlign, n * sizeof(T)) != 0)
            throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { free(p); }
    bool operator==(const PageAligned&) const { return true; }
    bool operator!=(const PageAligned&) const { return false; }
};
using Block = std::vector<unsigned char, PageAligned<unsigned char>>;

// Writes at the given offset, so that a write refused half way can be made
// again from the start.
bool WriteAllAt(int fd, const unsigned char* data, size_t length, off_t offset)
{
    while (length > 0) {
        ssize_t n = pwrite(fd, data, length, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

// Frames bring 4080 bytes each. They are gathered into 1 MiB blocks that a
// thread of their own hashes and writes, while the main loop goes on
// receiving (and serving the bus). The blocks go to the file directly, past
// the page cache, where the file system allows it: copying the image into
// the cache was most of the daemon's work.
class OtaImage::Writer {
public:
    // fd < 0: the bytes are only hashed.
    explicit Writer(int fd)
        : m_fd(fd),
          m_direct(fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_DIRECT) == 0),
          m_thread([this] { Run(); })
    {
        m_filling.reserve(kBlockSize);
    }

    ~Writer()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void Add(const unsigned char* data, size_t length)
    {
        while (length > 0) {
            const size_t take = std::min(length, kBlockSize - m_filling.size());
            m_filling.insert(m_filling.end(), data, data + take);
            data += take;
            length -= take;
            if (m_filling.size() == kBlockSize)
                HandOver();
        }
    }

    // Waits until every byte is hashed and written. False when a write
    // failed.
    bool Flush(std::string& sha256)
    {
        if (!m_filling.empty())
            HandOver();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_full.empty() && !m_busy; });
        sha256 = m_sha.HexDigest();
        return !m_failed;
    }

private:
    void HandOver()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_full.size() < kBlocksInFlight; });
        m_full.push_back(std::move(m_filling));
        if (!m_spare.empty()) {
            m_filling = std::move(m_spare.back());
            m_spare.pop_back();
        } else {
            m_filling = {};
            m_filling.reserve(kBlockSize);
        }
        m_filling.clear();
        lock.unlock();
        m_changed.notify_all();
    }

    void Run()
    {
        off_t written = 0;
        off_t synced = 0;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_full.empty() || m_closing; });
            if (m_full.empty())
                return;
            Block block = std::move(m_full.front());
            m_full.pop_front();
            m_busy = true;
            lock.unlock();
            m_sha.Update(block.data(), block.size());
            bool ok = m_fd < 0 || WriteBlock(block, written);
            written += static_cast<off_t>(block.size());
            if (ok && m_fd >= 0 && !m_direct && written - synced >= kWritebackEvery) {
                sync_file_range(m_fd, synced, written - synced, SYNC_FILE_RANGE_WRITE);
                synced = written;
            }
            lock.lock();
            m_failed = m_failed || !ok;
            m_busy = false;
            m_spare.push_back(std::move(block));
            m_changed.notify_all();
        }
    }

    // The last block of an image is usually short of the boundary, and a
    // file system may refuse direct writes altogether: buffered from then on.
    bool WriteBlock(const Block& block, off_t offset)
    {
        if (m_direct && block.size() % kDirectAlign != 0)
            DropDirect();
        if (m_direct) {
            if (WriteAllAt(m_fd, block.data(), block.size(), offset))
                return true;
            if (errno != EINVAL)
                return false;
            DropDirect();
        }
        return WriteAllAt(m_fd, block.data(), block.size(), offset);
    }

    void DropDirect()
    {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_DIRECT);
        m_direct = false;
    }

    const int m_fd;
    bool m_direct;    // the writer thread's alone
    Block m_filling;  // the receiving side's block
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Block> m_full;
    std::vector<Block> m_spare;
    bool m_busy = false;
    bool m_closing = false;
    bool m_failed = false;
    tools::Sha256 m_sha;  // the writer thread's alone between flushes
    std::thread m_thread;
};

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

std::optional<int64_t> PlannedTotal(const std::map<int, int>& plan)
{
    int64_t total = 0;
    for (const auto& [segment, size] : plan) {
        if (size < 0)
            return std::nullopt;
        total += size;
    }
    if (total <= 0)
        return std::nullopt;
    return total;
}

void ReportImage(Journal& journal, const OtaImageSummary& summary, const char* trigger)
{
    nlohmann::ordered_json entry = {{"event", "ota_image"},
                                    {"state", summary.complete ? "complete" : "incomplete"},
                                    {"bytes", summary.bytes},
                                    {"planned", summary.planned}};
    if (summary.complete) {
        QZ_LOGI("OTA image complete: %lld bytes, sha256 %s, written to %s",
                static_cast<long long>(summary.bytes), summary.sha256.c_str(),
                summary.path.c_str());
        entry["sha256"] = summary.sha256;
    } else {
        QZ_LOGE(QZ_HL_BEGIN "OTA image incomplete (%s): %lld of %lld bytes, dropped" QZ_HL_END,
                trigger, static_cast<long long>(summary.bytes),
                static_cast<long long>(summary.planned));
    }
    if (summary.complete && !summary.written) {
        QZ_LOGE(QZ_HL_BEGIN "cannot write the OTA image to %s" QZ_HL_END, summary.path.c_str());
        journal.Error("cannot write the OTA image to " + summary.path);
    }
    entry["path"] = summary.path;
    entry["trigger"] = trigger;
    entry["written"] = summary.written;
    journal.Write(entry);
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
    m_nFd = g_mkstemp_full(pattern, O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_nFd < 0)
        return false;
    m_strPartPath = pattern;
    return true;
}

// An image that is not finished leaves nothing behind.
void OtaImage::DropPartFile()
{
    m_pWriter.reset();  // stops writing before the file goes
    if (m_nFd >= 0) {
        close(m_nFd);
        m_nFd = -1;
    }
    if (!m_strPartPath.empty()) {
        g_unlink(m_strPartPath.c_str());
        m_strPartPath.clear();
    }
}

std::optional<OtaImageSummary> OtaImage::SetPlan(int64_t totalBytes, const OtaPlanner& planner)
{
    std::optional<OtaImageSummary> abandoned;
    if (m_bHasPlan && Begun())
        abandoned = Abandon();
    Restart();
    m_bHasPlan = true;
    m_nPlannedTotal = totalBytes;
    m_planner = planner;
    return abandoned;
}

void OtaImage::Restart()
{
    DropPartFile();
    m_bHasPlan = false;
    m_planner = {};
    m_nPlannedTotal = 0;
    m_nReceived = 0;
    m_bWriteFailed = false;
    ++m_nGeneration;
}

bool OtaImage::Append(const unsigned char* data, size_t length)
{
    if (m_pWriter == nullptr) {
        // The file is opened with the first bytes of an image, so that an
        // image that never starts leaves the previous one in place.
        m_bWriteFailed = !OpenPartFile();
        m_pWriter = std::make_unique<Writer>(m_nFd);
    }
    m_pWriter->Add(data, length);
    m_nReceived += static_cast<int64_t>(length);
    return m_bHasPlan && m_nPlannedTotal > 0 && m_nReceived >= m_nPlannedTotal;
}

OtaImageSummary OtaImage::Summary() const
{
    OtaImageSummary summary;
    summary.bytes = m_nReceived;
    summary.planned = m_nPlannedTotal;
    summary.path = m_strOutputPath;
    return summary;
}

OtaImageSummary OtaImage::Abandon()
{
    OtaImageSummary summary = Summary();
    Restart();
    return summary;
}

int OtaImage::RemoveLeftovers()
{
    g_autofree gchar* folder = g_path_get_dirname(m_strOutputPath.c_str());
    g_autofree gchar* base = g_path_get_basename(m_strOutputPath.c_str());
    // The name OpenPartFile gives: "." base "." and six characters.
    const std::string prefix = std::string(".") + base + ".";
    g_autoptr(GDir) dir = g_dir_open(folder, 0, nullptr);
    int removed = 0;
    for (const char* name; dir != nullptr && (name = g_dir_read_name(dir)) != nullptr;) {
        if (strlen(name) != prefix.size() + 6 || strncmp(name, prefix.c_str(), prefix.size()) != 0)
            continue;
        g_autofree gchar* path = g_build_filename(folder, name, nullptr);
        struct stat info {};
        if (lstat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
            path != m_strPartPath && g_unlink(path) == 0)
            ++removed;
    }
    return removed;
}

OtaImageSummary OtaImage::Finish()
{
    OtaImageSummary summary = Summary();
    summary.complete = true;
    if (m_pWriter == nullptr)
        summary.sha256 = tools::Sha256().HexDigest();
    else if (!m_pWriter->Flush(summary.sha256))
        m_bWriteFailed = true;
    if (m_nFd >= 0) {
        bool synced = fsync(m_nFd) == 0;
        bool closed = close(m_nFd) == 0;
        m_nFd = -1;
        if (!synced || !closed || rename(m_strPartPath.c_str(), m_strOutputPath.c_str()) != 0)
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
