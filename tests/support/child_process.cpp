#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

extern char **environ;

namespace mirrax::test {

// The emulator of a cross build comes as CMake's CMAKE_CROSSCOMPILING_EMULATOR, its
// words joined by spaces. The build machine's kernel cannot run a program built for
// the tests' machine by itself unless binfmt_misc was set up for it.
std::vector<std::string> CommandLine(const std::vector<std::string> &argv) {
#ifdef MIRRAX_TEST_EMULATOR
    if (!argv.empty() && argv[0].rfind(BuildPath("bin/"), 0) == 0) {
        std::istringstream words(MIRRAX_TEST_EMULATOR);
        std::vector<std::string> command{std::istream_iterator<std::string>(words), {}};
        command.insert(command.end(), argv.begin(), argv.end());
        return command;
    }
#endif
    return argv;
}

namespace {
// A pipe whose ends are closed unless taken.
struct Pipe {
    int fd[2] = {-1, -1};
    bool Open() { return pipe2(fd, O_CLOEXEC) == 0; }
    int Take(int end) { return std::exchange(fd[end], -1); }
    ~Pipe() {
        for (int end : fd) {
            close(end);  // a taken end is -1: nothing to close
        }
    }
};
}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv) {
    // A child that exits before reading its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    Pipe in;
    Pipe out;
    Pipe err;
    if (!in.Open() || !out.Open() || !err.Open()) {
        return;
    }
    const std::vector<std::string> command = CommandLine(argv);
    std::vector<char *> cargv;
    for (const auto &a : command) {
        cargv.push_back(const_cast<char *>(a.c_str()));
    }
    cargv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in.fd[0], STDIN_FILENO);
        dup2(out.fd[1], STDOUT_FILENO);
        dup2(err.fd[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(cargv[0], cargv.data(), environ);
        _exit(127);
    }
    stdin_ = in.Take(1);
    if (pid_ < 0) {
        return;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    readers_[0] = std::thread([this, fd = out.Take(0)] { ReadLoop(fd, Stream::kStdout); });
    readers_[1] = std::thread([this, fd = err.Take(0)] { ReadLoop(fd, Stream::kStderr); });
}  // the ends left to the child close here, so the readers see the end of its output

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    for (auto &reader : readers_) {
        if (reader.joinable()) {
            reader.join();
        }
    }
    if (pidfd_ >= 0) {
        close(pidfd_);
    }
    if (stdin_ >= 0) {
        close(stdin_);
    }
    // A ThreadSanitizer build of the host or the client prints its reports on standard
    // error. The exit status shows them too, but not for a child the test killed or one
    // whose status it does not check, so every report fails the test that ran the child.
    const std::string err = Output(Stream::kStderr);
    const size_t at = err.find("WARNING: ThreadSanitizer:");
    if (at != std::string::npos) {
        ADD_FAILURE() << "child " << pid_ << " reported a ThreadSanitizer finding:\n"
                      << err.substr(at);
    }
}

bool ChildProcess::WriteLine(const std::string &line) {
    const std::string text = line + "\n";
    return stdin_ >= 0 &&
           write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::ReadLoop(int fd, Stream stream) {
    pthread_setname_np(pthread_self(), "child-reader");
    auto &lines = lines_[static_cast<int>(stream)];
    std::string pending;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
        pending.append(buf, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            lines.push_back(pending.substr(0, nl));
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending.empty()) {
        lines.push_back(pending);
    }
    ended_[static_cast<int>(stream)] = true;
    changed_.notify_all();
    close(fd);
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !status_) {
        kill(pid_, sig);
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    pollfd p{pidfd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    int raw = 0;
    if (waitpid(pid_, &raw, 0) != pid_) {
        return std::nullopt;
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    // The pipes reach end of file once the child is gone: collect its last lines.
    for (auto &reader : readers_) {
        if (reader.joinable()) {
            reader.join();
        }
    }
    return status_;
}

bool ChildProcess::WaitForCount(Stream stream, const std::string &needle, size_t count,
                                std::chrono::milliseconds timeout) {
    const int index = static_cast<int>(stream);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout,
                      [&] { return ended_[index] || CountLocked(index, needle) >= count; });
    return CountLocked(index, needle) >= count;
}

std::vector<std::string> ChildProcess::Lines(Stream stream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_[static_cast<int>(stream)];
}

size_t ChildProcess::CountLines(Stream stream, const std::string &needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(static_cast<int>(stream), needle);
}

size_t ChildProcess::CountLocked(int index, const std::string &needle) const {
    return std::count_if(lines_[index].begin(), lines_[index].end(),
                         [&](const std::string &l) { return l.find(needle) != std::string::npos; });
}

std::string ChildProcess::Output(Stream stream) const {
    std::string all;
    for (const auto &line : Lines(stream)) {
        all += line;
        all += '\n';
    }
    return all;
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

std::string RunResult::Describe() const {
    return "status " + (status ? std::to_string(*status) : std::string("(timed out)")) +
           "\nstdout:\n" + out + "\nstderr:\n" + err;
}

RunResult Run(const std::vector<std::string> &argv, std::chrono::milliseconds timeout) {
    ChildProcess child(argv);
    RunResult result;
    result.status = child.Wait(timeout);
    result.out = child.Output(ChildProcess::Stream::kStdout);
    result.err = child.Output(ChildProcess::Stream::kStderr);
    return result;
}

std::string ReadFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace mirrax::test
