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
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<platform::LogLine> Lines() const;
    std::vector<std::string> Texts() const;
    void Clear();

    // Number of lines whose text contains `needle` (at `level`, when given).
    size_t Count(const std::string &needle, int level = -1) const;
    bool Contains(const std::string &needle, int level = -1) const {
        return Count(needle, level) > 0;
    }
    // Index of the first line containing `needle` at or after `from`, or -1.
    int IndexOf(const std::string &needle, size_t from = 0) const;

    // Waits until `count` lines contain `needle`; false on timeout.
    bool WaitFor(const std::string &needle, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    size_t CountLocked(const std::string &needle, int level) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<platform::LogLine> lines_;
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_SUPPORT_LOG_CAPTURE_H
