#define _GNU_SOURCE
#include "vconf.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define ROOT_ENV "QZ_KVSTORE_DIR"

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

static char* read_whole(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    size_t cap = 128, len = 0;
    char* buf = malloc(cap);
    while (buf != NULL) {
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

int vconf_set_str(const char* key, const char* value)
{
    char path[PATH_MAX], tmp[PATH_MAX + 32];
    if (value == NULL || key_path(key, path, sizeof(path)) != 0)
        return -1;
    if (make_parent_dirs(path) != 0)
        return -1;
    /* Write a private temporary beside the target, then rename over it:
     * rename is atomic within one file system. */
    snprintf(tmp, sizeof(tmp), "%s.tmp.XXXXXX", path);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = write_all(fd, value, strlen(value));
    if (rc == 0)
        rc = fchmod(fd, 0644);
    if (close(fd) != 0)
        rc = -1;
    if (rc == 0)
        rc = rename(tmp, path);
    if (rc != 0)
        unlink(tmp);
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
