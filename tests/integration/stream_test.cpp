// The screen stream end to end: the real host on the synthetic screen, the real
// encoder, a real gRPC client; the pictures are decoded and their stamps read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/h264_decoder.h"
#include "support/private_mount.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CallEnd;
using mirrax::test::CallRequestIdr;
using mirrax::test::ChildProcess;
using mirrax::test::Frame;
using mirrax::test::H264Decoder;
using mirrax::test::HostProcess;
using mirrax::test::StreamCall;

constexpr int64_t kCodecData = 8;
constexpr int64_t kSyncFrame = 2;

struct DecodeResult {
    std::vector<mirrax::test::DecodedPicture> pictures;
    int errors = 0;
};

DecodeResult DecodeFrames(const std::vector<Frame> &frames) {
    H264Decoder decoder;
    DecodeResult result;
    for (const auto &frame : frames) {
        auto pictures = decoder.Decode(frame.data);
        result.pictures.insert(result.pictures.end(), pictures.begin(), pictures.end());
    }
    auto rest = decoder.Flush();
    result.pictures.insert(result.pictures.end(), rest.begin(), rest.end());
    result.errors = decoder.Errors();
    return result;
}

// Sequence numbers of the readable stamps, in picture order.
std::vector<uint32_t> Sequences(const std::vector<mirrax::test::DecodedPicture> &pictures) {
    std::vector<uint32_t> out;
    for (const auto &picture : pictures) {
        if (picture.sequence) {
            out.push_back(*picture.sequence);
        }
    }
    return out;
}

struct ScaleCase {
    int scale;
    int width;
    int height;
};

void PrintTo(const ScaleCase &c, std::ostream *os) { *os << "scale " << c.scale; }

class StreamScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(StreamScale, DecodesInOrderAtTheScaledSizeWithWellFormedMessages) {
    const ScaleCase c = GetParam();
    HostProcess host({"-scale", std::to_string(c.scale)});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(40, 20s)) << host.Log();
    const auto result = CallEnd(host.Target());
    ASSERT_TRUE(result.has_value());
    const auto status = stream.WaitForEnd(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->ok());

    const auto frames = stream.Frames();
    EXPECT_GE(*result, 1);
    EXPECT_LE(static_cast<size_t>(*result), frames.size());
    EXPECT_EQ(frames.front().flags, kCodecData);
    int64_t previousPts = 0;
    for (const auto &frame : frames) {
        EXPECT_EQ(frame.payloadKeys, 4u);
        EXPECT_TRUE(frame.allKeysPresent);
        EXPECT_EQ(frame.len, static_cast<int64_t>(frame.data.size()));
        EXPECT_GE(frame.pts, previousPts);
        EXPECT_LE(frame.pts, frame.arrivalMs);
        EXPECT_GT(frame.pts, frame.arrivalMs - 5000);
        previousPts = frame.pts;
    }

    const auto decoded = DecodeFrames(frames);
    EXPECT_EQ(decoded.errors, 0);
    ASSERT_GE(decoded.pictures.size(), 30u);
    for (const auto &picture : decoded.pictures) {
        EXPECT_EQ(picture.width, c.width);
        EXPECT_EQ(picture.height, c.height);
    }
    const auto sequences = Sequences(decoded.pictures);
    EXPECT_GE(sequences.size(), decoded.pictures.size() * 9 / 10);
    EXPECT_TRUE(std::is_sorted(sequences.begin(), sequences.end()));
    EXPECT_EQ(std::adjacent_find(sequences.begin(), sequences.end()), sequences.end());
    EXPECT_EQ(host.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Scales, StreamScale,
                         ::testing::Values(ScaleCase{3, 360, 780}, ScaleCase{4, 270, 586}),
                         [](const auto &info) {
                             return "Scale" + std::to_string(info.param.scale);
                         });

TEST(Stream, KeyFrameRequestOnStillScreenArrivesPromptlyAndAFloodKeepsTheBitRate) {
    constexpr int64_t kBitRate = 2'000'000;
    HostProcess host({"-scale", "4", "-bitRate", std::to_string(kBitRate)});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(5, 20s));
    ASSERT_TRUE(host.Control("still on"));
    const size_t before = stream.FrameCount();
    const int64_t askedMs = mirrax::test::WallClockMs();
    EXPECT_EQ(CallRequestIdr(host.Target()), 0);
    const auto index = stream.WaitForFrame(
        before, [](const Frame &f) { return (f.flags & kSyncFrame) != 0; }, 3s);
    ASSERT_TRUE(index.has_value()) << "no key frame after the request";
    EXPECT_LT(stream.Frames()[*index].arrivalMs - askedMs, 1000);
    ASSERT_TRUE(host.WaitForLog("Finish RequestIDRFrame...."));

    // Thousands of requests a second for 2 s: the stream keeps to its bit rate (plus
    // the encoder's buffer), and the log grows by the four lines of each request only.
    const size_t lines = host.Process().Lines(ChildProcess::Stream::kStderr).size();
    const size_t from = stream.FrameCount();
    const auto channel = grpc::CreateChannel(host.Target(), grpc::InsecureChannelCredentials());
    const auto end = std::chrono::steady_clock::now() + 2s;
    std::atomic<size_t> calls{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < 4; ++t) {
        flood.emplace_back([&] {
            auto stub = MirraxService::NewStub(channel);
            for (int i = 0; i < 100'000 && std::chrono::steady_clock::now() < end; ++i) {
                grpc::ClientContext context;
                context.set_deadline(std::chrono::system_clock::now() + 5s);
                ReplyEndMessage reply;
                ASSERT_TRUE(stub->onRequestIDRFrame(&context, Empty(), &reply).ok());
                ASSERT_EQ(reply.result(), 0);
                ++calls;
            }
        });
    }
    for (auto &thread : flood) {
        thread.join();
    }
    ASSERT_TRUE(host.WaitForLog("Finish RequestIDRFrame....", calls + 1));
    const auto frames = stream.Frames();
    int64_t bits = 0;
    for (size_t i = from; i < frames.size(); ++i) {
        bits += static_cast<int64_t>(frames[i].data.size()) * 8;
    }
    EXPECT_GT(calls, 200u);
    EXPECT_LE(bits, kBitRate * 3) << frames.size() - from << " frames for " << calls << " calls";
    EXPECT_LE(host.Process().Lines(ChildProcess::Stream::kStderr).size() - lines, 4 * calls + 10);
    EXPECT_TRUE(CallEnd(host.Target()).has_value());
    EXPECT_EQ(host.Stop(), 0);
}

TEST(Stream, CancelledClientRaisesStopSignalAndLaterStreamsAreRefusedAtOnce) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    {
        StreamCall stream(host.Target());
        ASSERT_TRUE(stream.WaitForFrames(5, 20s));
        stream.Cancel();
        ASSERT_TRUE(stream.WaitForEnd(10s).has_value());
    }
    ASSERT_TRUE(host.WaitForLog("Server context has cancelled."));
    // The host's waiting thread stops the capture.
    ASSERT_TRUE(
        host.WaitForLog("[native_screen_encoder:(NativeStopScreenCopy)] Finish StopScreenCopy"));
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 1u);

    // A later stream is not an endless empty one: it is refused with the reason, and no
    // run starts.
    StreamCall later(host.Target());
    const auto status = later.WaitForEnd(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->error_code(), grpc::StatusCode::FAILED_PRECONDITION);
    EXPECT_NE(status->error_message().find("restart the server"), std::string::npos)
        << status->error_message();
    EXPECT_EQ(later.FrameCount(), 0u);
    EXPECT_EQ(host.LogCount("Start refused: "), 1u);
    EXPECT_EQ(host.LogCount("Setup by screen Id"), 1u);
    EXPECT_EQ(CallEnd(host.Target()), 0);
    EXPECT_EQ(host.Stop(), 0);
}

TEST(Stream, EachTakeoverStreamStartsWithItsOwnCodecData) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    auto current = std::make_unique<StreamCall>(host.Target());
    ASSERT_TRUE(current->WaitForFrames(5, 20s));
    // The end of stream of the run being replaced must not reach the new call: its first
    // message is its own codec data, every time.
    for (int takeover = 0; takeover < 8; ++takeover) {
        auto next = std::make_unique<StreamCall>(host.Target());
        const auto status = current->WaitForEnd(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(status->ok());
        const size_t total = current->FrameCount();
        ASSERT_TRUE(next->WaitForFrames(4, 20s)) << host.Log();
        EXPECT_EQ(current->FrameCount(), total);
        const auto frames = next->Frames();
        ASSERT_EQ(frames.front().flags, kCodecData) << "takeover " << takeover;
        const auto decoded = DecodeFrames(frames);
        EXPECT_EQ(decoded.errors, 0);
        EXPECT_FALSE(decoded.pictures.empty());
        current = std::move(next);
    }
    EXPECT_TRUE(CallEnd(host.Target()).has_value());
    EXPECT_TRUE(current->WaitForEnd(10s).has_value());
    EXPECT_EQ(host.Stop(), 0);
}

TEST(Stream, RotationRestartsTheCaptureWithoutEndingTheStream) {
    HostProcess host({"-scale", "3"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(10, 20s));
    const size_t before = stream.FrameCount();
    ASSERT_TRUE(host.Control("rotate"));
    const auto config = stream.WaitForFrame(
        before, [](const Frame &f) { return f.flags == kCodecData; }, 10s);
    ASSERT_TRUE(config.has_value()) << host.Log();
    ASSERT_TRUE(stream.WaitForFrames(*config + 10, 20s));
    const auto result = CallEnd(host.Target());
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(stream.WaitForEnd(10s).has_value());

    const auto frames = stream.Frames();
    const std::vector<Frame> after(frames.begin() + static_cast<long>(*config), frames.end());
    const auto decoded = DecodeFrames(after);
    ASSERT_FALSE(decoded.pictures.empty());
    for (const auto &picture : decoded.pictures) {
        EXPECT_EQ(picture.width, 780);
        EXPECT_EQ(picture.height, 360);
    }
    // The count restarted with the new encoder.
    EXPECT_LE(static_cast<size_t>(*result), after.size());
    EXPECT_EQ(host.LogCount("Screen changed, auto restart ScreenCopy"), 1u);
    EXPECT_EQ(host.LogCount("Do not notify rpc stop!"), 1u);
    EXPECT_EQ(host.Stop(), 0);
}

TEST(Stream, ScreenChangeAfterTheRunEndedRestartsNothing) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    {
        StreamCall stream(host.Target());  // registers the screen listener
        ASSERT_TRUE(stream.WaitForFrames(3, 20s));
        ASSERT_TRUE(CallEnd(host.Target()).has_value());
        ASSERT_TRUE(stream.WaitForEnd(10s).has_value());
    }
    ASSERT_TRUE(host.Control("rotate"));
    ASSERT_TRUE(host.WaitForLog("Enter AdapteScreenChange..."));
    EXPECT_EQ(host.LogCount("ScreenChangeListener OnChange, id is 0, targetId_ is 0"), 1u);
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Screen changed, auto restart ScreenCopy"), 0u);
    EXPECT_EQ(host.LogCount("Invoke StartScreenCopy...."), 1u);
}

TEST(Stream, SavedFramesHoldExactlyEachBuffer) {
    // A device directory of the test's own: other tests save frames too.
    MIRRAX_USE_PRIVATE_TMPFS("/data/local/tmp", 64u << 20, false);
    const std::filesystem::path dir = "/data/local/tmp/orvindo_record_data";
    HostProcess host({"-scale", "4", "-s", "1"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(15, 20s));
    ASSERT_TRUE(CallEnd(host.Target()).has_value());
    ASSERT_TRUE(stream.WaitForEnd(10s).has_value());
    const auto frames = stream.Frames();
    ASSERT_EQ(host.Stop(), 0);

    EXPECT_EQ(std::filesystem::status(dir).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        files.push_back(entry.path());
    }
    // Names are the monotonic milliseconds, with "_N" for a repeat in one millisecond.
    std::sort(files.begin(), files.end(), [](const auto &a, const auto &b) {
        const auto key = [](const std::filesystem::path &p) {
            const std::string stem = p.stem().string();
            const size_t underscore = stem.find('_');
            const long long ms = std::stoll(stem.substr(0, underscore));
            const int n =
                underscore == std::string::npos ? 0 : std::stoi(stem.substr(underscore + 1));
            return std::make_pair(ms, n);
        };
        return key(a) < key(b);
    });
    // The run's end-of-stream buffer, delivered while it stops, is saved but no longer
    // sent: its stream is already closed. It is empty.
    if (files.size() == frames.size() + 1) {
        EXPECT_EQ(std::filesystem::file_size(files.back()), 0u);
        files.pop_back();
    }
    ASSERT_EQ(files.size(), frames.size());
    std::string all;
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].extension(), ".h264");
        std::ifstream in(files[i], std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        EXPECT_EQ(content.str(), frames[i].data) << files[i];
        all += content.str();
    }
    H264Decoder decoder;
    EXPECT_FALSE(decoder.Decode(all).empty());
    EXPECT_EQ(decoder.Errors(), 0);
}

struct FaultCase {
    const char *name;
    const char *call;
    int code;
    const char *line;
    bool atStop;  // the failing call belongs to the stop path
    std::vector<std::string> options;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.call; }

class StreamFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(StreamFault, FailsTheStartWithItsCauseOrLogsTheStopFailure) {
    const FaultCase &c = GetParam();
    std::vector<std::string> options = {"-scale", "4"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    HostProcess host(options);
    ASSERT_TRUE(host.Ready());
    ASSERT_TRUE(host.Control(std::string("fault ") + c.call + " " + std::to_string(c.code)));
    if (!c.atStop) {
        StreamCall stream(host.Target());
        // The start fails at once and says why; nothing stays open or running.
        const auto status = stream.WaitForEnd(5s);
        ASSERT_TRUE(status.has_value()) << host.Log();
        EXPECT_EQ(status->error_code(), grpc::StatusCode::INTERNAL);
        EXPECT_NE(status->error_message().find(c.line), std::string::npos)
            << status->error_message();
        EXPECT_EQ(stream.FrameCount(), 0u);
        // The injected failure is the run's first error (the release of what was set up
        // may fail in turn).
        const std::string errorLine = " E D00F1E2/BraxelMirrax: [native_screen_encoder:";
        const auto lines = host.Process().Lines(mirrax::test::ChildProcess::Stream::kStderr);
        const auto first = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.find(errorLine) != std::string::npos;
        });
        ASSERT_NE(first, lines.end());
        EXPECT_NE(first->find(c.line), std::string::npos) << *first;
        EXPECT_EQ(CallEnd(host.Target()), 0);
        EXPECT_EQ(CallRequestIdr(host.Target()), 6);
        // The fault was used up: the next stream works.
        StreamCall next(host.Target());
        ASSERT_TRUE(next.WaitForFrames(3, 20s)) << host.Log();
        EXPECT_EQ(next.Frames().front().flags, kCodecData);
        EXPECT_TRUE(CallEnd(host.Target()).has_value());
        EXPECT_TRUE(next.WaitForEnd(10s).has_value());
    } else {
        {
            StreamCall stream(host.Target());
            ASSERT_TRUE(stream.WaitForFrames(3, 20s));
            ASSERT_TRUE(CallEnd(host.Target()).has_value());
            const auto status = stream.WaitForEnd(10s);
            ASSERT_TRUE(status.has_value());
            EXPECT_TRUE(status->ok());
        }
        ASSERT_TRUE(host.WaitForLog(c.line)) << host.Log();
        // The progress line follows the failure.
        const auto lines = host.Process().Lines(mirrax::test::ChildProcess::Stream::kStderr);
        const auto failed = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.find(c.line) != std::string::npos;
        });
        ASSERT_NE(failed, lines.end());
        ASSERT_NE(failed + 1, lines.end());
        EXPECT_NE((failed + 1)->find("Destroy virtual screen success."), std::string::npos);
    }
    EXPECT_EQ(host.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StreamFault,
    // clang-format off
    ::testing::Values(
        FaultCase{"NoDefaultDisplay", "DisplayManager::GetDefaultDisplayId", -1, "get default display id failed!", false, {}},
        FaultCase{"NoScreen", "ScreenManager::GetScreenById", 3, "get default screen failed.", false, {}},
        FaultCase{"NoDisplay", "DisplayManager::GetDisplayByScreen", 3, "get display of screen 0 failed.", false, {}},
        FaultCase{"Callback", "OH_VideoEncoder_SetCallback", 3, "Failed to register encoder callback!", false, {}},
        FaultCase{"Configure", "OH_VideoEncoder_Configure", 3, "Failed to configure encoder!", false, {}},
        FaultCase{"Prepare", "OH_VideoEncoder_Prepare", 3, "Failed to prepare encoder!", false, {}},
        FaultCase{"Surface", "ScreenManager::SetVirtualScreenSurface", 130, "set virtual screen surface failed.", false, {}},
        FaultCase{"RefreshRate", "ScreenManager::SetVirtualScreenRefreshRate", 130, "set virtual screen refresh frame rate failed.", false, {}},
        FaultCase{"Exemption", "DisplayManager::SetVirtualScreenSecurityExemption", 130, "set virtual screen skip privacy windows failed.", false, {"-windowsId", "4242"}},
        FaultCase{"Rotation", "ScreenManager::SetVirtualMirrorScreenCanvasRotation", 130, "set virtual screen rotation failed.", false, {}},
        FaultCase{"Mirror", "ScreenManager::MakeMirror", 130, "create virtual screen failed.", false, {}},
        FaultCase{"Start", "OH_VideoEncoder_Start", 3, "Failed to start video encoder!", false, {}},
        FaultCase{"DestroyVirtualScreen", "ScreenManager::DestroyVirtualScreen", 130, "destroy virtual screen failed..", true, {}}),
    // clang-format on
    [](const auto &info) { return std::string(info.param.name); });

TEST(Stream, RefusedKeyFrameRequestAnswersThePlatformCode) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(3, 20s));
    ASSERT_TRUE(host.Control("fault OH_VideoEncoder_SetParameter 8"));
    EXPECT_EQ(CallRequestIdr(host.Target()), 8);
    EXPECT_TRUE(host.WaitForLog("Request IDR frame failed, 8"));
    EXPECT_TRUE(CallEnd(host.Target()).has_value());
    EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
