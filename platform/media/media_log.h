// Log helpers of the media services: one domain and tag, and FFmpeg's log routed
// through HiLog.
#ifndef MIRRAX_PLATFORM_MEDIA_MEDIA_LOG_H
#define MIRRAX_PLATFORM_MEDIA_MEDIA_LOG_H

#include <string>

#include "hilog/log.h"

namespace mirrax::media {

constexpr unsigned int kMediaLogDomain = 0xD002B00;
constexpr const char *kMediaLogTag = "MirraxMedia";

#define MEDIA_LOGI(fmt, ...)                                                \
    ((void)HiLogPrint(LOG_CORE, LOG_INFO, ::mirrax::media::kMediaLogDomain, \
                      ::mirrax::media::kMediaLogTag, fmt, ##__VA_ARGS__))
#define MEDIA_LOGW(fmt, ...)                                                \
    ((void)HiLogPrint(LOG_CORE, LOG_WARN, ::mirrax::media::kMediaLogDomain, \
                      ::mirrax::media::kMediaLogTag, fmt, ##__VA_ARGS__))
#define MEDIA_LOGE(fmt, ...)                                                 \
    ((void)HiLogPrint(LOG_CORE, LOG_ERROR, ::mirrax::media::kMediaLogDomain, \
                      ::mirrax::media::kMediaLogTag, fmt, ##__VA_ARGS__))

// Installs the av_log callback once per process: warnings and above become one HiLog
// line each (tag "FFmpeg"); lower levels are dropped.
void RouteFfmpegLog();

// Names the calling thread (at most 15 characters are kept).
void SetThreadName(const char *name);

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_MEDIA_LOG_H
