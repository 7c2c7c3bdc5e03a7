#include "progress_line.h"

namespace mirrax::client {

std::string FormatProgress(const ProgressSample &s) {
    const double seconds = s.intervalSeconds > 0.0 ? s.intervalSeconds : 1.0;
    char text[160];
    snprintf(text, sizeof(text), "frames %llu  %.1f fps  %.1f kbit/s",
             static_cast<unsigned long long>(s.totalFrames),
             static_cast<double>(s.intervalFrames) / seconds,
             static_cast<double>(s.intervalBytes) * 8.0 / 1000.0 / seconds);
    std::string line = text;
    if (s.latencyMs) {
        snprintf(text, sizeof(text), "  send-to-arrival %.1f ms", *s.latencyMs);
        line += text;
    }
    return line;
}

void ProgressLine::Show(const std::string &text) {
    const size_t pad = width_ > text.size() ? width_ - text.size() : 0;
    fprintf(out_, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    fflush(out_);
    width_ = text.size();
}

void ProgressLine::Clear() {
    if (width_ == 0) {
        return;
    }
    fprintf(out_, "\r%*s\r", static_cast<int>(width_), "");
    fflush(out_);
    width_ = 0;
}

}  // namespace mirrax::client
