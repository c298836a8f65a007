// The daemon logs with the library's line format under a tag of its own,
// so that its lines and the library's can be told apart in one log.
#ifndef QZ_DAEMON_LOG_H
#define QZ_DAEMON_LOG_H

#include "QzLog.h"

#undef QZ_LOG_TAG
#define QZ_LOG_TAG "qz-swu-daemon"

#endif  // QZ_DAEMON_LOG_H
