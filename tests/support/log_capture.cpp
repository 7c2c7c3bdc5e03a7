#include "support/log_capture.h"

namespace mirrax::test {

LogCapture::LogCapture() {
    platform::SetLogSink([this](const platform::LogLine &line) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        }
        changed_.notify_all();
    });
}

LogCapture::~LogCapture() { platform::SetLogSink({}); }

std::vector<platform::LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const auto &line : Lines()) {
        texts.push_back(line.text);
    }
    return texts;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

size_t LogCapture::CountLocked(const std::string &needle, int level) const {
    size_t n = 0;
    for (const auto &line : lines_) {
        n += (level < 0 || line.level == level) && line.text.find(needle) != std::string::npos;
    }
    return n;
}

size_t LogCapture::Count(const std::string &needle, int level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(needle, level);
}

int LogCapture::IndexOf(const std::string &needle, size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].text.find(needle) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool LogCapture::WaitFor(const std::string &needle, size_t count,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return CountLocked(needle, -1) >= count; });
}

}  // namespace mirrax::test
