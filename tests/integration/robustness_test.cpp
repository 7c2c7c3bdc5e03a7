// The host against the ways users break it: clients that vanish, stall or race, runs
// that cannot start, a full or read-only disk, and a stop signal in any state. Every
// state stays stoppable and every failure reaches the caller.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::BuildPath;
using mirrax::test::CallEnd;
using mirrax::test::CallRequestIdr;
using mirrax::test::ChildProcess;
using mirrax::test::Frame;
using mirrax::test::HostProcess;
using mirrax::test::StreamCall;
using Output = ChildProcess::Stream;

constexpr int64_t kCodecData = 8;
// A stop that must not hang; it normally takes well under a second.
constexpr auto kStopBound = 5s;
const std::string kDeviceDir = "/data/local/tmp";
const std::string kSaveDir = kDeviceDir + "/orvindo_record_data";

std::vector<std::string> ClientArgs(const HostProcess &host, std::vector<std::string> args) {
    std::vector<std::string> argv = {BuildPath("bin/mirrax_client"), "--server", host.Target()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Gives the test (and the host it starts) a device directory of its own: `bytes` of
// tmpfs, or a read-only one.
#define USE_PRIVATE_DEVICE_DIR(bytes, readOnly) \
    MIRRAX_USE_PRIVATE_TMPFS(kDeviceDir, bytes, readOnly)

// An onStart call whose client never reads a message, like a client whose own output
// is blocked (`mirrax_client stream -o - | sleep 120`).
class StalledCall {
public:
    explicit StalledCall(const std::string &target)
        : stub_(MirraxService::NewStub(grpc::CreateCustomChannel(
              target, grpc::InsecureChannelCredentials(), FixedWindow()))) {
        context_.set_deadline(std::chrono::system_clock::now() + 60s);
        reader_ = stub_->onStart(&context_, Empty());
    }
    ~StalledCall() {
        context_.TryCancel();
        reader_->Finish();
    }
    // The call's status once it has ended on the server's side.
    grpc::Status Finish() { return reader_->Finish(); }

private:
    // Without bandwidth probing the receive window stays at its first size: a client
    // that never reads blocks the server's writes for good, instead of taking more
    // each time a probe widens the window.
    static grpc::ChannelArguments FixedWindow() {
        grpc::ChannelArguments args;
        args.SetInt(GRPC_ARG_HTTP2_BDP_PROBE, 0);
        return args;
    }

    std::unique_ptr<MirraxService::Stub> stub_;
    grpc::ClientContext context_;
    std::unique_ptr<grpc::ClientReader<ReplyMessage>> reader_;
};

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

std::string ReadFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// --- A stop signal in every state ---------------------------------------------------

// Objects a state needs until the host has stopped.
using Keep = std::vector<std::shared_ptr<void>>;

struct StopState {
    const char *name;
    std::vector<std::string> options;
    std::function<void(HostProcess &, Keep &)> enter;
};

void PrintTo(const StopState &s, std::ostream *os) { *os << s.name; }

class StopInEveryState : public ::testing::TestWithParam<StopState> {};

TEST_P(StopInEveryState, SigtermEndsTheHostCleanly) {
    const StopState &state = GetParam();
    USE_PRIVATE_DEVICE_DIR(64u << 20, false);
    HostProcess host(state.options);
    ASSERT_TRUE(host.Ready());
    Keep keep;
    state.enter(host, keep);
    if (HasFatalFailure()) {
        return;
    }
    host.Process().Signal(SIGTERM);
    const auto status = host.Process().Wait(kStopBound);
    ASSERT_TRUE(status.has_value()) << "the host hung on SIGTERM\n" << host.Log();
    EXPECT_EQ(*status, 0) << host.Log();
    const auto out = host.Process().Lines(Output::kStdout);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "Server shutdown success.");
}

void EnterStreaming(HostProcess &host, Keep &keep) {
    auto stream = std::make_shared<StreamCall>(host.Target());
    ASSERT_TRUE(stream->WaitForFrames(5, 20s));
    keep.push_back(stream);
}

void EnterStalledClient(HostProcess &host, Keep &keep) {
    keep.push_back(std::make_shared<StalledCall>(host.Target()));
    ASSERT_TRUE(host.WaitForLog("video encoder was successfully started"));
}

// A real client killed with SIGKILL mid-stream; the next stream is refused at once.
void EnterAfterVanishedClient(HostProcess &host, Keep &) {
    {
        ChildProcess client(ClientArgs(host, {"stream", "-o", "-"}));
        ASSERT_TRUE(client.WaitForCount(Output::kStdout, "", 20, 20s)) << host.Log();
        client.Signal(SIGKILL);
        ASSERT_TRUE(client.Wait(5s).has_value());
    }
    ASSERT_TRUE(host.WaitForLog("Server context has cancelled.")) << host.Log();
    ChildProcess second(ClientArgs(host, {"stream", "-o", "-"}));
    const auto exit = second.Wait(5s);
    ASSERT_TRUE(exit.has_value()) << "the second stream hung";
    EXPECT_EQ(*exit, 1);
    EXPECT_NE(second.Output(Output::kStderr).find("restart the server"), std::string::npos)
        << second.Output(Output::kStderr);
}

void EnterRecording(HostProcess &host, Keep &) {
    StreamCall start(host.Target());
    const auto status = start.WaitForEnd(5s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(status->ok());
    ASSERT_TRUE(host.WaitForLog("WriteSample success!", 5));
}

void EnterFailedStart(HostProcess &host, Keep &) {
    ASSERT_TRUE(host.Control("fault OH_VideoEncoder_Configure 3"));
    StreamCall start(host.Target());
    const auto status = start.WaitForEnd(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->ok());
}

void EnterStreamingWithStopFaults(HostProcess &host, Keep &keep) {
    EnterStreaming(host, keep);
    ASSERT_TRUE(host.Control("fault OH_VideoEncoder_Stop 3"));
    ASSERT_TRUE(host.Control("fault ScreenManager::DestroyVirtualScreen 130"));
}

void EnterRacingStarts(HostProcess &host, Keep &keep) {
    for (int i = 0; i < 4; ++i) {
        keep.push_back(std::make_shared<StreamCall>(host.Target()));
    }
    ASSERT_TRUE(host.WaitForLog("Invoke StartScreenCopy....", 4));
}

INSTANTIATE_TEST_SUITE_P(
    States, StopInEveryState,
    ::testing::Values(StopState{"Idle", {"-scale", "4"}, [](HostProcess &, Keep &) {}},
                      StopState{"Streaming", {"-scale", "4"}, EnterStreaming},
                      StopState{"StalledClient", {}, EnterStalledClient},
                      StopState{"AfterVanishedClient", {"-scale", "4"}, EnterAfterVanishedClient},
                      StopState{"Recording", {"-scale", "4", "-m", "1"}, EnterRecording},
                      StopState{"AfterFailedStart", {"-scale", "4"}, EnterFailedStart},
                      StopState{
                          "StreamingWithStopFaults", {"-scale", "4"}, EnterStreamingWithStopFaults},
                      StopState{"RacingStarts", {"-scale", "4"}, EnterRacingStarts}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Clients that stall or race ------------------------------------------------------

TEST(Robustness, ClientThatStopsReadingCanStillBeEndedAndAskedForKeyFrames) {
    USE_PRIVATE_DEVICE_DIR(512u << 20, false);
    // Every picture a large key frame, so the client's flow-control window fills soon.
    HostProcess host({"-s", "1", "-iFrameInterval", "0", "-bitRate", "400000000"});
    ASSERT_TRUE(host.Ready());
    StalledCall stalled(host.Target());
    ASSERT_TRUE(WaitForStalledOutput(host)) << "the stream never blocked\n" << host.Log();

    EXPECT_EQ(CallRequestIdr(host.Target()), 0);
    const auto count = CallEnd(host.Target());
    ASSERT_TRUE(count.has_value()) << "onEnd did not answer\n" << host.Log();
    EXPECT_GE(*count, 1);
    EXPECT_EQ(host.LogCount("The client stopped reading; its call was cancelled"), 1u)
        << host.Log();
    EXPECT_TRUE(host.WaitForLog("Finish StopScreenCopy...., frame_count: "));
    // Our own cancellation is not a vanished client: streaming goes on.
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 0u);
    StreamCall next(host.Target());
    ASSERT_TRUE(next.WaitForFrames(3, 20s));
    EXPECT_EQ(next.Frames().front().flags, kCodecData);
    EXPECT_TRUE(CallEnd(host.Target()).has_value());
    EXPECT_TRUE(next.WaitForEnd(10s).has_value());
    EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, StartsRacingEachOtherLeaveOneStreamThatStartsWithItsCodecData) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<StreamCall>> calls;
        for (int i = 0; i < 4; ++i) {
            calls.push_back(std::make_unique<StreamCall>(host.Target()));
        }
        ASSERT_TRUE(host.WaitForLog("Invoke StartScreenCopy....", 4 * (round + 1)));
        // The run started last is the one left; every other call ended OK.
        size_t open = 0;
        for (auto &call : calls) {
            const auto status = call->WaitForEnd(3s);
            if (!status) {
                ++open;
                ASSERT_TRUE(call->WaitForFrames(3, 20s));
                EXPECT_EQ(call->Frames().front().flags, kCodecData);
            } else {
                EXPECT_TRUE(status->ok()) << status->error_message();
                const auto frames = call->Frames();
                if (!frames.empty()) {
                    EXPECT_EQ(frames.front().flags, kCodecData);
                }
            }
        }
        EXPECT_EQ(open, 1u);
        EXPECT_TRUE(CallEnd(host.Target()).has_value());
        for (auto &call : calls) {
            EXPECT_TRUE(call->WaitForEnd(10s).has_value());
        }
    }
    EXPECT_EQ(host.Stop(), 0);
}

// --- Runs that cannot start ----------------------------------------------------------

// A run with a limit that another client's run displaces did not get what it asked
// for: it fails, saying why, instead of exiting 0 with a short output.
TEST(Robustness, ARunDisplacedBeforeItsLimitFails) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    ChildProcess first(ClientArgs(host, {"stream", "--frames", "100000", "-o", "-"}));
    ASSERT_TRUE(first.WaitForCount(Output::kStdout, "", 5, 20s)) << host.Log();
    ChildProcess second(ClientArgs(host, {"stream", "--frames", "5", "-o", "-"}));
    const auto firstExit = first.Wait(10s);
    ASSERT_TRUE(firstExit.has_value()) << "the displaced client did not end";
    EXPECT_EQ(*firstExit, 1);
    EXPECT_NE(first.Output(Output::kStderr)
                  .find("mirrax_client: error: the server ended the stream before the "
                        "requested pictures"),
              std::string::npos)
        << first.Output(Output::kStderr);
    const auto secondExit = second.Wait(10s);
    ASSERT_TRUE(secondExit.has_value());
    EXPECT_EQ(*secondExit, 0) << second.Output(Output::kStderr);
    EXPECT_EQ(host.Stop(), 0);
}

struct StartFailure {
    const char *name;
    std::vector<std::string> options;
    std::vector<std::string> command;
    const char *cause;
    bool readOnlyDeviceDir;
};

void PrintTo(const StartFailure &c, std::ostream *os) { *os << c.name; }

class StartFails : public ::testing::TestWithParam<StartFailure> {};

TEST_P(StartFails, TheClientGetsTheCauseAndExitsOne) {
    const StartFailure &c = GetParam();
    if (c.readOnlyDeviceDir) {
        USE_PRIVATE_DEVICE_DIR(1u << 20, true);
    }
    HostProcess host(c.options);
    ASSERT_TRUE(host.Ready());
    ChildProcess client(ClientArgs(host, c.command));
    const auto exit = client.Wait(5s);
    ASSERT_TRUE(exit.has_value()) << "the client hung\n" << host.Log();
    EXPECT_EQ(*exit, 1);
    const std::string err = client.Output(Output::kStderr);
    EXPECT_NE(err.find(c.cause), std::string::npos) << err;
    EXPECT_NE(err.find("the screen copy could not start"), std::string::npos) << err;
    // Nothing was left running, and onEnd reports no frames that never went anywhere.
    EXPECT_EQ(CallEnd(host.Target()), 0);
    EXPECT_EQ(host.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Causes, StartFails,
                         ::testing::Values(StartFailure{"BitRateTheEncoderRefuses",
                                                        {"-scale", "4", "-bitRate",
                                                         "9223372036854775807"},
                                                        {"stream", "-o", "-"},
                                                        "Failed to prepare encoder!",
                                                        false},
                                           StartFailure{"NoSuchScreen",
                                                        {"-screenId", "1"},
                                                        {"stream", "-o", "-"},
                                                        "get default screen failed.",
                                                        false},
                                           StartFailure{"ReadOnlyDeviceDirectory",
                                                        {"-scale", "4", "-m", "1"},
                                                        {"record"},
                                                        "Record setup failed!",
                                                        true}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- Output failures -----------------------------------------------------------------

TEST(Robustness, UnreadableOutputBuffersAreDroppedNotSentWithAWrongLength) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    ASSERT_TRUE(host.Control("fault OH_AVMemory_GetAddr 3 5"));
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(10, 20s));
    ASSERT_TRUE(CallEnd(host.Target()).has_value());
    ASSERT_TRUE(stream.WaitForEnd(10s).has_value());
    for (const auto &frame : stream.Frames()) {
        EXPECT_EQ(frame.len, static_cast<int64_t>(frame.data.size()));
        EXPECT_FALSE(frame.data.empty()) << "flags " << frame.flags;
    }
    ASSERT_TRUE(host.WaitForLog("5 output buffers had no readable memory"));
    EXPECT_EQ(host.LogCount("has no readable memory, dropped"), 1u);
    EXPECT_EQ(host.Stop(), 0);
}

TEST(Robustness, FullDiskWhileSavingFramesLeavesOnlyWholeFilesAndLogsOnce) {
    USE_PRIVATE_DEVICE_DIR(256u << 10, false);
    HostProcess host({"-scale", "2", "-s", "1"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(60, 20s));
    ASSERT_TRUE(CallEnd(host.Target()).has_value());
    ASSERT_TRUE(stream.WaitForEnd(10s).has_value());
    ASSERT_TRUE(host.WaitForLog("frames could not be saved to")) << host.Log();
    EXPECT_EQ(host.LogCount("Failed to save frame: "), 1u);
    // The per-buffer lines carry the output callback's label.
    EXPECT_GE(host.LogCount("[native_screen_encoder:(OnNeedOutputData)] Saving file "),
              stream.FrameCount());
    EXPECT_EQ(host.Stop(), 0);

    // Every file left is one whole buffer that was also streamed; none is cut short.
    std::set<std::string> sent;
    for (const auto &frame : stream.Frames()) {
        sent.insert(frame.data);
    }
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(kSaveDir)) {
        const std::string content = ReadFile(entry.path());
        ++files;
        if (!content.empty()) {
            EXPECT_TRUE(sent.count(content))
                << entry.path() << " holds " << content.size() << " bytes that no buffer had";
        }
    }
    EXPECT_GT(files, 0u);
    EXPECT_LT(files, stream.FrameCount());
}

TEST(Robustness, FullDiskWhileRecordingLogsTheFirstFailureAndACount) {
    USE_PRIVATE_DEVICE_DIR(256u << 10, false);
    HostProcess host({"-scale", "2", "-m", "1"});
    ASSERT_TRUE(host.Ready());
    StreamCall start(host.Target());
    ASSERT_TRUE(start.WaitForEnd(5s).has_value());
    ASSERT_TRUE(host.WaitForLog("WriteSample failed!")) << host.Log();
    ASSERT_TRUE(host.WaitForLog("WriteSample success!", 30));
    const auto frames = CallEnd(host.Target());
    ASSERT_TRUE(frames.has_value());
    ASSERT_TRUE(host.WaitForLog("WriteSample failed for ")) << host.Log();
    EXPECT_EQ(host.LogCount("WriteSample failed!"), 1u);
    EXPECT_EQ(host.LogCount("[native_screen_encoder:(OnNeedOutputData)] WriteSample failed!"), 1u);
    EXPECT_EQ(host.LogCount("muxer: writing a sample failed"), 1u);
    EXPECT_EQ(host.Stop(), 0);
    ASSERT_TRUE(host.WaitForLog("samples could not be written"));
}

TEST(Robustness, RecordingStartsTheMuxerBeforeTheEncoder) {
    USE_PRIVATE_DEVICE_DIR(64u << 20, false);
    HostProcess host({"-scale", "4", "-m", "1"});
    ASSERT_TRUE(host.Ready());
    StreamCall start(host.Target());
    ASSERT_TRUE(start.WaitForEnd(5s).has_value());
    ASSERT_TRUE(host.WaitForLog("WriteSample success!", 3));
    const std::string log = host.Log();
    const size_t muxer = log.find("Start muxer success!");
    const size_t encoder = log.find("video encoder was successfully started");
    ASSERT_NE(muxer, std::string::npos);
    ASSERT_NE(encoder, std::string::npos);
    EXPECT_LT(muxer, encoder);
    // The codec data and the first key frame went into the file.
    EXPECT_GE(host.LogCount("[native_screen_encoder:(OnNeedOutputData)] first encode output"), 1u);
    EXPECT_TRUE(CallEnd(host.Target()).has_value());
    EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
