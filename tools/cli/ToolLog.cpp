#include "ToolLog.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

namespace qzcli {

namespace {

constexpr const char* kLogEnv = "QZ_PLATFORM_LOG";
constexpr const char* kLogOff = "library log off";
constexpr const char* kStderr = "standard error";
// "... E/qz-swu-interface(PID): FILE: FUNCTION(LINE) > TEXT": the tag with
// the priority letter before it.
constexpr const char* kLibraryTag = "/qz-swu-interface(";
// The library's words when a key of the store has no value it can read.
// Before the first upgrade that is the normal state, not an error.
constexpr const char* kValueNotRead = "> Failed to Read VConf Value";

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a log line that cannot be written is not worth failing the command
        done += static_cast<size_t>(n);
    }
}

off_t FileSize(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Opens a folder for the log file: a real folder (not a link), owned by
// this user and closed to everybody else.
int OpenPrivateFolder(const std::string& path, std::string& problem)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        problem = Errno("cannot open folder " + path);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
        problem = "folder " + path + " is not private to this user";
        close(fd);
        return -1;
    }
    return fd;
}

// $XDG_RUNTIME_DIR when it is this user's private folder, else
// TMPDIR/qz-swu-UID, created with mode 0700 when missing.
int OpenLogFolder(std::string& path, std::string& problem)
{
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string ignored;
        int fd = OpenPrivateFolder(runtime, ignored);
        if (fd >= 0) {
            path = runtime;
            return fd;
        }
    }
    path = std::string(g_get_tmp_dir()) + "/qz-swu-" + std::to_string(getuid());
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = Errno("cannot create folder " + path);
        return -1;
    }
    return OpenPrivateFolder(path, problem);
}

int OpenLogFile(int dirFd, const std::string& path, int extraFlags, std::string& problem)
{
    int fd = openat(dirFd, kLogFileName,
                    O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | extraFlags, 0600);
    if (fd < 0) {
        problem = errno == ELOOP ? path + " is a symbolic link" : Errno("cannot open " + path);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        problem = path + " is not a regular file of this user";
        close(fd);
        return -1;
    }
    return fd;
}

// Where the lines end up. Only the pump's thread touches it while that runs.
struct Destination {
    int fd = -1;  // -1: the lines are dropped
    bool owned = false;
    int dirFd = -1;  // the folder of the tool's own file, which is rotated
    std::string path;

    void Close()
    {
        if (owned && fd >= 0)
            close(fd);
        if (dirFd >= 0)
            close(dirFd);
        fd = dirFd = -1;
    }

    // Past the cap the tool's own file becomes "qz-swu.log.1" and a new one
    // is started.
    void KeepWithinCap()
    {
        if (dirFd < 0 || FileSize(fd) < kLogCapBytes)
            return;
        std::string rotated = std::string(kLogFileName) + ".1";
        if (renameat(dirFd, kLogFileName, dirFd, rotated.c_str()) != 0)
            return;
        std::string problem;
        int fresh = OpenLogFile(dirFd, path, O_EXCL, problem);
        if (fresh < 0)  // another qz-swu of this user rotated at the same moment
            fresh = OpenLogFile(dirFd, path, 0, problem);
        if (fresh < 0)
            return;
        close(fd);
        fd = fresh;
    }

    void Write(const std::string& text)
    {
        if (fd < 0 || text.empty())
            return;
        WriteAll(fd, text);
        KeepWithinCap();
    }
};

// Reads the pipe the library writes its lines into and passes them on as
// PlainLogLine makes them.
class LogPump {
public:
    LogPump() = default;
    ~LogPump() { Stop(); }
    LogPump(const LogPump&) = delete;
    LogPump& operator=(const LogPump&) = delete;

    // False when there is no pipe or thread to be had.
    bool Start(Destination* destination)
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        m_read = ends[0];
        m_write = ends[1];
        fcntl(m_read, F_SETFL, O_NONBLOCK);
        m_stop = eventfd(0, EFD_CLOEXEC);
        if (m_stop < 0)
            return false;
        m_destination = destination;
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    int WriteEnd() const { return m_write; }

    // Waits, a second at most, until what is in the pipe now has been
    // written out.
    void Settle() const
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (m_busy.load() || Unread() > 0) {
            if (std::chrono::steady_clock::now() >= until)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Passes on what is in the pipe, then ends the thread.
    void Stop()
    {
        if (m_thread.joinable()) {
            uint64_t one = 1;
            ssize_t written = write(m_stop, &one, sizeof one);
            (void)written;  // eventfd takes 8 bytes unless the counter is full
            m_thread.join();
        }
        for (int* fd : {&m_read, &m_write, &m_stop}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }

private:
    void Run()
    {
        for (;;) {
            pollfd ready[2] = {{m_read, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (poll(ready, 2, -1) < 0 && errno != EINTR)
                break;
            PassOn();
            if (ready[1].revents != 0)
                break;
        }
        // Every line was written whole before the stop was asked for.
        PassOn();
        if (!m_partial.empty())
            m_destination->Write(PlainLogLine(m_partial) + "\n");
        m_partial.clear();
    }

    int Unread() const
    {
        int count = 0;
        return ioctl(m_read, FIONREAD, &count) == 0 ? count : 0;
    }

    // Everything the pipe holds now, in whole lines. Busy from before the
    // first read to after the last write, for Settle.
    void PassOn()
    {
        m_busy = true;
        char chunk[16384];
        for (;;) {
            ssize_t n = read(m_read, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            m_partial.append(chunk, static_cast<size_t>(n));
            std::string out;
            size_t start = 0;
            for (size_t end; (end = m_partial.find('\n', start)) != std::string::npos;
                 start = end + 1)
                out += PlainLogLine(m_partial.substr(start, end - start)) + "\n";
            m_partial.erase(0, start);
            m_destination->Write(out);
        }
        m_busy = false;
    }

    int m_read = -1;
    int m_write = -1;
    int m_stop = -1;
    Destination* m_destination = nullptr;
    std::string m_partial;
    std::atomic<bool> m_busy{false};
    std::thread m_thread;
};

struct LogState {
    bool setUp = false;
    bool verbose = false;
    bool toStderr = false;  // fixed at setup: the pump's thread owns the destination
    std::string description = kLogOff;
    Destination destination;
    std::unique_ptr<LogPump> pump;
    int lineFd = -1;  // where GLib's messages and the notes go (-1: dropped)
};
LogState g_log;

// The library's log reopens its file whenever the variable names another
// path; naming the pipe's descriptor puts its lines into the pump. Without
// /proc (or a pipe) they go to the destination as the library writes them.
void PointLibraryAt(const std::string& fallback)
{
    if (g_log.destination.fd < 0) {
        setenv(kLogEnv, "none", 1);
        return;
    }
    auto pump = std::make_unique<LogPump>();
    if (pump->Start(&g_log.destination)) {
        std::string byDescriptor = "/proc/self/fd/" + std::to_string(pump->WriteEnd());
        if (access(byDescriptor.c_str(), W_OK) == 0) {
            setenv(kLogEnv, byDescriptor.c_str(), 1);
            g_log.lineFd = pump->WriteEnd();
            g_log.pump = std::move(pump);
            return;
        }
    }
    setenv(kLogEnv, fallback.c_str(), 1);
    g_log.lineFd = g_log.destination.fd;
}

std::string UseOwnFile()
{
    std::string folder, problem;
    int dirFd = OpenLogFolder(folder, problem);
    int fd = dirFd < 0 ? -1 : OpenLogFile(dirFd, folder + "/" + kLogFileName, 0, problem);
    if (fd < 0) {
        if (dirFd >= 0)
            close(dirFd);
        return problem + "; " + kLogOff + " (remove it, or name a log file in QZ_PLATFORM_LOG)";
    }
    g_log.destination = {fd, true, dirFd, folder + "/" + kLogFileName};
    g_log.description = g_log.destination.path;
    g_log.destination.KeepWithinCap();
    return {};
}

// The user's own choice of file: used as it is, not capped.
std::string UseNamedFile(const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return Errno(std::string("cannot open QZ_PLATFORM_LOG file ") + path) + "; " + kLogOff;
    g_log.destination = {fd, true, -1, path};
    g_log.description = path;
    return {};
}

void UseStderr()
{
    g_log.destination = {STDERR_FILENO, false, -1, {}};
    g_log.description = kStderr;
    g_log.toStderr = true;
}

std::string LogTimestamp()
{
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    g_autofree gchar* text = g_date_time_format(now, "%Y-%m-%d %H:%M:%S.%f");
    std::string stamp = text ? text : "";
    return stamp.size() > 23 ? stamp.substr(0, 23) : stamp;  // milliseconds
}

void WriteOwnLine(const std::string& text)
{
    if (g_log.lineFd < 0)
        return;
    // GLib starts some messages with a newline of its own.
    std::string line = LogTimestamp() + " qz-swu(" + std::to_string(getpid()) +
                       "): " + text.substr(std::min(text.find_first_not_of('\n'), text.size()));
    WriteAll(g_log.lineFd, PlainLogLine(line) + "\n");
}

GLogWriterOutput WriteGLibMessage(GLogLevelFlags level, const GLogField* fields, gsize count,
                                  gpointer)
{
    const char* domain = nullptr;
    for (gsize i = 0; i < count; ++i)
        if (strcmp(fields[i].key, "GLIB_DOMAIN") == 0)
            domain = static_cast<const char*>(fields[i].value);
    // Debug and info messages only with --verbose, and then as GLib's own
    // writer would show them (G_MESSAGES_DEBUG).
    bool chatter = (level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) != 0;
    if (chatter && (!g_log.verbose || g_log_writer_default_would_drop(level, domain)))
        return G_LOG_WRITER_HANDLED;
    g_autofree gchar* formatted = g_log_writer_format_fields(level, fields, count, FALSE);
    WriteOwnLine(formatted);
    return G_LOG_WRITER_HANDLED;
}

// ESC and what belongs to it: "ESC [ parameters intermediates final" or
// ESC with one more character. Returns the index after the sequence.
size_t SkipControlSequence(const std::string& text, size_t escape)
{
    size_t i = escape + 1;
    if (i >= text.size())
        return i;
    if (text[i] != '[')
        return i + 1;
    for (++i; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x40 && c <= 0x7e)
            return i + 1;
    }
    return i;
}

}  // namespace

std::string PlainLogLine(const std::string& line)
{
    std::string plain;
    plain.reserve(line.size());
    for (size_t i = 0; i < line.size();) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == 0x1b) {
            i = SkipControlSequence(line, i);
            continue;
        }
        if ((c >= 0x20 && c != 0x7f) || c == '\t')
            plain += line[i];
        ++i;
    }
    size_t tag = plain.find(kLibraryTag);
    size_t notRead = strlen(kValueNotRead);
    if (tag != std::string::npos && tag > 0 && plain[tag - 1] == 'E' && plain.size() >= notRead &&
        plain.compare(plain.size() - notRead, notRead, kValueNotRead) == 0)
        plain[tag - 1] = 'I';
    return plain;
}

std::string SetUpLog(bool verbose)
{
    if (g_log.setUp)
        return {};
    g_log.setUp = true;
    g_log.verbose = verbose;
    std::string warning;
    const char* chosen = getenv(kLogEnv);
    std::string fallback = "stderr";
    if (verbose || (chosen != nullptr && strcmp(chosen, "stderr") == 0)) {
        UseStderr();
    } else if (chosen == nullptr || chosen[0] == '\0') {
        warning = UseOwnFile();
        fallback = g_log.destination.path;
    } else if (strcmp(chosen, "none") != 0) {
        warning = UseNamedFile(chosen);
        fallback = chosen;
    }
    PointLibraryAt(fallback);
    g_log_set_writer_func(WriteGLibMessage, nullptr, nullptr);
    return warning;
}

void FinishLog()
{
    if (!g_log.setUp)
        return;
    if (g_log.pump)
        g_log.pump->Stop();
    g_log.pump.reset();
    setenv(kLogEnv, "none", 1);
    g_log.lineFd = -1;
    g_log.destination.Close();
}

void SettleLog()
{
    if (g_log.pump)
        g_log.pump->Settle();
}

const std::string& LogDescription() { return g_log.description; }

bool LogIsStderr() { return g_log.toStderr; }

void LogNote(const std::string& text) { WriteOwnLine(text); }

}  // namespace qzcli
