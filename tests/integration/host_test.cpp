// mirrax_host end to end: a real server in a child process and a real gRPC client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <tuple>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using mirrax::test::HostProcess;
using mirrax::test::Program;
using Stream = ChildProcess::Stream;

// A display chosen on the command line starts its source thread before the server:
// the stop signal must still reach the host's watcher, not end the process. The host
// raises a lowered soft open-file limit to the hard limit, silently.
TEST(Host, ServesAndStopsOnSigterm) {
    const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit lowered{64, saved.rlim_max};
    const bool limitLowered = saved.rlim_max > 64 && setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    ChildProcess host(
        Program("mirrax_host", {"--display", "synthetic:720x1280@30", "-p", p, "-scale", "2"}));
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(host.WaitForLine(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p));
    // The overlapping pairs reach the parser: the port and the scale are taken.
    EXPECT_EQ(host.CountLines(Stream::kStderr, "] scale:  2."), 1u);
    EXPECT_EQ(host.CountLines(Stream::kStderr, "] argv: "), 5u);
    rlimit hostLimit{};
    ASSERT_EQ(prlimit(host.Pid(), RLIMIT_NOFILE, nullptr, &hostLimit), 0);
    EXPECT_TRUE(!limitLowered || hostLimit.rlim_cur == saved.rlim_max) << hostLimit.rlim_cur;

    const std::string target = "127.0.0.1:" + p;
    EXPECT_EQ(mirrax::test::CallEnd(target), 0);
    // A second host on this port fails to listen and exits with one line; this one keeps
    // every client (no port sharing).
    const auto taken = mirrax::test::Run(Program("mirrax_host", {"-p", p}), 15s);
    EXPECT_NE(taken.status.value_or(0), 0) << taken.Describe();
    const size_t error = taken.err.find(" E D00F1E2/BraxelMirrax: ");
    EXPECT_TRUE(error != std::string::npos && error == taken.err.rfind(" E ")) << taken.err;
    EXPECT_EQ(taken.out.find("Server Listening"), std::string::npos);
    for (int call = 0; call < 4; ++call) {
        EXPECT_EQ(mirrax::test::CallRequestIdr(target), 6);
    }
    ASSERT_EQ(host.Stop(SIGTERM, 5s), 0) << host.Output(Stream::kStderr);
    EXPECT_EQ(host.CountLines(Stream::kStderr, "Request to refresh IDR frame from"), 4u);
    EXPECT_EQ(host.Lines(Stream::kStdout),
              (std::vector<std::string>{"Server Listening on port: 0.0.0.0:" + p,
                                        "Invoke StopServer.", "Server shutdown success."}));
    EXPECT_EQ(host.CountLines(Stream::kStderr, "mirrax_host: "), 0u);
}

// A stop signal at a chosen moment of the start: the library's first log line (the
// host's signal watcher runs by then) plus a delay, so that it lands before the
// server is built, while it is built, as it starts listening and once it serves.
// (A signal in the first milliseconds after exec, while the dynamic linker still
// loads the libraries, kills any program before its own code runs.)
TEST(Host, StopSignalDuringTheStartExitsZeroWithinTwoSeconds) {
    for (const auto &[delayMs, sig] : {std::pair{0, SIGTERM}, {50, SIGINT}, {200, SIGTERM}}) {
        SCOPED_TRACE(delayMs);
        const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
        ChildProcess host(Program("mirrax_host", {"-p", p}));
        ASSERT_TRUE(host.WaitForLine(Stream::kStderr, "Welcome to orvindo mirrax so!"))
            << host.Output(Stream::kStderr);
        // The delay is the stimulus, not a wait for an event.
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        // Two seconds natively; a host under an emulator builds its gRPC server several
        // times slower, and a stop that comes during the build waits for it.
        const auto status = host.Stop(sig, 2s * MIRRAX_TEST_TIME_SCALE);
        ASSERT_TRUE(status.has_value())
            << "host still running after the signal\n"
            << host.Output(Stream::kStdout) << host.Output(Stream::kStderr);
        EXPECT_EQ(*status, 0) << host.Output(Stream::kStderr);
        EXPECT_EQ(host.CountLines(Stream::kStdout, "Invoke StopServer."), 1u)
            << host.Output(Stream::kStdout);
        EXPECT_EQ(host.CountLines(Stream::kStderr, "mirrax_host: "), 0u)
            << host.Output(Stream::kStderr);
        // A server that was built is shut down, not left to the process exit.
        const auto out = host.Lines(Stream::kStdout);
        if (host.CountLines(Stream::kStdout, "Server Listening on port: 0.0.0.0:" + p) != 0) {
            EXPECT_EQ(out.back(), "Server shutdown success.") << host.Output(Stream::kStdout);
        }
    }
}

// A second stop signal ends the host at once, with one line and 128 + that signal: here
// the stop of a streaming host is kept busy by a slow encoder stop when it comes.
TEST(Host, SecondSignalWhileStoppingExitsAtOnceWithOneLine) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    ChildProcess &process = host.Process();
    mirrax::test::StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(3, 20s)) << host.Log();
    ASSERT_TRUE(host.Control("slow OH_VideoEncoder_Stop 3000"));
    process.Signal(SIGTERM);
    ASSERT_TRUE(process.WaitForLine(Stream::kStdout, "Invoke StopServer."));
    process.Signal(SIGINT);
    const auto status = process.Wait(1500ms);
    ASSERT_TRUE(status.has_value()) << "host did not exit at once\n" << host.Log();
    EXPECT_EQ(*status, 128 + SIGINT) << host.Log();
    EXPECT_EQ(host.LogCount("second"), 1u) << host.Log();
    EXPECT_EQ(host.LogCount("mirrax_host: second SIGINT, exiting at once without a clean shutdown"),
              1u)
        << host.Log();
    EXPECT_EQ(process.CountLines(Stream::kStdout, "Server shutdown success."), 0u);
}

// Bad options end the host with one line and status 2. The host stops the server
// through the library it is linked with, so --library accepts that library under any
// name and refuses any other file (status 1), before loading it.
TEST(Host, RefusesBadOptionsAndOtherLibrariesWithOneLine) {
    namespace fs = std::filesystem;
    mirrax::test::TestFolder dir("mirrax_host");
    const fs::path linked = mirrax::test::BuildPath("lib/libmirrax_server.so");
    fs::copy_file(linked, dir.Path("copy.so"));
    fs::create_symlink(linked, dir.Path("link.so"));
    const std::string port = std::to_string(mirrax::test::FreeLoopbackPort());
    const std::tuple<std::vector<std::string>, int, std::string> refusals[] = {
        {{"--bogus"}, 2, "--bogus"},
        {{"-p", "1", "--log"}, 2, "--log"},
        {{"--library", dir.Path("copy.so"), "-p", port}, 1, dir.Path("copy.so")},
        {{"--library", dir.Path("missing.so"), "-p", port}, 1, dir.Path("missing.so")},
    };
    for (const auto &[args, status, named] : refusals) {
        const auto host = mirrax::test::Run(Program("mirrax_host", args));
        EXPECT_EQ(host.status, status) << host.Describe();
        EXPECT_EQ(host.err.rfind("mirrax_host: ", 0), 0u) << host.err;
        EXPECT_NE(host.err.find(named), std::string::npos) << host.err;
        EXPECT_EQ(host.err.find('\n'), host.err.size() - 1) << host.err;
        EXPECT_EQ(host.out, "");
    }
    HostProcess host({}, {"--library", dir.Path("link.so")});
    ASSERT_TRUE(host.Ready()) << host.Log();
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.Process().CountLines(Stream::kStdout, "Server shutdown success."), 1u);
}

}  // namespace
