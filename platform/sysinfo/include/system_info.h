/* Platform system-information service. */
#ifndef QZ_PLATFORM_SYSTEM_INFO_H
#define QZ_PLATFORM_SYSTEM_INFO_H

#ifdef __cplusplus
extern "C" {
#endif

/* The device's software version text, taken from QZ_SW_VERSION. */
#define SYSTEM_INFO_KEY_SW_VERSION 128

#define SYSTEM_INFO_ERROR_NONE 0
#define SYSTEM_INFO_ERROR_INVALID_PARAMETER (-22)
#define SYSTEM_INFO_ERROR_NO_VALUE (-61)
#define SYSTEM_INFO_ERROR_OUT_OF_MEMORY (-12)

/* On success returns 0 and a newly allocated text through value (release
 * with free). An unknown key, or a key without a value, returns non-zero
 * and leaves *value untouched. */
int system_info_get_value_string(int key, char** value);

#ifdef __cplusplus
}
#endif

#endif /* QZ_PLATFORM_SYSTEM_INFO_H */
