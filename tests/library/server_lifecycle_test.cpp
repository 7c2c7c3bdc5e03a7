// RpcServer start and shutdown in this process. Each case runs in a process of its own
// under CTest: the gRPC server starts at most once per process.
#include <gtest/gtest.h>

#include <thread>

#include "rpc/rpc_server.h"
#include "support/log_capture.h"

namespace {

// A StopServer without a server, and a second one, only log; the first one ends
// InitServer.
TEST(ServerLifecycle, StopServerEndsInitServerAndOtherStopsOnlyLog) {
    mirrax::test::LogCapture capture;
    const std::vector<std::string> onlyLogged{"[rpc_server:(StopServer)] Invoke StopServer."};
    RpcServer().StopServer();
    EXPECT_EQ(capture.Texts(), onlyLogged);
    capture.Clear();
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
    EXPECT_EQ(capture.Texts(), onlyLogged);
}

}  // namespace
