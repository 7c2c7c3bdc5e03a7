#include "summary_format.h"

#include <cstdio>

namespace mirrax::client {

namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

template <typename T>
std::string NumberOrNull(const std::optional<T> &value, int decimals = 0) {
    if (!value) {
        return "null";
    }
    if constexpr (std::is_floating_point_v<T>) {
        return Fixed(*value, decimals);
    } else {
        return std::to_string(*value);
    }
}

}  // namespace

std::string FormatSummaryLine(const Summary &s) {
    std::string line = "frames: " + std::to_string(s.frames) + " (key " +
                       std::to_string(s.keyFrames) + "), bytes: " + std::to_string(s.bytes) + ", " +
                       Fixed(s.seconds, 2) + " s, " + Fixed(s.Fps(), 1) + " fps, " +
                       Fixed(s.KbitPerSecond(), 1) + " kbit/s";
    // The frames' "pts" is the server's hand-off of each buffer to the stream, so this
    // measures hand-off to arrival: capture and encoding are not in it.
    if (s.latencyMedianMs && s.latencyP99Ms) {
        line += ", send-to-arrival median " + Fixed(*s.latencyMedianMs, 1) + " ms p99 " +
                std::to_string(*s.latencyP99Ms) + " ms";
    }
    if (s.width && s.height) {
        line += ", size " + std::to_string(*s.width) + "x" + std::to_string(*s.height);
    }
    return line;
}

std::string FormatSummaryJson(const Summary &s) {
    return "{\"frames\":" + std::to_string(s.frames) +
           ",\"key_frames\":" + std::to_string(s.keyFrames) +
           ",\"bytes\":" + std::to_string(s.bytes) + ",\"seconds\":" + Fixed(s.seconds, 3) +
           ",\"fps\":" + Fixed(s.Fps(), 2) + ",\"kbit_per_s\":" + Fixed(s.KbitPerSecond(), 1) +
           ",\"latency_median_ms\":" + NumberOrNull(s.latencyMedianMs, 1) +
           ",\"latency_p99_ms\":" + NumberOrNull(s.latencyP99Ms) +
           ",\"width\":" + NumberOrNull(s.width) + ",\"height\":" + NumberOrNull(s.height) +
           ",\"ended_by\":" + JsonString(s.endedBy) + ",\"output\":" + JsonString(s.output) + "}";
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace mirrax::client
