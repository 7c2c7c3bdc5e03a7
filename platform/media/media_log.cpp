#include "media_log.h"

#include <pthread.h>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace mirrax::media {
namespace {

// One partial line per thread: av_log may deliver a line in several calls.
struct LineState {
    int printPrefix = 1;
    std::string pending;
};

thread_local LineState tLine;

LogLevel ToHiLogLevel(int level) {
    if (level <= AV_LOG_FATAL) {
        return LOG_FATAL;
    }
    if (level <= AV_LOG_ERROR) {
        return LOG_ERROR;
    }
    return LOG_WARN;
}

void FfmpegLogCallback(void *avcl, int level, const char *fmt, va_list args) {
    if (level > AV_LOG_WARNING) {
        return;
    }
    char part[1024];
    va_list copy;
    va_copy(copy, args);
    av_log_format_line(avcl, level, fmt, copy, part, sizeof(part), &tLine.printPrefix);
    va_end(copy);
    tLine.pending += part;
    if (tLine.pending.empty() || tLine.pending.back() != '\n') {
        return;
    }
    tLine.pending.pop_back();
    HiLogPrint(LOG_CORE, ToHiLogLevel(level), kMediaLogDomain, "FFmpeg", "%{public}s",
               tLine.pending.c_str());
    tLine.pending.clear();
}

}  // namespace

void RouteFfmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(FfmpegLogCallback); });
}

void SetThreadName(const char *name) {
    char truncated[16] = {};
    snprintf(truncated, sizeof(truncated), "%s", name);
    pthread_setname_np(pthread_self(), truncated);
}

}  // namespace mirrax::media
