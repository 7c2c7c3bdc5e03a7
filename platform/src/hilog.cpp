// HiLog on Linux: OHOS-style formatting and a swappable line sink.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "hilog/log_c.h"
#include "mirrax_platform/log_sink.h"

namespace mirrax::platform {
namespace {

struct FileCloser {
    void operator()(FILE *f) const {
        if (f != nullptr) {
            fclose(f);
        }
    }
};

std::mutex &SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink &CurrentSink() {
    static LogSink sink;
    return sink;
}

char LevelLetter(LogLevel level) {
    switch (level) {
        case LOG_DEBUG:
            return 'D';
        case LOG_INFO:
            return 'I';
        case LOG_WARN:
            return 'W';
        case LOG_ERROR:
            return 'E';
        case LOG_FATAL:
            return 'F';
        default:
            return '?';
    }
}

// Appends one conversion, pulling exactly one argument of the type its length
// modifier and conversion letter name, so the va_list stays in step.
void AppendConversion(std::string &out, const std::string &spec, char conv, const std::string &len,
                      bool isPrivate, va_list &args) {
    char buf[512];
    int n = 0;
    auto emit = [&](auto value) {
        if (isPrivate) {
            out += "<private>";
            return;
        }
        n = snprintf(buf, sizeof(buf), spec.c_str(), value);
        if (n >= static_cast<int>(sizeof(buf))) {
            std::string big(static_cast<size_t>(n) + 1, '\0');
            snprintf(big.data(), big.size(), spec.c_str(), value);
            big.resize(static_cast<size_t>(n));
            out += big;
        } else if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
    };
    switch (conv) {
        case 'd':
        case 'i':
            if (len == "ll" || len == "j") {
                emit(va_arg(args, long long));
            } else if (len == "l" || len == "z" || len == "t") {
                emit(va_arg(args, long));
            } else {
                emit(va_arg(args, int));
            }
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (len == "ll" || len == "j") {
                emit(va_arg(args, unsigned long long));
            } else if (len == "l" || len == "z" || len == "t") {
                emit(va_arg(args, unsigned long));
            } else {
                emit(va_arg(args, unsigned int));
            }
            break;
        case 'c':
            emit(va_arg(args, int));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (len == "L") {
                emit(va_arg(args, long double));
            } else {
                emit(va_arg(args, double));
            }
            break;
        case 's': {
            const char *s = va_arg(args, const char *);
            emit(s != nullptr ? s : "(null)");
            break;
        }
        case 'p':
            emit(va_arg(args, void *));
            break;
        default:
            break;
    }
}

std::string FormatOhos(const char *fmt, va_list incoming) {
    va_list args;
    va_copy(args, incoming);
    std::string out;
    for (const char *p = fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        const char *q = p + 1;
        bool isPrivate = true;  // a conversion without a marker is private
        if (*q == '{') {
            const char *close = q;
            while (*close != '\0' && *close != '}') {
                ++close;
            }
            if (*close == '\0') {
                out.append(p);
                break;
            }
            std::string marker(q + 1, close);
            isPrivate = marker != "public";
            q = close + 1;
        }
        std::string spec = "%";
        while (*q != '\0' && std::string_view("-+ #0").find(*q) != std::string_view::npos) {
            spec += *q++;
        }
        auto readNumberOrStar = [&]() {
            if (*q == '*') {
                spec += std::to_string(va_arg(args, int));
                ++q;
                return;
            }
            while (*q >= '0' && *q <= '9') {
                spec += *q++;
            }
        };
        readNumberOrStar();
        if (*q == '.') {
            spec += *q++;
            readNumberOrStar();
        }
        std::string len;
        while (*q != '\0' && std::string_view("hlLqjzt").find(*q) != std::string_view::npos) {
            len += *q++;
        }
        if (*q == '\0') {
            break;
        }
        char conv = *q;
        spec += len;
        spec += conv;
        AppendConversion(out, spec, conv, len, isPrivate, args);
        p = q;
    }
    va_end(args);
    return out;
}

void WriteToStream(FILE *stream, const LogLine &line) {
    std::string text = FormatLogLine(line);
    text += '\n';
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

}  // namespace

std::string FormatLogLine(const LogLine &line) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char head[96];
    snprintf(head, sizeof(head), "%02d-%02d %02d:%02d:%02d.%03ld %5d %5ld %c %05X/",
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             ts.tv_nsec / 1000000, static_cast<int>(getpid()),
             static_cast<long>(syscall(SYS_gettid)), LevelLetter(line.level), line.domain);
    return std::string(head) + line.tag + ": " + line.text;
}

void SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    CurrentSink() = std::move(sink);
}

bool SetLogFile(const std::string &path) {
    std::shared_ptr<FILE> file(fopen(path.c_str(), "a"), FileCloser());
    if (!file) {
        return false;
    }
    SetLogSink([file](const LogLine &line) { WriteToStream(file.get(), line); });
    return true;
}

}  // namespace mirrax::platform

extern "C" int HiLogPrint(LogType type, LogLevel level, unsigned int domain, const char *tag,
                          const char *fmt, ...) {
    if (fmt == nullptr) {
        return -1;
    }
    va_list args;
    va_start(args, fmt);
    mirrax::platform::LogLine line{type, level, domain, tag != nullptr ? tag : "",
                                   mirrax::platform::FormatOhos(fmt, args)};
    va_end(args);
    const int written = static_cast<int>(line.text.size());
    std::lock_guard<std::mutex> lock(mirrax::platform::SinkMutex());
    auto &sink = mirrax::platform::CurrentSink();
    if (sink) {
        sink(line);
    } else {
        mirrax::platform::WriteToStream(stderr, line);
    }
    return written;
}

extern "C" bool HiLogIsLoggable(unsigned int /*domain*/, const char * /*tag*/, LogLevel level) {
    return level >= LOG_DEBUG && level < LOG_LEVEL_MAX;
}
