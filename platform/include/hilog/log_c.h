// HiLog C interface, as the OHOS SDK declares it.
#ifndef HILOG_LOG_C_H
#define HILOG_LOG_C_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef LOG_DOMAIN
#define LOG_DOMAIN 0
#endif

#ifndef LOG_TAG
#define LOG_TAG NULL
#endif

typedef enum {
    LOG_TYPE_MIN = 0,
    LOG_APP = 0,
    LOG_INIT = 1,
    LOG_CORE = 3,
    LOG_KMSG = 4,
    LOG_ONLY_PRERELEASE = 5,
    LOG_TYPE_MAX
} LogType;

typedef enum {
    LOG_LEVEL_MIN = 0,
    LOG_DEBUG = 3,
    LOG_INFO = 4,
    LOG_WARN = 5,
    LOG_ERROR = 6,
    LOG_FATAL = 7,
    LOG_LEVEL_MAX,
} LogLevel;

// Formats one line OHOS style ("%{public}s", "%{private}d"; a conversion without a
// marker is private) and hands it to the current sink. Returns the number of bytes of
// the formatted text, or -1 when the format is null.
int HiLogPrint(LogType type, LogLevel level, unsigned int domain, const char *tag, const char *fmt,
               ...);

bool HiLogIsLoggable(unsigned int domain, const char *tag, LogLevel level);

#define HILOG_IMPL(type, level, domain, tag, ...) \
    HiLogPrint(type, level, domain, tag, ##__VA_ARGS__)
#define HILOG_DEBUG(type, ...) \
    ((void)HILOG_IMPL((type), LOG_DEBUG, LOG_DOMAIN, LOG_TAG, __VA_ARGS__))
#define HILOG_INFO(type, ...) ((void)HILOG_IMPL((type), LOG_INFO, LOG_DOMAIN, LOG_TAG, __VA_ARGS__))
#define HILOG_WARN(type, ...) ((void)HILOG_IMPL((type), LOG_WARN, LOG_DOMAIN, LOG_TAG, __VA_ARGS__))
#define HILOG_ERROR(type, ...) \
    ((void)HILOG_IMPL((type), LOG_ERROR, LOG_DOMAIN, LOG_TAG, __VA_ARGS__))
#define HILOG_FATAL(type, ...) \
    ((void)HILOG_IMPL((type), LOG_FATAL, LOG_DOMAIN, LOG_TAG, __VA_ARGS__))

#ifdef __cplusplus
}
#endif

#endif  // HILOG_LOG_C_H
