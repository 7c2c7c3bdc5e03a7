// mirrax_host end to end: a real server in a child process and a real gRPC client.
#include <arpa/inet.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
