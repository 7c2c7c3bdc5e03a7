// A mirrax_host child process on a free loopback port, with its control input.
//
// Reading the host's log: LogCount() only after Stop() or Process().Wait() returned,
// or for a line that comes on standard error before a line already waited for. A
// line the host prints as it answers a call may still be in the pipe when the call's
// answer arrives: wait for it with WaitForLog(needle, count, bound) instead.
#ifndef MIRRAX_TESTS_INTEGRATION_HOST_FIXTURE_H
#define MIRRAX_TESTS_INTEGRATION_HOST_FIXTURE_H

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace mirrax::test {

class HostProcess {
public:
    // Starts `program` (the built host by default) with its control on standard input,
    // `hostOptions`, a free port and the library's `launchOptions`, and waits until it
    // listens.
    explicit HostProcess(const std::vector<std::string> &launchOptions,
                         const std::vector<std::string> &hostOptions = {},
                         const std::string &program = BuildPath("bin/mirrax_host")) {
        // A free port can be taken by another test's process between the choice and the
        // host's bind: the host then fails to listen and exits, and gets another port.
        for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
            port_ = FreeLoopbackPort();
            std::vector<std::string> argv = {program, "--control", "stdin"};
            argv.insert(argv.end(), hostOptions.begin(), hostOptions.end());
            argv.insert(argv.end(), {"-p", std::to_string(port_)});
            argv.insert(argv.end(), launchOptions.begin(), launchOptions.end());
            child_ = std::make_unique<ChildProcess>(argv);
            ready_ = child_->WaitForLine(ChildProcess::Stream::kStdout,
                                         "Server Listening on port:", std::chrono::seconds(30));
            if (!ready_ && (!child_->Wait(std::chrono::seconds(10)) ||
                            child_->CountLines(ChildProcess::Stream::kStderr,
                                               "Server failed to listen on:") == 0)) {
                break;
            }
        }
    }

    bool Ready() const { return ready_; }
    int Port() const { return port_; }
    std::string Target() const { return "127.0.0.1:" + std::to_string(port_); }
    ChildProcess &Process() { return *child_; }

    // Sends a control command and waits for its reply: true for "control: ok".
    bool Control(const std::string &command) {
        const size_t replies = LogCount("control: ");
        const size_t ok = LogCount("control: ok");
        return child_->WriteLine(command) && WaitForLog("control: ", replies + 1) &&
               LogCount("control: ok") > ok;
    }

    // Log lines (standard error) containing `needle`; see the rule above.
    size_t LogCount(const std::string &needle) const {
        return child_->CountLines(ChildProcess::Stream::kStderr, needle);
    }
    bool WaitForLog(const std::string &needle, size_t count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return child_->WaitForCount(ChildProcess::Stream::kStderr, needle, count, timeout);
    }
    std::string Log() const { return child_->Output(ChildProcess::Stream::kStderr); }

    // SIGTERM, then the exit status (nothing when the host hangs).
    std::optional<int> Stop() { return child_->Stop(SIGTERM); }

private:
    int port_ = -1;
    std::unique_ptr<ChildProcess> child_;
    bool ready_ = false;
};

// The frame files a host saved (-s 1), oldest first: their names are the monotonic
// milliseconds, with "_N" for a repeat in one millisecond.
inline std::vector<std::filesystem::path> SavedFrameFiles(
    const std::filesystem::path &dir = "/data/local/tmp/orvindo_record_data") {
    std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(dir), {});
    const auto order = [](const std::filesystem::path &file) {
        const std::string stem = file.stem().string();
        const size_t underscore = stem.find('_');
        return std::pair(
            std::stoll(stem.substr(0, underscore)),
            underscore == std::string::npos ? 0 : std::stoi(stem.substr(underscore + 1)));
    };
    std::sort(files.begin(), files.end(),
              [&](const auto &a, const auto &b) { return order(a) < order(b); });
    return files;
}

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_INTEGRATION_HOST_FIXTURE_H
