// Record mode end to end: the real host writes "/data/local/tmp/mytest.mp4" through
// the real encoder and muxer; the file is read back with libavformat and ffprobe.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/h264_decoder.h"
#include "support/private_mount.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CallEnd;
using mirrax::test::HostProcess;
using mirrax::test::StreamCall;

const std::string kRecording = "/data/local/tmp/mytest.mp4";

// Runs a command and returns its standard output.
std::string Capture(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) {
        out.append(buf, n);
    }
    pclose(pipe);
    return out;
}

std::vector<double> PacketTimes(const std::string &path) {
    std::istringstream in(
        Capture("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time "
                "-of csv=p=0 " +
                path));
    std::vector<double> times;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            times.push_back(std::stod(line));
        }
    }
    return times;
}

// Starts a recording and waits until `samples` samples were written.
int64_t StartRecording(HostProcess &host, size_t samples) {
    const int64_t started = mirrax::test::WallClockMs();
    auto stream = std::make_unique<StreamCall>(host.Target());
    const auto status = stream->WaitForEnd(5s);
    EXPECT_TRUE(status.has_value()) << "onStart did not return at once in record mode";
    EXPECT_TRUE(status && status->ok());
    EXPECT_EQ(stream->FrameCount(), 0u);
    EXPECT_TRUE(host.WaitForLog("WriteSample success!", samples, 30s)) << host.Log();
    return started;
}

TEST(Record, RecordingOfTheSyntheticScreenPlaysBack) {
    std::error_code ec;
    std::filesystem::remove(kRecording, ec);
    HostProcess host({"-m", "1", "-scale", "4"});
    ASSERT_TRUE(host.Ready());
    const int64_t started = StartRecording(host, 120);
    const int64_t endAsked = mirrax::test::WallClockMs();
    const auto count = CallEnd(host.Target());
    const int64_t wallMs = mirrax::test::WallClockMs() - started;
    ASSERT_TRUE(count.has_value());
    ASSERT_EQ(host.Stop(), 0);

    // The end of the run: the encoder's stop path stops the recorder, whose
    // destructor then finds it stopped.
    const std::string log = host.Log();
    const size_t stop = log.find("] stop muxer");
    const size_t destroy = log.find("] destroy muxer");
    const size_t already = log.find("] ScreenRecorder already stop....");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_LT(stop, destroy);
    EXPECT_LT(destroy, already);
    EXPECT_EQ(host.LogCount("first encode output"), 1u);

    const std::string info = Capture(
        "ffprobe -v error -show_entries stream=codec_name,width,height "
        "-of csv=p=0 " +
        kRecording);
    EXPECT_EQ(info, "h264,270,586\n");

    int errors = 0;
    const auto pictures = mirrax::test::DecodeFile(kRecording, &errors);
    EXPECT_EQ(errors, 0);
    // Every counted buffer but the codec configuration is a picture; a few more
    // arrive while the encoder is being stopped.
    EXPECT_GE(pictures.size() + 1, static_cast<size_t>(*count));
    EXPECT_LE(pictures.size() + 1, static_cast<size_t>(*count) + 8);
    std::vector<uint32_t> sequences;
    for (const auto &picture : pictures) {
        EXPECT_EQ(picture.width, 270);
        EXPECT_EQ(picture.height, 586);
        if (picture.sequence) {
            sequences.push_back(*picture.sequence);
        }
    }
    EXPECT_GE(sequences.size(), pictures.size() * 9 / 10);
    EXPECT_TRUE(std::is_sorted(sequences.begin(), sequences.end()));

    const auto times = PacketTimes(kRecording);
    ASSERT_FALSE(times.empty());
    EXPECT_DOUBLE_EQ(times.front(), 0.0);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end());
    // The recording covers the time it ran: no longer than from onStart to onEnd's
    // answer, and no shorter than until onEnd was asked, less the start (connection,
    // setup and the first picture, slow in sanitizer builds on a loaded machine).
    EXPECT_LE(times.back() * 1000.0, static_cast<double>(wallMs) + 100.0);
    EXPECT_GE(times.back() * 1000.0, static_cast<double>(endAsked - started) - 1500.0);
}

TEST(Record, SecondRecordingTruncatesTheFirst) {
    HostProcess host({"-m", "1", "-scale", "4"});
    ASSERT_TRUE(host.Ready());
    StartRecording(host, 120);
    ASSERT_TRUE(CallEnd(host.Target()).has_value());
    const auto firstSize = std::filesystem::file_size(kRecording);

    StartRecording(host, 140);  // counts the first run's 120 too
    const auto second = CallEnd(host.Target());
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(host.Stop(), 0);
    EXPECT_LT(std::filesystem::file_size(kRecording), firstSize);
    const auto pictures = mirrax::test::DecodeFile(kRecording);
    EXPECT_LE(pictures.size() + 1, static_cast<size_t>(*second) + 8);
}

TEST(Record, KilledHostLeavesAPlayableFile) {
    HostProcess host({"-m", "1", "-scale", "4"});
    ASSERT_TRUE(host.Ready());
    StartRecording(host, 150);  // more than two one-second fragments
    host.Process().Signal(SIGKILL);
    ASSERT_TRUE(host.Process().Wait(10s).has_value());
    int errors = 0;
    const auto pictures = mirrax::test::DecodeFile(kRecording, &errors);
    EXPECT_EQ(errors, 0);
    EXPECT_GE(pictures.size(), 60u);
}

// A program that returns from main with the recording going (and every frame saved):
// the run is stopped at exit before anything it uses is gone, and the file is whole.
TEST(Record, RunLeftGoingAtExitIsStoppedAndItsFilePlays) {
    MIRRAX_USE_PRIVATE_TMPFS("/data/local/tmp", 64u << 20, false);
    mirrax::test::ChildProcess program({mirrax::test::BuildPath("bin/mirrax_exit_with_run")});
    const auto status = program.Wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << program.Output(mirrax::test::ChildProcess::Stream::kStderr);
    int errors = 0;
    EXPECT_GE(mirrax::test::DecodeFile(kRecording, &errors).size(), 9u);
    EXPECT_EQ(errors, 0);
}

// The reference client starts a recording and finishes it; against a streaming
// server it refuses and ends the run it started.
TEST(Record, ReferenceClientDrivesARecording) {
    std::error_code ec;
    std::filesystem::remove(kRecording, ec);
    HostProcess recording({"-m", "1", "-scale", "4"});
    ASSERT_TRUE(recording.Ready());
    const auto client = [&](const std::string &target, const std::string &command) {
        mirrax::test::ChildProcess run(
            {mirrax::test::BuildPath("bin/mirrax_client"), "--server", target, command});
        const auto status = run.Wait(20s);
        return std::make_pair(status.value_or(-1),
                              run.Output(mirrax::test::ChildProcess::Stream::kStdout) +
                                  run.Output(mirrax::test::ChildProcess::Stream::kStderr));
    };
    const auto started = client(recording.Target(), "record");
    EXPECT_EQ(started.first, 0) << started.second;
    ASSERT_TRUE(recording.WaitForLog("WriteSample success!", 30));
    const auto ended = client(recording.Target(), "end");
    EXPECT_EQ(ended.first, 0) << ended.second;
    EXPECT_EQ(ended.second.rfind("frames: ", 0), 0u) << ended.second;
    EXPECT_EQ(recording.Stop(), 0);
    EXPECT_GE(mirrax::test::DecodeFile(kRecording).size(), 29u);

    HostProcess streaming({"-scale", "4"});
    ASSERT_TRUE(streaming.Ready());
    const auto refused = client(streaming.Target(), "record");
    EXPECT_EQ(refused.first, 1);
    EXPECT_NE(refused.second.find("not recording"), std::string::npos) << refused.second;
    EXPECT_TRUE(streaming.WaitForLog("Finish StopScreenCopy...., frame_count: "));
    EXPECT_EQ(streaming.LogCount("Server context has cancelled."), 0u);
    EXPECT_EQ(streaming.Stop(), 0);
}

struct MuxerFaultCase {
    const char *name;
    const char *call;
    std::vector<std::string> lines;  // in this order
    const char *startError;          // the recording does not start, onStart says why
};

void PrintTo(const MuxerFaultCase &c, std::ostream *os) { *os << c.call; }

class RecordFault : public ::testing::TestWithParam<MuxerFaultCase> {};

TEST_P(RecordFault, FailsTheStartWithItsCauseOrLogsTheFailureOnce) {
    const MuxerFaultCase &c = GetParam();
    HostProcess host({"-m", "1", "-scale", "4"});
    ASSERT_TRUE(host.Ready());
    ASSERT_TRUE(host.Control(std::string("fault ") + c.call + " 3 1000"));
    StreamCall stream(host.Target());
    const auto status = stream.WaitForEnd(5s);
    ASSERT_TRUE(status.has_value());
    for (const auto &line : c.lines) {
        ASSERT_TRUE(host.WaitForLog(line)) << host.Log();
    }
    const std::string log = host.Log();
    size_t at = 0;
    for (const auto &line : c.lines) {
        const size_t next = log.find(line, at);
        ASSERT_NE(next, std::string::npos) << line;
        at = next;
    }
    if (c.startError != nullptr) {
        EXPECT_EQ(status->error_code(), grpc::StatusCode::INTERNAL);
        EXPECT_NE(status->error_message().find(c.startError), std::string::npos)
            << status->error_message();
        // Nothing was left running.
        EXPECT_EQ(CallEnd(host.Target()), 0);
    } else {
        EXPECT_TRUE(status->ok());
        // Every sample fails; the log has the first failure, not one line per sample.
        ASSERT_TRUE(host.WaitForLog("first encode output"));
        const auto frames = CallEnd(host.Target());
        ASSERT_TRUE(frames.has_value());
        ASSERT_GE(*frames, 1);
        ASSERT_TRUE(host.WaitForLog("WriteSample failed for "));
        EXPECT_EQ(host.LogCount("WriteSample failed!"), 1u);
        // The count covers every buffer, and those delivered while stopping (the end of
        // stream, a picture under way).
        const std::string log = host.Log();
        const std::string key = "WriteSample failed for ";
        const size_t at = log.find(key);
        ASSERT_NE(at, std::string::npos);
        const int failed = std::atoi(log.c_str() + at + key.size());
        EXPECT_GE(failed, *frames);
        EXPECT_LE(failed, *frames + 3);
        EXPECT_EQ(host.LogCount("WriteSample success!"), 0u);
    }
    EXPECT_EQ(host.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Muxer, RecordFault,
    // clang-format off
    ::testing::Values(
        MuxerFaultCase{"Create", "OH_AVMuxer_Create", {"Failed to create video muxer!", "Record setup failed!"}, "Record setup failed!"},
        MuxerFaultCase{"AddTrack", "OH_AVMuxer_AddTrack", {"Failed to add track video muxer!", "Record setup failed!"}, "Record setup failed!"},
        MuxerFaultCase{"Start", "OH_AVMuxer_Start", {"Failed to start video muxer!"}, "Failed to start video muxer!"},
        MuxerFaultCase{"WriteSample", "OH_AVMuxer_WriteSample", {"WriteSample failed!"}, nullptr}),
    // clang-format on
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
