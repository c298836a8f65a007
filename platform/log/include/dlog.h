/* Platform log: one line per call, with time, priority and tag.
 *
 * The sink is chosen at run time by QZ_PLATFORM_LOG:
 *   unset or empty  syslog
 *   "stderr"        standard error
 *   "none"          lines are dropped
 *   anything else   a file path; lines are appended
 */
#ifndef QZ_PLATFORM_DLOG_H
#define QZ_PLATFORM_DLOG_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { LOG_ID_MAIN = 0, LOG_ID_RADIO, LOG_ID_SYSTEM, LOG_ID_APPS, LOG_ID_MAX } log_id_t;

typedef enum {
    DLOG_UNKNOWN = 0,
    DLOG_DEFAULT,
    DLOG_VERBOSE,
    DLOG_DEBUG,
    DLOG_INFO, /* 4 */
    DLOG_WARN,
    DLOG_ERROR, /* 6 */
    DLOG_FATAL,
    DLOG_SILENT
} log_priority;

/* Returns the number of bytes of the formatted message, or a negative
 * value when the arguments are unusable. */
int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#ifdef __cplusplus
}
#endif

#endif /* QZ_PLATFORM_DLOG_H */
