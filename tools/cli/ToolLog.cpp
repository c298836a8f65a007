#include "ToolLog.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qzcli {

namespace {

constexpr const char* kLogEnv = "QZ_PLATFORM_LOG";
constexpr const char* kLogOff = "library log off";
constexpr const char* kStderr = "standard error";

struct LogState {
    std::string description = kLogOff;
    bool toStderr = false;  // GLib's messages keep their default writer
    int fd = -1;            // where GLib's messages go otherwise (-1: dropped)
    int dirFd = -1;         // the folder of the tool's own file, when in use
    std::string path;       // that file's path
};
LogState g_log;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

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

// The library's log reopens its file whenever the variable names another
// path. Naming the descriptor rather than the file keeps it on exactly the
// file checked here, and a new descriptor after a rotation moves it along.
void PointLibraryAt(int fd)
{
    std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd);
    bool viaProc = access(byDescriptor.c_str(), W_OK) == 0;
    setenv(kLogEnv, viaProc ? byDescriptor.c_str() : g_log.path.c_str(), 1);
}

off_t FileSize(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_size : 0;
}

void Rotate()
{
    std::string rotated = std::string(kLogFileName) + ".1";
    if (renameat(g_log.dirFd, kLogFileName, g_log.dirFd, rotated.c_str()) != 0)
        return;
    std::string problem;
    int fresh = OpenLogFile(g_log.dirFd, g_log.path, O_EXCL, problem);
    if (fresh < 0)  // another qz-swu of this user rotated at the same moment
        fresh = OpenLogFile(g_log.dirFd, g_log.path, 0, problem);
    if (fresh < 0)
        return;
    // The new descriptor is opened before the old one is closed, so that
    // its number, and with it the library's path, differs.
    PointLibraryAt(fresh);
    close(g_log.fd);
    g_log.fd = fresh;
}

std::string UseOwnFile()
{
    std::string folder, problem;
    int dirFd = OpenLogFolder(folder, problem);
    int fd = dirFd < 0 ? -1 : OpenLogFile(dirFd, folder + "/" + kLogFileName, 0, problem);
    if (fd < 0) {
        if (dirFd >= 0)
            close(dirFd);
        setenv(kLogEnv, "none", 1);
        return problem + "; " + kLogOff + " (remove it, or name a log file in QZ_PLATFORM_LOG)";
    }
    g_log.dirFd = dirFd;
    g_log.fd = fd;
    g_log.path = folder + "/" + kLogFileName;
    g_log.description = g_log.path;
    PointLibraryAt(fd);
    KeepLogWithinCap();
    return {};
}

std::string LogTimestamp()
{
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    g_autofree gchar* text = g_date_time_format(now, "%Y-%m-%d %H:%M:%S.%f");
    std::string stamp = text ? text : "";
    return stamp.size() > 23 ? stamp.substr(0, 23) : stamp;  // milliseconds
}

GLogWriterOutput WriteGLibMessage(GLogLevelFlags level, const GLogField* fields, gsize count,
                                  gpointer)
{
    if (g_log.toStderr)
        return g_log_writer_default(level, fields, count, nullptr);
    if ((level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) != 0 || g_log.fd < 0)
        return G_LOG_WRITER_HANDLED;
    g_autofree gchar* formatted = g_log_writer_format_fields(level, fields, count, FALSE);
    // GLib starts some messages with a newline of its own.
    const char* text = formatted + strspn(formatted, "\n");
    std::string line = LogTimestamp() + " qz-swu(" + std::to_string(getpid()) + "): " + text + "\n";
    // A log line that cannot be written is not worth failing the command.
    ssize_t written = write(g_log.fd, line.data(), line.size());
    (void)written;
    return G_LOG_WRITER_HANDLED;
}

}  // namespace

std::string SetUpLog(bool verbose)
{
    std::string warning;
    const char* chosen = getenv(kLogEnv);
    if (verbose) {
        setenv(kLogEnv, "stderr", 1);
        g_log.description = kStderr;
        g_log.toStderr = true;
    } else if (chosen == nullptr || chosen[0] == '\0') {
        warning = UseOwnFile();
    } else if (strcmp(chosen, "none") == 0) {
        g_log.description = kLogOff;
    } else if (strcmp(chosen, "stderr") == 0) {
        g_log.description = kStderr;
        g_log.toStderr = true;
    } else {
        // The user's own choice of file: used as it is, not capped.
        g_log.description = chosen;
        g_log.fd = open(chosen, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    g_log_set_writer_func(WriteGLibMessage, nullptr, nullptr);
    return warning;
}

const std::string& LogDescription() { return g_log.description; }

void KeepLogWithinCap()
{
    if (g_log.dirFd >= 0 && FileSize(g_log.fd) >= kLogCapBytes)
        Rotate();
}

}  // namespace qzcli
