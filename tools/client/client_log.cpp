#include "client_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace mirrax::client {

namespace {

void Print(const char *label, const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int size = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    // One write, so that lines of different threads never mix.
    fprintf(stderr, "%smirrax_client: %s%s\n", isatty(STDERR_FILENO) ? "\r\033[K" : "", label,
            text.c_str());
}

}  // namespace

void Say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Print("", format, args);
    va_end(args);
}

void Warn(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Print("warning: ", format, args);
    va_end(args);
}

int Fail(const std::string &message) {
    Say("error: %s", message.c_str());
    return kExitFailure;
}

}  // namespace mirrax::client
