// RpcServer start and shutdown in this process. Each case runs in a process of its own
// under CTest: the gRPC server starts at most once per process.
#include <gtest/gtest.h>

#include <thread>

#include "rpc/rpc_server.h"
#include "support/log_capture.h"

namespace {

TEST(ServerLifecycle, StopServerEndsInitServerAndSecondStopOnlyLogs) {
    mirrax::test::LogCapture capture;
    RpcServer server;
    std::thread host([&] { server.InitServer({{"-p", "0"}}); });
    ASSERT_TRUE(capture.WaitFor("Server Listening on: 0.0.0.0:0, port: 0"));

    server.StopServer();
    host.join();
    EXPECT_EQ(capture.Count("Invoke StopServer.", LOG_INFO), 1u);
    EXPECT_EQ(capture.Count("Server shutdown success.", LOG_INFO), 1u);
    // The waiting thread stopped the (absent) capture on its way out.
    EXPECT_EQ(capture.Count("Finish StopScreenCopy...., frame_count: 0"), 1u);

    capture.Clear();
    server.StopServer();
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"[rpc_server:(StopServer)] Invoke StopServer."});
}

TEST(ServerLifecycle, StopServerWithoutServerOnlyLogs) {
    mirrax::test::LogCapture capture;
    RpcServer server;
    server.StopServer();
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"[rpc_server:(StopServer)] Invoke StopServer."});
}

}  // namespace
