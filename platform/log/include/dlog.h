/**
 * \file
 * Platform log: one line per call, with time, priority and tag.
 *
 * This is the simulator's stand-in; a device has its own library of the
 * same name. The sink is chosen at run time by QZ_PLATFORM_LOG:
 *
 * | QZ_PLATFORM_LOG | Lines go to          |
 * |-----------------|----------------------|
 * | unset or empty  | syslog               |
 * | "stderr"        | standard error       |
 * | "none"          | nowhere (dropped)    |
 * | anything else   | that file, appended  |
 */
#ifndef QZ_PLATFORM_DLOG_H
#define QZ_PLATFORM_DLOG_H

#ifdef __cplusplus
extern "C" {
#endif

/** The log buffer a line goes to; the library writes to ::LOG_ID_MAIN only. */
typedef enum {
    LOG_ID_MAIN = 0, /**< The main buffer. */
    LOG_ID_RADIO,    /**< The radio buffer. */
    LOG_ID_SYSTEM,   /**< The system buffer. */
    LOG_ID_APPS,     /**< The applications' buffer. */
    LOG_ID_MAX       /**< The number of buffers; not a buffer. */
} log_id_t;

/** Priority of a line; the library writes ::DLOG_INFO and ::DLOG_ERROR. */
typedef enum {
    DLOG_UNKNOWN = 0, /**< Not given. */
    DLOG_DEFAULT,     /**< The sink's default. */
    DLOG_VERBOSE,     /**< Verbose. */
    DLOG_DEBUG,       /**< Debugging. */
    DLOG_INFO,        /**< Information (4). */
    DLOG_WARN,        /**< Warning. */
    DLOG_ERROR,       /**< Error (6). */
    DLOG_FATAL,       /**< Fatal. */
    DLOG_SILENT       /**< Never written. */
} log_priority;

/**
 * Writes one line: time, priority, tag and the formatted message.
 *
 * \param log_id the buffer.
 * \param prio the priority, a ::log_priority.
 * \param tag the tag, e.g. "qz-swu-interface".
 * \param fmt printf-style format of the message, followed by its values.
 * \return the number of bytes of the formatted message, or a negative value
 *         when the arguments are unusable.
 *
 * Safe on any thread; the line is written whole.
 */
int __dlog_print(log_id_t log_id, int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#ifdef __cplusplus
}
#endif

#endif /* QZ_PLATFORM_DLOG_H */
