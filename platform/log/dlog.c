#define _GNU_SOURCE
#include "dlog.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#define SINK_ENV "QZ_PLATFORM_LOG"
#define LINE_MAX_BYTES 4096
#define TAG_MAX_BYTES 128

enum sink_kind { SINK_SYSLOG, SINK_STDERR, SINK_NONE, SINK_FILE };

/* The file sink stays open between calls and is reopened only when the
 * environment names another path, so that a test can switch files and a
 * busy caller does not pay an open() per line. */
static pthread_mutex_t sink_lock = PTHREAD_MUTEX_INITIALIZER;
static char* open_path;
static int open_fd = -1;

extern char** environ;

/* Per-thread, in the static TLS block: the library is linked, never
 * opened late, and its few words must not cost a __tls_get_addr call. */
#define SINK_CACHE __thread __attribute__((tls_model("initial-exec")))

static enum sink_kind sink_kind_of(const char* value)
{
    if (value == NULL || value[0] == '\0')
        return SINK_SYSLOG;
    if (strcmp(value, "stderr") == 0)
        return SINK_STDERR;
    if (strcmp(value, "none") == 0)
        return SINK_NONE;
    return SINK_FILE;
}

/* The sink is looked up on every call, so that a test can switch it with
 * setenv at any time. getenv walks the environment from the start; each
 * thread instead remembers the slot and the very string in which it last
 * found the variable, and what that string said. The C library never
 * changes such a string in place: setenv stores a different string in the
 * slot, and adding or removing a variable moves the array or shifts its
 * slots. So while the array and the slot's string are the same, so is the
 * sink, and the usual call costs two comparisons instead of a walk. (A
 * string handed to putenv and then changed in place is not noticed; setenv
 * is the way to switch the sink.) */
static const char sink_name[] = SINK_ENV "=";
/* One block, so that the cached case finds all four words at one offset. */
struct sink_cache {
    char** environ;
    size_t slot;
    const char* entry;
    enum sink_kind kind;
};
static SINK_CACHE struct sink_cache seen;

/* The walk, out of line: the cached case below stays small enough that
 * __dlog_print returns for the "none" sink before setting up a frame. */
static __attribute__((noinline)) enum sink_kind sink_lookup(const char** path)
{
    char** env = environ;
    seen.environ = env;
    seen.entry = NULL;
    *path = NULL;
    for (size_t i = 0; env != NULL && env[i] != NULL; i++) {
        if (strncmp(env[i], sink_name, sizeof(sink_name) - 1) == 0) {
            seen.slot = i;
            seen.entry = env[i];
            *path = env[i] + sizeof(sink_name) - 1;
            break;
        }
    }
    seen.kind = sink_kind_of(*path);
    return seen.kind;
}

static inline enum sink_kind sink_from_env(const char** path)
{
    char** env = environ;
    if (env != NULL && env == seen.environ && seen.entry != NULL && env[seen.slot] == seen.entry) {
        *path = seen.entry + sizeof(sink_name) - 1;
        return seen.kind;
    }
    return sink_lookup(path);
}

static char priority_letter(int prio)
{
    static const char letters[] = "??VDIWEFS";
    return (prio >= 0 && prio < (int)sizeof(letters) - 1) ? letters[prio] : '?';
}

static int syslog_level(int prio)
{
    switch (prio) {
    case DLOG_VERBOSE:
    case DLOG_DEBUG: return LOG_DEBUG;
    case DLOG_INFO: return LOG_INFO;
    case DLOG_WARN: return LOG_WARNING;
    case DLOG_ERROR: return LOG_ERR;
    case DLOG_FATAL: return LOG_CRIT;
    default: return LOG_NOTICE;
    }
}

/* Under systemd a service's standard error may be a stream to the journal,
 * named by $JOURNAL_STREAM ("device:inode"). Lines written there carry a
 * "<N>" prefix, so that the journal files each at its syslog priority
 * rather than at the stream's default (info). Decided once per process. */
static pthread_once_t journal_once = PTHREAD_ONCE_INIT;
static int stderr_to_journal;

static void detect_journal_stream(void)
{
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long device, inode;
    struct stat st;
    stderr_to_journal = stream != NULL && sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
                        fstat(STDERR_FILENO, &st) == 0 && (unsigned long long)st.st_dev == device &&
                        (unsigned long long)st.st_ino == inode;
}

static size_t journal_prefix(char* out, size_t cap, int prio)
{
    pthread_once(&journal_once, detect_journal_stream);
    if (!stderr_to_journal)
        return 0;
    int n = snprintf(out, cap, "<%d>", syslog_level(prio));
    return (n > 0 && (size_t)n < cap) ? (size_t)n : 0;
}

/* Caller holds sink_lock. */
static int file_sink_fd(const char* path)
{
    if (open_path != NULL && strcmp(open_path, path) == 0 && open_fd >= 0)
        return open_fd;
    if (open_fd >= 0)
        close(open_fd);
    free(open_path);
    open_path = strdup(path);
    open_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return open_fd;
}

static void write_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        len -= (size_t)n;
    }
}

/* "2026-12-06 03:04:05.123 I/tag(pid): message\n" */
static size_t format_header(char* out, size_t cap, int prio, const char* tag)
{
    struct timespec now;
    struct tm local;
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    size_t n = strftime(out, cap, "%Y-%m-%d %H:%M:%S", &local);
    /* The tag is cut so that the header always fits: snprintf reports the
     * length it wanted, and an unbounded tag would make the caller copy
     * past the end of the buffer. */
    int m = snprintf(out + n, cap - n, ".%03ld %c/%.*s(%d): ", now.tv_nsec / 1000000L,
                     priority_letter(prio), TAG_MAX_BYTES, tag, (int)getpid());
    if (m < 0)
        return n;
    return ((size_t)m < cap - n) ? n + (size_t)m : cap - 1;
}

/* Formats and writes one line. Kept out of __dlog_print, whose common
 * case with the "none" sink should not pay for this frame's buffers. */
static __attribute__((noinline)) int emit_line(enum sink_kind sink, const char* path, int prio,
                                               const char* tag, const char* fmt, va_list ap)
{
    char message[LINE_MAX_BYTES];
    int len = vsnprintf(message, sizeof(message), fmt, ap);
    if (len < 0)
        return len;

    if (sink == SINK_SYSLOG) {
        syslog(syslog_level(prio), "%s: %s", tag, message);
        return len;
    }

    /* One line per call: a message that already ends in a newline gets no
     * second one, so that "...\n" formats do not leave blank lines. */
    size_t body = strlen(message);
    while (body > 0 && message[body - 1] == '\n')
        body--;
    char level[8];
    size_t level_len = sink == SINK_STDERR ? journal_prefix(level, sizeof(level), prio) : 0;
    char header[256];
    size_t header_len = format_header(header, sizeof(header), prio, tag);
    struct iovec parts[4] = {
        {level, level_len},
        {header, header_len},
        {message, body},
        {(void*)"\n", 1},
    };

    pthread_mutex_lock(&sink_lock);
    int fd = (sink == SINK_STDERR) ? STDERR_FILENO : file_sink_fd(path);
    if (fd >= 0) {
        /* Assemble the line first so that concurrent writers, also from
         * other processes appending to the same file, never interleave. */
        char line[sizeof(level) + sizeof(header) + LINE_MAX_BYTES + 1];
        size_t off = 0;
        for (int i = 0; i < 4; i++) {
            memcpy(line + off, parts[i].iov_base, parts[i].iov_len);
            off += parts[i].iov_len;
        }
        write_all(fd, line, off);
    }
    pthread_mutex_unlock(&sink_lock);
    return len;
}

int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...)
{
    if (fmt == NULL || tag == NULL || (int)log_id < 0 || log_id >= LOG_ID_MAX)
        return -EINVAL;

    const char* path;
    enum sink_kind sink = sink_from_env(&path);
    if (sink == SINK_NONE)
        return 0;

    va_list ap;
    va_start(ap, fmt);
    int len = emit_line(sink, path, prio, tag, fmt, ap);
    va_end(ap);
    return len;
}
