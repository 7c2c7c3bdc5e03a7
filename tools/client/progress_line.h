// The one progress line on a terminal, rewritten in place.
#ifndef MIRRAX_TOOLS_CLIENT_PROGRESS_LINE_H
#define MIRRAX_TOOLS_CLIENT_PROGRESS_LINE_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace mirrax::client {

struct ProgressSample {
    uint64_t totalFrames = 0;
    double intervalSeconds = 0.0;
    uint64_t intervalFrames = 0;
    uint64_t intervalBytes = 0;
    std::optional<double> latencyMs;  // median over the interval
};

// "frames 120  29.8 fps  680.1 kbit/s  send-to-arrival 12.0 ms"
std::string FormatProgress(const ProgressSample &sample);

class ProgressLine {
public:
    explicit ProgressLine(FILE *out) : out_(out) {}
    void Show(const std::string &text);
    // Blanks the line so that the next output starts on a clean one.
    void Clear();

private:
    FILE *out_;
    size_t width_ = 0;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_PROGRESS_LINE_H
