// Runs a program in a child process with its standard output and error captured
// line by line, so tests can wait for a line and for the exit without sleeping.
#ifndef MIRRAX_TESTS_SUPPORT_CHILD_PROCESS_H
#define MIRRAX_TESTS_SUPPORT_CHILD_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mirrax::test {

class ChildProcess {
public:
    enum class Stream { kStdout, kStderr };

    // Starts `argv[0]` (a path) with the given arguments.
    explicit ChildProcess(const std::vector<std::string> &argv);
    // Kills a child still running, reaps it, joins the readers; fails the current test
    // when the child printed a ThreadSanitizer report.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t Pid() const { return pid_; }

    void Signal(int sig);
    // Writes one line to the child's standard input.
    bool WriteLine(const std::string &line);

    // Exit status (0..255), or 128 + signal for a killed child; nothing on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // Sends `sig`, then waits for the exit status.
    std::optional<int> Stop(int sig = SIGTERM,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        Signal(sig);
        return Wait(timeout);
    }

    // Waits until a line containing `needle` appeared on the stream; false on timeout,
    // or at once when the stream ended without it (the child exited or closed it).
    bool WaitForLine(Stream stream, const std::string &needle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return WaitForCount(stream, needle, 1, timeout);
    }
    // Waits until at least `count` lines containing `needle` appeared on the stream.
    bool WaitForCount(Stream stream, const std::string &needle, size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(15));
    std::vector<std::string> Lines(Stream stream) const;
    size_t CountLines(Stream stream, const std::string &needle) const;
    std::string Output(Stream stream) const;  // all lines joined with '\n'

private:
    void ReadLoop(int fd, Stream stream);
    size_t CountLocked(int index, const std::string &needle) const;  // mutex_ held

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_[2];
    bool ended_[2] = {false, false};  // the stream reached end of file
    std::thread readers_[2];
};

// A program run to its end: the exit status (nothing when it did not end in time and
// was killed) and everything it printed.
struct RunResult {
    std::optional<int> status;
    std::string out;
    std::string err;
    std::string Describe() const;  // status and both outputs, for a failure message
};
RunResult Run(const std::vector<std::string> &argv,
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path &path);

// The command line that starts the program `argv[0]` with its arguments, as
// ChildProcess runs it: in a cross build whose tests run under an emulator, a program
// of this build (under its bin/) comes after that emulator's command; other programs
// (/bin/sh, ffprobe) stay as they are. For a test that starts a program through a shell.
std::vector<std::string> CommandLine(const std::vector<std::string> &argv);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// Path of a built program or library, from the build tree layout (bin/, lib/).
inline std::string BuildPath(const std::string &relative) {
    return MIRRAX_BUILD_DIR "/" + relative;
}

// The command line of a program of this build (bin/NAME) with its arguments.
inline std::vector<std::string> Program(const std::string &name,
                                        std::vector<std::string> args = {}) {
    args.insert(args.begin(), BuildPath("bin/" + name));
    return args;
}

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_SUPPORT_CHILD_PROCESS_H
