// RpcServer start and shutdown in this process. Each case runs in a process of its own
// under CTest: the gRPC server starts at most once per process.
#include <gtest/gtest.h>

#include <thread>

#include "rpc/rpc_server.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace {

class ServerLifecycle : public ::testing::TestWithParam<bool> {};

TEST_P(ServerLifecycle, StopServerEndsInitServerAndSecondStopOnlyLogs) {
    const bool portZero = GetParam();
    const std::string port = portZero ? "0" : std::to_string(mirrax::test::FreeLoopbackPort());
    mirrax::test::LogCapture capture;
    RpcServer server;
    std::thread host([&] { server.InitServer({{"-p", port}}); });
    const std::string address = "0.0.0.0:" + port;
    ASSERT_TRUE(capture.WaitFor("Server Listening on: " + address + ", port: " + port));

    server.StopServer();
    host.join();
    EXPECT_EQ(capture.Count("Invoke StopServer.", LOG_INFO), 1u);
    EXPECT_EQ(capture.Count("Server shutdown success.", LOG_INFO), 1u);
    // The waiting thread stopped the (absent) capture on its way out.
    EXPECT_EQ(capture.Count("Finish StopScreenCopy...., frame_count: 0"), 1u);

    capture.Clear();
    server.StopServer();
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "[rpc_server:(StopServer)] Invoke StopServer.");
}

INSTANTIATE_TEST_SUITE_P(Ports, ServerLifecycle, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "PortZero" : "FreePort"; });

TEST(ServerLifecycle, StopServerWithoutServerOnlyLogs) {
    mirrax::test::LogCapture capture;
    RpcServer server;
    server.StopServer();
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"[rpc_server:(StopServer)] Invoke StopServer."});
}

}  // namespace
