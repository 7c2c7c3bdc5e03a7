// Where HiLog lines go. Host programs and tests configure this; the library never does.
#ifndef MIRRAX_PLATFORM_LOG_SINK_H
#define MIRRAX_PLATFORM_LOG_SINK_H

#include <functional>
#include <string>

#include "hilog/log_c.h"

namespace mirrax::platform {

struct LogLine {
    LogType type;
    LogLevel level;
    unsigned int domain;
    std::string tag;
    std::string text;  // the formatted message, without a trailing newline
};

using LogSink = std::function<void(const LogLine &)>;

// Replaces the current sink. Sinks are called one line at a time under a lock, so a
// sink never sees two lines at once. Passing an empty function restores the default
// sink (standard error).
void SetLogSink(LogSink sink);

// Sends lines to a file (appended) in the same one-line form as standard error.
// Returns false, leaving the sink unchanged, when the file cannot be opened.
bool SetLogFile(const std::string &path);

// The default one-line form: "MM-DD HH:MM:SS.mmm PID TID L DOMAIN/TAG: text".
std::string FormatLogLine(const LogLine &line);

}  // namespace mirrax::platform

#endif  // MIRRAX_PLATFORM_LOG_SINK_H
