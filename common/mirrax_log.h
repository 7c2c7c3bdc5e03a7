// The library's logging convention: every line goes through HiLogPrint with the
// application log type, domain 0xD00F1E2 and tag "BraxelMirrax"; every format begins
// with "%{public}s " and its first argument is the location label "[file:(function)]"
// of the logging function, kept in a function-local compile-time array `tagChars`.
#ifndef MIRRAX_COMMON_MIRRAX_LOG_H
#define MIRRAX_COMMON_MIRRAX_LOG_H

#include <array>
#include <cstddef>
#include <string_view>

#include "hilog/log.h"

#define MIRRAX_EXPORT __attribute__((visibility("default")))

namespace mirrax {

constexpr unsigned int kLogDomain = 0xD00F1E2;
constexpr const char *kLogTag = "BraxelMirrax";
constexpr size_t kTagCharsSize = 64;

// 64 bytes: the label text, NUL padding, and the text's length in the last byte.
using TagChars = std::array<char, kTagCharsSize>;

consteval TagChars MakeTagChars(std::string_view file, std::string_view function) {
    TagChars out{};
    size_t n = 0;
    auto put = [&](std::string_view text) {
        for (char c : text) {
            if (n >= kTagCharsSize - 2) {
                throw "location label longer than 62 characters";
            }
            out[n++] = c;
        }
    };
    put("[");
    put(file);
    put(":(");
    put(function);
    put(")]");
    out[kTagCharsSize - 1] = static_cast<char>(n);
    return out;
}

// Length of a label, read from its last byte.
constexpr size_t TagLength(const TagChars &tag) {
    return static_cast<unsigned char>(tag[kTagCharsSize - 1]);
}

}  // namespace mirrax

// Declares the function-local `tagChars` of the calling function. `file` is the
// module label of the source file ("mirrax_server_so", "rpc_server",
// "native_screen_encoder").
#define MIRRAX_LOG_LABEL(file) \
    static constexpr ::mirrax::TagChars tagChars = ::mirrax::MakeTagChars(file, __func__)

#define MIRRAX_LOG(level, fmt, ...)                                                           \
    HiLogPrint(LOG_APP, level, ::mirrax::kLogDomain, ::mirrax::kLogTag, fmt, tagChars.data(), \
               ##__VA_ARGS__)
#define MIRRAX_LOGD(fmt, ...) MIRRAX_LOG(LOG_DEBUG, fmt, ##__VA_ARGS__)
#define MIRRAX_LOGI(fmt, ...) MIRRAX_LOG(LOG_INFO, fmt, ##__VA_ARGS__)
#define MIRRAX_LOGE(fmt, ...) MIRRAX_LOG(LOG_ERROR, fmt, ##__VA_ARGS__)

#endif  // MIRRAX_COMMON_MIRRAX_LOG_H
