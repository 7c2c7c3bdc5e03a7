// Captures HiLog lines in memory for assertions, and lets a test wait for a line.
#ifndef MIRRAX_TESTS_SUPPORT_LOG_CAPTURE_H
#define MIRRAX_TESTS_SUPPORT_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "mirrax_platform/log_sink.h"

namespace mirrax::test {

// Installs itself as the log sink for its lifetime.
class LogCapture {
public:
    LogCapture() {
        platform::SetLogSink([this](const platform::LogLine &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        });
    }
    ~LogCapture() { platform::SetLogSink({}); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<platform::LogLine> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto &line : Lines()) {
            texts.push_back(line.text);
        }
        return texts;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

    // Number of lines whose text contains `needle` (at `level`, when given).
    size_t Count(const std::string &needle, int level = -1) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(needle, level);
    }
    // Waits until `count` lines contain `needle`; false on timeout.
    bool WaitFor(const std::string &needle, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(needle, -1) >= count; });
    }

private:
    size_t CountLocked(const std::string &needle, int level) const {
        size_t n = 0;
        for (const auto &line : lines_) {
            n += (level < 0 || line.level == level) && line.text.find(needle) != std::string::npos;
        }
        return n;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<platform::LogLine> lines_;
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_SUPPORT_LOG_CAPTURE_H
