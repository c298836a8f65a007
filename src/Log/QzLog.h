// The library's logging helper: every line goes to the main platform log
// under one tag, prefixed with the source file's base name, the function
// and the line.
#ifndef QZ_LOG_H
#define QZ_LOG_H

#include <dlog.h>

#define QZ_LOG_TAG "qz-swu-interface"

#ifdef __FILE_NAME__
#define QZ_LOG_FILE __FILE_NAME__
#else
#define QZ_LOG_FILE qz_log_basename(__FILE__)
static inline const char* qz_log_basename(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/')
            base = p + 1;
    return base;
}
#endif

#define QZ_LOG_PRINT(prio, fmt, ...)                                                          \
    __dlog_print(LOG_ID_MAIN, (prio), QZ_LOG_TAG, "%s: %s(%d) > " fmt, QZ_LOG_FILE, __func__, \
                 __LINE__, ##__VA_ARGS__)

// For a helper that logs on behalf of the public operation it serves.
#define QZ_LOG_PRINT_AS(prio, function, fmt, ...)                                               \
    __dlog_print(LOG_ID_MAIN, (prio), QZ_LOG_TAG, "%s: %s(%d) > " fmt, QZ_LOG_FILE, (function), \
                 __LINE__, ##__VA_ARGS__)

#define QZ_LOGI(fmt, ...) QZ_LOG_PRINT(DLOG_INFO, fmt, ##__VA_ARGS__)
#define QZ_LOGE(fmt, ...) QZ_LOG_PRINT(DLOG_ERROR, fmt, ##__VA_ARGS__)

// Highlighted messages: bold yellow, sent at error priority.
#define QZ_HL_BEGIN "\e[1m\e[33m"
#define QZ_HL_END "\e[0;m"
// Bus-layer traces: yellow, info priority.
#define QZ_TRACE_BEGIN "\e[0;33m"

#endif  // QZ_LOG_H
