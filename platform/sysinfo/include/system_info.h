/**
 * \file
 * Platform system-information service (the simulator's stand-in; a device
 * has its own library of the same name).
 */
#ifndef QZ_PLATFORM_SYSTEM_INFO_H
#define QZ_PLATFORM_SYSTEM_INFO_H

#ifdef __cplusplus
extern "C" {
#endif

/** The device's software version text, "MODEL-MAJOR.MINOR"; the stand-in
 *  takes it from QZ_SW_VERSION. */
#define SYSTEM_INFO_KEY_SW_VERSION 128

#define SYSTEM_INFO_ERROR_NONE 0                  /**< Success. */
#define SYSTEM_INFO_ERROR_INVALID_PARAMETER (-22) /**< Unknown key or null pointer. */
#define SYSTEM_INFO_ERROR_NO_VALUE (-61)          /**< The key has no value. */
#define SYSTEM_INFO_ERROR_OUT_OF_MEMORY (-12)     /**< No memory for the text. */

/**
 * Reads a text value.
 * \param key the key, e.g. ::SYSTEM_INFO_KEY_SW_VERSION.
 * \param[out] value on success a newly allocated text (release with free);
 *        untouched otherwise.
 * \return ::SYSTEM_INFO_ERROR_NONE on success; non-zero for an unknown key
 *         or a key without a value.
 */
int system_info_get_value_string(int key, char** value);

#ifdef __cplusplus
}
#endif

#endif /* QZ_PLATFORM_SYSTEM_INFO_H */
