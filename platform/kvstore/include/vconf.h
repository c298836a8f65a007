/* Platform key-value store.
 *
 * One file per key under the root directory named by QZ_KVSTORE_DIR
 * (/var/lib/qz-kvstore when unset). The key's '/' separate sub-folders;
 * the file holds the value as text, an int as decimal text. Writes replace
 * the file atomically, so a reader in any process sees the old or the new
 * value, never a mix, and are synced to disk. Keys that would leave the
 * root are refused. Only regular files are read (no links, FIFOs or
 * devices), up to QZ_KVSTORE_MAX_VALUE bytes; temporary files that a
 * crashed writer left beside a key are removed by the next write of it.
 */
#ifndef QZ_PLATFORM_VCONF_H
#define QZ_PLATFORM_VCONF_H

#ifdef __cplusplus
extern "C" {
#endif

#define QZ_KVSTORE_DEFAULT_ROOT "/var/lib/qz-kvstore"
/* Longest value in bytes: longer ones are neither written nor read. */
#define QZ_KVSTORE_MAX_VALUE (1024 * 1024)

/* A newly allocated copy of the value (release with free), or NULL when the
 * key cannot be read. */
char* vconf_get_str(const char* key);

/* 0 and the value through val on success; -1 when the key cannot be read or
 * does not hold a decimal int. */
int vconf_get_int(const char* key, int* val);

/* 0 on success, -1 on failure (bad key, no room, no permission). */
int vconf_set_str(const char* key, const char* value);
int vconf_set_int(const char* key, int value);

/* Removes the key; 0 also when it did not exist. */
int vconf_unset(const char* key);

#ifdef __cplusplus
}
#endif

#endif /* QZ_PLATFORM_VCONF_H */
