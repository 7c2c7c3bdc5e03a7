// mirrax_host end to end: a real server in a child process and a real gRPC client.
#include <arpa/inet.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "mirrax.grpc.pb.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using Stream = ChildProcess::Stream;

std::vector<std::string> HostArgs(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {mirrax::test::BuildPath("bin/mirrax_host")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

int32_t CallUnary(const std::string &target, bool end) {
    auto channel = grpc::CreateChannel(target, grpc::InsecureChannelCredentials());
    auto stub = MirraxService::NewStub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 5s);
    Empty request;
    ReplyEndMessage reply;
    const grpc::Status status = end ? stub->onEnd(&context, request, &reply)
                                    : stub->onRequestIDRFrame(&context, request, &reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply.result();
}

TEST(Host, ServesOnPortAndExitsZeroOnSigterm) {
    const int port = mirrax::test::FreeLoopbackPort();
    const std::string p = std::to_string(port);
    ChildProcess host(HostArgs({"-p", p, "-scale", "2"}));
    ASSERT_TRUE(host.WaitForLine(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p));
    EXPECT_TRUE(host.WaitForLine(Stream::kStderr,
                                 "I D00F1E2/BraxelMirrax: [rpc_server:(InitServer)] Server "
                                 "Listening on: 0.0.0.0:" +
                                     p + ", port: " + p));
    // The overlapping pairs reach the parser: the port and the scale are taken.
    EXPECT_EQ(host.CountLines(Stream::kStderr, "] scale:  2."), 1u);
    EXPECT_EQ(host.CountLines(Stream::kStderr, "] argv: "), 5u);

    const std::string target = "127.0.0.1:" + p;
    EXPECT_EQ(CallUnary(target, true), 0);
    EXPECT_EQ(CallUnary(target, false), 6);

    host.Signal(SIGTERM);
    const auto status = host.Wait(5s);
    ASSERT_TRUE(status.has_value()) << "host did not exit";
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(host.Lines(Stream::kStdout),
              (std::vector<std::string>{"Server Listening on port: 0.0.0.0:" + p,
                                        "Invoke StopServer.", "Server shutdown success."}));
}

// A display chosen on the command line starts its source thread before the server:
// the stop signals must still reach the host's watcher, not end the process.
TEST(Host, ChosenDisplayStillStopsCleanlyOnSigterm) {
    const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
    ChildProcess host(HostArgs({"--display", "synthetic:720x1280@30", "-p", p}));
    ASSERT_TRUE(host.WaitForLine(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p));
    host.Signal(SIGTERM);
    const auto status = host.Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(host.CountLines(Stream::kStdout, "Server shutdown success."), 1u);
}

TEST(Host, TakenPortFailsWithoutHanging) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const int port = mirrax::test::FreeLoopbackPort();
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(fd, 1), 0);

    ChildProcess host(HostArgs({"-p", std::to_string(port)}));
    const auto status = host.Wait(15s);
    close(fd);
    ASSERT_TRUE(status.has_value()) << "host kept waiting on a port it could not bind";
    EXPECT_NE(*status, 0);
    EXPECT_EQ(host.CountLines(Stream::kStderr, " E D00F1E2/BraxelMirrax: "), 1u)
        << host.Output(Stream::kStderr);
    EXPECT_EQ(host.CountLines(Stream::kStdout, "Server Listening"), 0u);
}

constexpr const char *kBanner = "Welcome to orvindo mirrax so!";

// A stop signal at a chosen moment of the start: the library's first log line (the
// host's signal watcher runs by then) plus a delay, so that it lands before the
// server is built, while it is built, as it starts listening and once it serves.
// (A signal in the first milliseconds after exec, while the dynamic linker still
// loads the libraries, kills any program before its own code runs.)
struct StopMoment {
    int delayMs;
};

void PrintTo(const StopMoment &m, std::ostream *os) { *os << m.delayMs << " ms"; }

class HostStopDuringStart : public ::testing::TestWithParam<StopMoment> {};

TEST_P(HostStopDuringStart, ExitsZeroWithinTwoSeconds) {
    constexpr int kTries = 3;
    for (int i = 0; i < kTries; ++i) {
        const int sig = i % 2 == 0 ? SIGTERM : SIGINT;
        SCOPED_TRACE("try " + std::to_string(i) + ", signal " + std::to_string(sig));
        const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
        ChildProcess host(HostArgs({"-p", p}));
        ASSERT_TRUE(host.WaitForLine(Stream::kStderr, kBanner)) << host.Output(Stream::kStderr);
        // The delay is the stimulus, not a wait for an event.
        std::this_thread::sleep_for(std::chrono::milliseconds(GetParam().delayMs));
        host.Signal(sig);
        // Two seconds natively; a host under an emulator builds its gRPC server
        // several times slower, and a stop that comes during the build waits for it.
        const auto status = host.Wait(2s * MIRRAX_TEST_TIME_SCALE);
        ASSERT_TRUE(status.has_value())
            << "host still running " << 2 * MIRRAX_TEST_TIME_SCALE << " s after the signal\n"
            << host.Output(Stream::kStdout) << host.Output(Stream::kStderr);
        EXPECT_EQ(*status, 0) << host.Output(Stream::kStderr);
        EXPECT_EQ(host.CountLines(Stream::kStdout, "Invoke StopServer."), 1u)
            << host.Output(Stream::kStdout);
        EXPECT_EQ(host.CountLines(Stream::kStderr, "mirrax_host: "), 0u)
            << host.Output(Stream::kStderr);
        // A server that was built is shut down, not left to the process exit.
        const auto out = host.Lines(Stream::kStdout);
        if (host.CountLines(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p) != 0) {
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out.back(), "Server shutdown success.") << host.Output(Stream::kStdout);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Delays, HostStopDuringStart,
                         ::testing::Values(StopMoment{0}, StopMoment{1}, StopMoment{2},
                                           StopMoment{3}, StopMoment{5}, StopMoment{10},
                                           StopMoment{50}, StopMoment{200}),
                         [](const auto &info) {
                             return "After" + std::to_string(info.param.delayMs) + "ms";
                         });

// SIGINT and SIGTERM both queued while the host is stopped reach it together when it
// continues: whichever the scheduling, the second ends the process at once.
// Signals sent after SIGSTOP stay pending until SIGCONT (no host thread runs its own
// code in between), and the lower-numbered SIGINT is taken first.
TEST(Host, SecondStopSignalExitsAtOnceWithOneLine) {
    const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
    ChildProcess host(HostArgs({"-p", p}));
    ASSERT_TRUE(host.WaitForLine(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p));
    host.Signal(SIGSTOP);
    host.Signal(SIGINT);
    host.Signal(SIGTERM);
    host.Signal(SIGCONT);
    const auto status = host.Wait(5s);
    ASSERT_TRUE(status.has_value()) << "host did not exit";
    EXPECT_EQ(*status, 128 + SIGTERM) << host.Output(Stream::kStderr);
    EXPECT_EQ(host.CountLines(Stream::kStderr, "second"), 1u) << host.Output(Stream::kStderr);
    EXPECT_EQ(host.CountLines(Stream::kStderr,
                              "mirrax_host: second SIGTERM, exiting at once without a clean "
                              "shutdown"),
              1u)
        << host.Output(Stream::kStderr);
    EXPECT_EQ(host.CountLines(Stream::kStdout, "Server shutdown success."), 0u);
}

// Lowers this process's soft open-file limit for its lifetime (children inherit it).
class LoweredFileLimit {
public:
    explicit LoweredFileLimit(rlim_t soft) {
        ok_ = getrlimit(RLIMIT_NOFILE, &saved_) == 0 && saved_.rlim_max > soft;
        if (ok_) {
            const rlimit lowered{soft, saved_.rlim_max};
            ok_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        }
    }
    ~LoweredFileLimit() {
        if (ok_) {
            setrlimit(RLIMIT_NOFILE, &saved_);
        }
    }
    bool Ok() const { return ok_; }
    rlim_t Hard() const { return saved_.rlim_max; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

// The "Max open files" soft and hard values of a running process, as text.
std::pair<std::string, std::string> OpenFileLimits(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    const std::string key = "Max open files";
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind(key, 0) == 0) {
            std::istringstream fields(line.substr(key.size()));
            std::string soft;
            std::string hard;
            fields >> soft >> hard;
            return {soft, hard};
        }
    }
    return {};
}

TEST(Host, RaisesSoftOpenFileLimitToHardLimit) {
    std::unique_ptr<ChildProcess> host;
    rlim_t hard = 0;
    const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
    {
        LoweredFileLimit lowered(64);
        if (!lowered.Ok()) {
            GTEST_SKIP() << "the open-file limit cannot be lowered below its hard limit here";
        }
        hard = lowered.Hard();
        host = std::make_unique<ChildProcess>(HostArgs({"-p", p}));
    }
    ASSERT_TRUE(host->WaitForLine(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p));
    const auto [soft, hardText] = OpenFileLimits(host->Pid());
    const std::string expected =
        hard == RLIM_INFINITY ? std::string("unlimited") : std::to_string(hard);
    EXPECT_EQ(hardText, expected);
    EXPECT_EQ(soft, expected);
    EXPECT_EQ(host->CountLines(Stream::kStderr, "mirrax_host: "), 0u)
        << host->Output(Stream::kStderr);
    host->Signal(SIGTERM);
    const auto status = host->Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

// The host stops the server through the library it is linked with, so --library
// accepts that library under any name and refuses any other file, before loading it.
TEST(Host, LibraryOptionAcceptsOnlyTheLinkedLibrary) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("mirrax_host_test_" + std::to_string(getpid()));
    fs::remove_all(dir);
    ASSERT_TRUE(fs::create_directories(dir));
    const fs::path linked = mirrax::test::BuildPath("lib/libmirrax_server.so");
    fs::copy_file(linked, dir / "copy.so");
    fs::create_symlink(linked, dir / "link.so");

    for (const std::string name : {"copy.so", "missing.so"}) {
        SCOPED_TRACE(name);
        const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
        ChildProcess host(HostArgs({"--library", (dir / name).string(), "-p", p}));
        const auto status = host.Wait(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 1);
        const auto err = host.Lines(Stream::kStderr);
        ASSERT_EQ(err.size(), 1u) << host.Output(Stream::kStderr);
        EXPECT_EQ(err[0].rfind("mirrax_host: ", 0), 0u) << err[0];
        EXPECT_NE(err[0].find((dir / name).string()), std::string::npos) << err[0];
        EXPECT_TRUE(host.Lines(Stream::kStdout).empty());
    }

    const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
    ChildProcess host(HostArgs({"--library", (dir / "link.so").string(), "-p", p}));
    ASSERT_TRUE(host.WaitForLine(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p))
        << host.Output(Stream::kStderr);
    host.Signal(SIGTERM);
    const auto status = host.Wait(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(host.CountLines(Stream::kStdout, "Server shutdown success."), 1u);
    fs::remove_all(dir);
}

struct BadOptionCase {
    const char *name;
    std::vector<std::string> args;
};

void PrintTo(const BadOptionCase &c, std::ostream *os) { *os << c.name; }

class HostBadOption : public ::testing::TestWithParam<BadOptionCase> {};

TEST_P(HostBadOption, OneLineOnStderrAndStatusTwo) {
    ChildProcess host(HostArgs(GetParam().args));
    const auto status = host.Wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 2);
    const auto err = host.Lines(Stream::kStderr);
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(err[0].rfind("mirrax_host: ", 0), 0u) << err[0];
    EXPECT_TRUE(host.Lines(Stream::kStdout).empty());
}

INSTANTIATE_TEST_SUITE_P(Options, HostBadOption,
                         ::testing::Values(BadOptionCase{"Unknown", {"--bogus"}},
                                           BadOptionCase{"MissingValue", {"-p", "1", "--log"}}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
