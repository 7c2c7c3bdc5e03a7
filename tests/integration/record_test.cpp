// Record mode end to end: the real host writes "/data/local/tmp/mytest.mp4" through
// the real encoder and muxer; the file is read back with libavformat and ffprobe.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CallEnd;
using mirrax::test::HostProcess;
using mirrax::test::Program;
using mirrax::test::StreamCall;

const std::string kRecording = "/data/local/tmp/mytest.mp4";

// Starts a recording and waits until `samples` samples were written.
int64_t StartRecording(HostProcess &host, size_t samples) {
    const int64_t started = mirrax::test::WallClockMs();
    StreamCall stream(host.Target());
    const auto status = stream.WaitForEnd(5s);
    EXPECT_TRUE(status && status->ok()) << "onStart did not return at once in record mode";
    EXPECT_EQ(stream.FrameCount(), 0u);
    EXPECT_TRUE(host.WaitForLog("WriteSample success!", samples, 30s)) << host.Log();
    return started;
}

// The muxer is started (slowly here) before the encoder, so the codec data and the
// first key frame, which the encoder delivers at once, go into the file. Then a muxer
// call failing: at setup or start it fails the start with its cause and leaves nothing
// running; failing samples give one line and, at the end, a count of every buffer.
TEST(Record, RecordingOfTheSyntheticScreenPlaysBack) {
    // A device directory of the test's own where it can have one, so that no other test
    // run writes the same recording; otherwise the shared one, taken in turns.
    mirrax::test::MountPrivateTmpfs("/data/local/tmp", 64u << 20);
    std::filesystem::remove(kRecording);
    HostProcess host({"-m", "1", "-scale", "4"});
    ASSERT_TRUE(host.Ready());
    ASSERT_TRUE(host.Control("slow OH_AVMuxer_Start 500"));
    const int64_t started = StartRecording(host, 120);
    const int64_t endAsked = mirrax::test::WallClockMs();
    const auto count = CallEnd(host.Target());
    const int64_t wallMs = mirrax::test::WallClockMs() - started;
    ASSERT_TRUE(count.has_value());

    const auto decoded = mirrax::test::Decode(kRecording);
    // Every counted buffer but the codec configuration is a picture; a few more
    // arrive while the encoder is being stopped.
    EXPECT_EQ(mirrax::test::CheckPictures(decoded, 270, 586, static_cast<size_t>(*count) - 1), "");
    EXPECT_LE(decoded.pictures.size() + 1, static_cast<size_t>(*count) + 8);
    const auto probe =
        mirrax::test::Run({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0",
                           "-show_entries", "packet=pts_time,flags", "-of", "csv=p=0", kRecording});
    EXPECT_EQ(probe.out.substr(0, 10), "0.000000,K") << probe.Describe();
    std::vector<double> times;
    std::istringstream packets(probe.out);
    for (std::string packet; std::getline(packets, packet);) {
        times.push_back(std::stod(packet));
    }
    ASSERT_FALSE(times.empty());
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end());
    // The recording covers the time it ran: no longer than from onStart to onEnd's
    // answer, and no shorter than until onEnd was asked, less the start (the slow
    // muxer, connection, setup and the first picture, slow in sanitizer builds).
    EXPECT_LE(times.back() * 1000.0, static_cast<double>(wallMs) + 100.0);
    EXPECT_GE(times.back() * 1000.0, static_cast<double>(endAsked - started) - 1500.0);

    // The reference client starts a second recording, which replaces the first, and
    // finishes it.
    const auto client = [](const HostProcess &host, const std::string &command) {
        return mirrax::test::Run(Program("mirrax_client", {"--server", host.Target(), command}),
                                 20s);
    };
    const auto firstSize = std::filesystem::file_size(kRecording);
    const auto recorded = client(host, "record");
    EXPECT_EQ(recorded.status, 0) << recorded.Describe();
    ASSERT_TRUE(host.WaitForLog("WriteSample success!", 140));  // counts the first run's too
    const auto ended = client(host, "end");
    EXPECT_EQ(ended.status, 0) << ended.Describe();
    ASSERT_EQ(ended.out.rfind("frames: ", 0), 0u) << ended.Describe();
    const int second = std::atoi(ended.out.c_str() + 8);
    EXPECT_LT(std::filesystem::file_size(kRecording), firstSize);
    EXPECT_LE(mirrax::test::Decode(kRecording).pictures.size() + 1,
              static_cast<size_t>(second) + 8);

    struct Fault {
        const char *command;
        const char *line;
        const char *startError;  // the recording does not start, onStart says why
    };
    // clang-format off
    const Fault faults[] = {
        {"fault OH_AVMuxer_Create 3", "Failed to create video muxer!", "Record setup failed!"},
        {"fault OH_AVMuxer_AddTrack 3", "Failed to add track video muxer!", "Record setup failed!"},
        {"fault OH_AVMuxer_Start 3", "Failed to start video muxer!", "Failed to start video muxer!"},
        {"fault OH_AVMuxer_WriteSample 3 1000", "WriteSample failed!", nullptr},
    };
    // clang-format on
    for (const Fault &fault : faults) {
        SCOPED_TRACE(fault.command);
        ASSERT_TRUE(host.Control(fault.command));
        StreamCall stream(host.Target());
        const auto status = stream.WaitForEnd(5s);
        ASSERT_TRUE(status.has_value());
        ASSERT_TRUE(host.WaitForLog(fault.line)) << host.Log();
        if (fault.startError != nullptr) {
            EXPECT_EQ(status->error_code(), grpc::StatusCode::INTERNAL);
            EXPECT_NE(status->error_message().find(fault.startError), std::string::npos)
                << status->error_message();
            EXPECT_EQ(CallEnd(host.Target()), 0);  // nothing was left running
            continue;
        }
        EXPECT_TRUE(status->ok());
        // The run's first picture: the codec data before it has been counted.
        ASSERT_TRUE(host.WaitForLog("First picture out", 3));  // after the two above
        const auto frames = CallEnd(host.Target());
        ASSERT_TRUE(frames.has_value());
        ASSERT_GE(*frames, 1);
        ASSERT_TRUE(host.WaitForLog("WriteSample failed for "));
        // The count covers every buffer, and those delivered while stopping (the end of
        // stream, a picture under way).
        const std::string key = "WriteSample failed for ";
        const int failed = std::atoi(host.Log().c_str() + host.Log().find(key) + key.size());
        EXPECT_GE(failed, *frames);
        EXPECT_LE(failed, *frames + 3);
    }
    ASSERT_TRUE(host.Control("clear-faults"));  // what is left of the failing samples
    // A host killed during a recording of more than two one-second fragments leaves
    // a file that plays.
    StartRecording(host, host.LogCount("WriteSample success!") + 180);
    ASSERT_TRUE(host.Process().Stop(SIGKILL, 10s).has_value());
    EXPECT_EQ(mirrax::test::CheckPictures(mirrax::test::Decode(kRecording), 270, 586, 60), "");
    // The one failing sample line is the injected fault's.
    EXPECT_EQ(host.LogCount("WriteSample failed!"), 1u);
    EXPECT_GE(host.LogCount("WriteSample success!"), static_cast<size_t>(*count + second) - 2);
    // The end of a run: the encoder's stop path stops the recorder, whose destructor
    // then finds it stopped.
    const std::string log = host.Log();
    const size_t stop = log.find("] stop muxer");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_LT(stop, log.find("] destroy muxer"));
    EXPECT_LT(log.find("] destroy muxer"), log.find("] ScreenRecorder already stop...."));
}

// A program that returns from main with the recording going (and every frame saved):
// the run is stopped at exit before anything it uses is gone, and the file is whole.
TEST(Record, RunLeftGoingAtExitIsStoppedAndItsFilePlays) {
    MIRRAX_USE_PRIVATE_TMPFS("/data/local/tmp", 64u << 20);
    mirrax::test::ChildProcess program(Program("mirrax_exit_with_run"));
    using Output = mirrax::test::ChildProcess::Stream;
    ASSERT_TRUE(program.WaitForCount(Output::kStderr, "WriteSample success!", 10, 20s));
    ASSERT_TRUE(program.WriteLine(""));
    EXPECT_EQ(program.Wait(20s), 0) << program.Output(Output::kStderr);
    EXPECT_EQ(mirrax::test::CheckPictures(mirrax::test::Decode(kRecording), 270, 586, 9), "");
}

}  // namespace
