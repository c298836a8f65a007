#define _GNU_SOURCE
#include "vconf.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define ROOT_ENV "QZ_KVSTORE_DIR"
#define TMP_MARK ".tmp."
/* A temporary file this old was left by a writer that died: a live write
 * takes milliseconds. */
#define ORPHAN_AGE_SECONDS 60

static const char* store_root(void)
{
    const char* root = getenv(ROOT_ENV);
    return (root != NULL && root[0] != '\0') ? root : QZ_KVSTORE_DEFAULT_ROOT;
}

/* A key is a relative path of non-empty components, none of them "." or
 * "..", so that the file it names always lies below the root. */
static int key_is_safe(const char* key)
{
    if (key == NULL || key[0] == '\0' || key[0] == '/')
        return 0;
    const char* part = key;
    for (;;) {
        const char* end = strchrnul(part, '/');
        size_t len = (size_t)(end - part);
        if (len == 0 || (len == 1 && part[0] == '.') ||
            (len == 2 && part[0] == '.' && part[1] == '.'))
            return 0;
        if (*end == '\0')
            return 1;
        part = end + 1;
    }
}

static int key_path(const char* key, char* out, size_t cap)
{
    if (!key_is_safe(key))
        return -1;
    int n = snprintf(out, cap, "%s/%s", store_root(), key);
    return (n > 0 && (size_t)n < cap) ? 0 : -1;
}

static int make_parent_dirs(char* path)
{
    for (char* p = strchr(path + 1, '/'); p != NULL; p = strchr(p + 1, '/')) {
        *p = '\0';
        int rc = mkdir(path, 0755);
        *p = '/';
        if (rc != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

/* Only a regular file is a value: not a link (which could point anywhere),
 * not a FIFO or device (which could block the reader for ever). */
static int open_value(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > QZ_KVSTORE_MAX_VALUE) {
        close(fd);
        return -1;
    }
    return fd;
}

static char* read_whole(const char* path)
{
    int fd = open_value(path);
    if (fd < 0)
        return NULL;
    size_t cap = 128, len = 0;
    char* buf = malloc(cap);
    while (buf != NULL) {
        /* The file may grow after the size check. */
        if (len > QZ_KVSTORE_MAX_VALUE) {
            free(buf);
            buf = NULL;
            break;
        }
        if (len + 1 >= cap) {
            char* grown = realloc(buf, cap * 2);
            if (grown == NULL) {
                free(buf);
                buf = NULL;
                break;
            }
            buf = grown;
            cap *= 2;
        }
        ssize_t n = read(fd, buf + len, cap - len - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            free(buf);
            buf = NULL;
            break;
        }
        if (n == 0) {
            buf[len] = '\0';
            break;
        }
        len += (size_t)n;
    }
    close(fd);
    return buf;
}

char* vconf_get_str(const char* key)
{
    char path[PATH_MAX];
    if (key_path(key, path, sizeof(path)) != 0)
        return NULL;
    return read_whole(path);
}

int vconf_get_int(const char* key, int* val)
{
    if (val == NULL)
        return -1;
    char* text = vconf_get_str(key);
    if (text == NULL)
        return -1;
    char* end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    int ok = end != text && errno == 0 && value >= INT_MIN && value <= INT_MAX &&
             (*end == '\0' || *end == '\n');
    free(text);
    if (!ok)
        return -1;
    *val = (int)value;
    return 0;
}

static int write_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= (size_t)n;
    }
    return 0;
}

/* The folder entry of a rename reaches the disk only with the folder. */
static int sync_folder(const char* path)
{
    char folder[PATH_MAX];
    snprintf(folder, sizeof(folder), "%s", path);
    char* slash = strrchr(folder, '/');
    if (slash == NULL)
        return -1;
    *slash = '\0';
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    return rc;
}

/* Removes the temporary files of this key that a crashed writer left. */
static void remove_orphans(const char* path)
{
    char folder[PATH_MAX];
    snprintf(folder, sizeof(folder), "%s", path);
    char* slash = strrchr(folder, '/');
    if (slash == NULL)
        return;
    *slash = '\0';
    const char* base = slash + 1;
    size_t base_len = strlen(base);
    DIR* dir = opendir(folder);
    if (dir == NULL)
        return;
    time_t now = time(NULL);
    for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
        if (strncmp(entry->d_name, base, base_len) != 0 ||
            strncmp(entry->d_name + base_len, TMP_MARK, strlen(TMP_MARK)) != 0)
            continue;
        struct stat info;
        if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            now - info.st_mtime > ORPHAN_AGE_SECONDS)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

int vconf_set_str(const char* key, const char* value)
{
    char path[PATH_MAX], tmp[PATH_MAX + 32];
    if (value == NULL || strlen(value) > QZ_KVSTORE_MAX_VALUE ||
        key_path(key, path, sizeof(path)) != 0)
        return -1;
    if (make_parent_dirs(path) != 0)
        return -1;
    remove_orphans(path);
    /* Write a private temporary beside the target, then rename over it:
     * rename is atomic within one file system. Both the file and the folder
     * are synced, so that after a power loss the key holds the old or the
     * new value, not an empty file. */
    snprintf(tmp, sizeof(tmp), "%s" TMP_MARK "XXXXXX", path);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = write_all(fd, value, strlen(value));
    if (rc == 0)
        rc = fchmod(fd, 0644);
    if (rc == 0)
        rc = fsync(fd);
    if (close(fd) != 0)
        rc = -1;
    if (rc == 0)
        rc = rename(tmp, path);
    if (rc != 0)
        unlink(tmp);
    if (rc == 0)
        rc = sync_folder(path);
    return rc == 0 ? 0 : -1;
}

int vconf_set_int(const char* key, int value)
{
    char text[16];
    snprintf(text, sizeof(text), "%d", value);
    return vconf_set_str(key, text);
}

int vconf_unset(const char* key)
{
    char path[PATH_MAX];
    if (key_path(key, path, sizeof(path)) != 0)
        return -1;
    return (unlink(path) == 0 || errno == ENOENT) ? 0 : -1;
}
