// The host against the ways users break it: clients that vanish, stall or are
// displaced, a full disk, and a stop signal in each of those states.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CallEnd;
using mirrax::test::CallRequestIdr;
using mirrax::test::ChildProcess;
using mirrax::test::HostProcess;
using mirrax::test::StreamCall;
using Output = ChildProcess::Stream;

// Tests that write under it mount a private one (a small tmpfs, or a read-only one).
const std::string kDeviceDir = "/data/local/tmp";

std::vector<std::string> Client(const HostProcess &host, std::vector<std::string> args) {
    args.insert(args.begin(), {"--server", host.Target()});
    return mirrax::test::Program("mirrax_client", args);
}

// Waits until the host has saved no frame for a while although its screen animates:
// the encoder's callback is blocked in the stream write. False if it never stalls.
bool WaitForStalledOutput(HostProcess &host) {
    if (!host.WaitForLog("] Saving file ")) {
        return false;
    }
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < giveUp) {
        const size_t saved = host.LogCount("] Saving file ");
        if (!host.WaitForLog("] Saving file ", saved + 1, 1500ms)) {
            return true;
        }
    }
    return false;
}

// SIGTERM ends the host within a bound (a stop normally takes well under a second),
// with status 0 after its clean shutdown.
void ExpectCleanStop(HostProcess &host) {
    EXPECT_EQ(host.Process().Stop(SIGTERM, 5s), 0) << host.Log();
    EXPECT_TRUE(host.Process().Output(Output::kStdout).ends_with("Server shutdown success.\n"));
}

// The reference client refuses to record on a streaming host, ending the run it started
// with onEnd. A client run with a limit that another client's run displaces did not get
// what it asked for: it fails, saying why. A real client killed with SIGKILL mid-stream
// raises the host's stop signal: the capture stops, and later starts (gRPC and the real
// client) are refused at once with the reason, no run starting.
TEST(StopInEveryState, AfterDisplacedAndVanishedClients) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    const auto record = mirrax::test::Run(Client(host, {"record"}), 20s);
    EXPECT_EQ(record.status, 1);
    EXPECT_NE(record.err.find("not recording"), std::string::npos) << record.Describe();
    EXPECT_TRUE(host.WaitForLog("Finish StopScreenCopy...., frame_count: "));
    {
        ChildProcess first(Client(host, {"stream", "--frames", "100000", "-o", "-"}));
        ASSERT_TRUE(first.WaitForCount(Output::kStdout, "", 5, 20s)) << host.Log();
        ChildProcess second(Client(host, {"stream", "--frames", "5", "-o", "-"}));
        EXPECT_EQ(first.Wait(10s), 1) << "the displaced client did not fail";
        EXPECT_NE(first.Output(Output::kStderr)
                      .find("mirrax_client: error: the server ended the stream before the "
                            "requested pictures"),
                  std::string::npos)
            << first.Output(Output::kStderr);
        EXPECT_EQ(second.Wait(10s), 0) << second.Output(Output::kStderr);
    }
    {
        ChildProcess client(Client(host, {"stream", "-o", "-"}));
        ASSERT_TRUE(client.WaitForCount(Output::kStdout, "", 20, 20s)) << host.Log();
        ASSERT_TRUE(client.Stop(SIGKILL, 5s).has_value());
    }
    ASSERT_TRUE(host.WaitForLog("Server context has cancelled.")) << host.Log();
    ASSERT_TRUE(host.WaitForLog("[native_screen_encoder:(NativeStopScreenCopy)] Finish"));
    StreamCall later(host.Target());
    const auto status = later.WaitForEnd(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->error_code(), grpc::StatusCode::FAILED_PRECONDITION);
    EXPECT_NE(status->error_message().find("restart the server"), std::string::npos)
        << status->error_message();
    EXPECT_EQ(later.FrameCount(), 0u);
    const auto second = mirrax::test::Run(Client(host, {"stream", "-o", "-"}), 5s);
    EXPECT_EQ(second.status, 1) << second.Describe();
    EXPECT_NE(second.err.find("restart the server"), std::string::npos) << second.err;
    EXPECT_EQ(CallEnd(host.Target()), 0);
    ExpectCleanStop(host);
    EXPECT_EQ(host.LogCount("Setup by screen Id"), 4u);
}

// A client that stops reading blocks the stream's writes. It can still be asked for
// key frames and ended (its cancellation by the host is not a vanished client:
// streaming goes on); a stop signal ends the host promptly while one is stalled.
TEST(Robustness, ClientThatStopsReadingCanStillBeEndedAndAskedForKeyFrames) {
    MIRRAX_USE_PRIVATE_TMPFS(kDeviceDir, 512u << 20, false);
    // Every picture a large key frame, so the client's flow-control window fills soon.
    HostProcess host({"-s", "1", "-iFrameInterval", "0", "-bitRate", "400000000"});
    ASSERT_TRUE(host.Ready());
    {
        StreamCall stalled(host.Target(), nullptr, true);
        ASSERT_TRUE(WaitForStalledOutput(host)) << "the stream never blocked\n" << host.Log();
        EXPECT_EQ(CallRequestIdr(host.Target()), 0);
        EXPECT_GE(CallEnd(host.Target()).value_or(-1), 1) << host.Log();
        EXPECT_TRUE(host.WaitForLog("The client stopped reading; its call was cancelled"));
    }
    StreamCall stalled(host.Target(), nullptr, true);
    ASSERT_TRUE(host.WaitForLog("video encoder was successfully started", 2));
    ASSERT_TRUE(WaitForStalledOutput(host)) << host.Log();
    ExpectCleanStop(host);
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 0u);
}

// Every buffer a key frame of some 30 KB, several times stdio's buffer, so once the
// disk is full, writes come up short inside fwrite itself (the rest at the close):
// only whole files stay, the first failure is logged once and the rest counted.
TEST(Robustness, FullDiskWhileSavingFramesLeavesOnlyWholeFilesAndLogsOnce) {
    MIRRAX_USE_PRIVATE_TMPFS(kDeviceDir, 256u << 10, false);
    HostProcess host({"-s", "1", "-iFrameInterval", "0", "-bitRate", "400000000"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(40, 20s));
    ASSERT_TRUE(stream.End());
    ASSERT_EQ(host.Stop(), 0);

    EXPECT_EQ(host.LogCount("] Failed to save frame: "), 1u) << host.Log();
    EXPECT_EQ(host.LogCount("No space left on device"), 1u);
    const std::string log = host.Log();
    const size_t at = log.find(" frames could not be saved to ");
    ASSERT_NE(at, std::string::npos) << log;
    const long notSaved = std::stol(log.substr(log.rfind(' ', at - 1) + 1));
    EXPECT_GE(notSaved, 10);

    // Every file left is one whole buffer that was also streamed; only the newest, the
    // end-of-stream buffer, may be empty.
    std::set<std::string> sent;
    for (const auto &frame : stream.Frames()) {
        sent.insert(frame.data);
    }
    const auto files = mirrax::test::SavedFrameFiles();
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string content = mirrax::test::ReadFile(files[i]);
        EXPECT_TRUE(content.empty() ? i + 1 == files.size() : sent.count(content) == 1)
            << files[i] << " holds " << content.size() << " bytes that no buffer had";
    }
    EXPECT_GT(files.size(), 0u);
    EXPECT_EQ(static_cast<long>(files.size()),
              static_cast<long>(host.LogCount("[native_screen_encoder:(OnNeedOutputData)] "
                                              "Saving file ")) -
                  notSaved);
}

TEST(StopInEveryState, RecordingOnAFullDiskLogsTheFirstFailureAndACount) {
    MIRRAX_USE_PRIVATE_TMPFS(kDeviceDir, 256u << 10, false);
    HostProcess host({"-scale", "2", "-m", "1"});
    ASSERT_TRUE(host.Ready());
    StreamCall start(host.Target());
    ASSERT_TRUE(start.WaitForEnd(5s).has_value());
    ASSERT_TRUE(host.WaitForLog("WriteSample failed!")) << host.Log();
    ASSERT_TRUE(host.WaitForLog("WriteSample success!", 30));
    ExpectCleanStop(host);  // a stop signal while recording
    EXPECT_EQ(host.LogCount("[native_screen_encoder:(OnNeedOutputData)] WriteSample failed!"), 1u);
    EXPECT_EQ(host.LogCount("muxer: writing a sample failed"), 1u);
    EXPECT_EQ(host.LogCount("WriteSample failed for "), 1u) << host.Log();
    EXPECT_EQ(host.LogCount("samples could not be written"), 1u) << host.Log();
}

}  // namespace
