/**
 * \file
 * Platform key-value store (the simulator's stand-in; a device has its own
 * library of the same name).
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

/** The store's root folder when QZ_KVSTORE_DIR is unset. */
#define QZ_KVSTORE_DEFAULT_ROOT "/var/lib/qz-kvstore"
/** Longest value in bytes: longer ones are neither written nor read. */
#define QZ_KVSTORE_MAX_VALUE (1024 * 1024)

/**
 * Reads a key's value as text.
 * \param key the key, e.g. "db/corvane/swupgrade/swu_result".
 * \return a newly allocated copy of the value (release with free), or NULL
 *         when the key cannot be read.
 */
char* vconf_get_str(const char* key);

/**
 * Reads a key's value as an int.
 * \param key the key.
 * \param[out] val the value on success; untouched otherwise.
 * \return 0 on success; -1 when the key cannot be read or does not hold a
 *         decimal int.
 */
int vconf_get_int(const char* key, int* val);

/**
 * Stores a text value, replacing the key's file atomically.
 * \param key the key.
 * \param value the text.
 * \return 0 on success, -1 on failure (bad key, no room, no permission).
 */
int vconf_set_str(const char* key, const char* value);
/**
 * Stores an int value as decimal text, as vconf_set_str() does.
 * \param key the key.
 * \param value the value.
 * \return 0 on success, -1 on failure.
 */
int vconf_set_int(const char* key, int value);

/**
 * Removes a key.
 * \param key the key.
 * \return 0, also when it did not exist; -1 on failure.
 */
int vconf_unset(const char* key);

#ifdef __cplusplus
}
#endif

#endif /* QZ_PLATFORM_VCONF_H */
