// The MP4 muxer: files are read back with libavformat and ffprobe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "media_test_util.h"
#include "multimedia/player_framework/native_avmuxer.h"
#include "support/child_process.h"
#include "support/test_folder.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace mirrax::test {
namespace {

constexpr int64_t kFrameNs = 33'333'333;
constexpr int64_t kBaseNs = 7'000'000'000;

// A short encoded stream: configuration, then `frames` frames with a key frame every
// `intervalMs`.
std::vector<EncodedBuffer> EncodeStream(uint32_t frames, int32_t intervalMs) {
    EncoderOptions options;
    options.width = 240;
    options.height = 480;
    options.iFrameIntervalMs = intervalMs;
    EncoderHarness harness(options);
    EXPECT_TRUE(harness.Start());
    for (uint32_t i = 0; i < frames; ++i) {
        harness.Feed(i, kBaseNs + i * kFrameNs);
        EXPECT_TRUE(harness.WaitForBuffers(i + 2));
    }
    return harness.Buffers();
}

// An empty file in the test's folder, open for the muxer.
struct TempFile {
    TestFolder folder{"mirrax_muxer"};
    std::string path = folder.Path("out.mp4");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ~TempFile() { close(fd); }
};

OH_AVFormat *TrackFormat() {
    OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC, 240, 480);
    OH_AVFormat_SetDoubleValue(format, OH_MD_KEY_FRAME_RATE, 120.0);
    return format;
}

// Writes buffers as the recorder does: pts rebased to the first frame, in microseconds.
void WriteAll(OH_AVMuxer *muxer, int32_t track, const std::vector<EncodedBuffer> &buffers,
              size_t end = SIZE_MAX) {
    int64_t first = -1;
    for (size_t i = 0; i < buffers.size() && i < end; ++i) {
        const auto &b = buffers[i];
        OH_AVMemory *memory = OH_AVMemory_Create(static_cast<int32_t>(b.data.size()) + 1);
        std::copy(b.data.begin(), b.data.end(), OH_AVMemory_GetAddr(memory));
        if (first < 0 && b.pts != 0) {
            first = b.pts;
        }
        const int64_t rel = (b.pts == 0 || first < 0) ? 0 : b.pts - first;
        OH_AVCodecBufferAttr attr{rel / 1000, static_cast<int32_t>(b.data.size()), 0, b.flags};
        EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, static_cast<uint32_t>(track), memory, attr),
                  AV_ERR_OK)
            << i;
        OH_AVMemory_Destroy(memory);
    }
}

struct FileSummary {
    int streams = 0;
    int width = 0;
    int height = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    std::vector<int64_t> ptsUs;
};

FileSummary Summarize(const std::string &path) {
    FileSummary summary;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return summary;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)> input(
        raw, [](AVFormatContext *c) { avformat_close_input(&c); });
    avformat_find_stream_info(input.get(), nullptr);
    summary.streams = static_cast<int>(input->nb_streams);
    if (summary.streams == 0) {
        return summary;
    }
    AVStream *stream = input->streams[0];
    summary.width = stream->codecpar->width;
    summary.height = stream->codecpar->height;
    summary.codec = stream->codecpar->codec_id;
    AVPacket *packet = av_packet_alloc();
    while (av_read_frame(input.get(), packet) >= 0) {
        summary.ptsUs.push_back(
            av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000000}));
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return summary;
}

int FfprobeFrameCount(const std::string &path) {
    const RunResult probe =
        Run({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
             "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path});
    return probe.status == 0 ? std::atoi(probe.out.c_str()) : -1;
}

TEST(MuxerTest, FileHasOneH264TrackWithEveryFrameAndItsTimes) {
    const auto buffers = EncodeStream(30, 500);
    ASSERT_EQ(buffers.size(), 31u);
    TempFile file;
    OH_AVMuxer *muxer = OH_AVMuxer_Create(file.fd, AV_OUTPUT_FORMAT_MPEG_4);
    ASSERT_NE(muxer, nullptr);
    int32_t track = -1;
    OH_AVFormat *format = TrackFormat();
    ASSERT_EQ(OH_AVMuxer_AddTrack(muxer, &track, format), AV_ERR_OK);
    OH_AVFormat_Destroy(format);
    EXPECT_EQ(track, 0);
    ASSERT_EQ(OH_AVMuxer_Start(muxer), AV_ERR_OK);
    WriteAll(muxer, track, buffers);
    EXPECT_EQ(OH_AVMuxer_Stop(muxer), AV_ERR_OK);
    EXPECT_EQ(OH_AVMuxer_Destroy(muxer), AV_ERR_OK);

    const FileSummary summary = Summarize(file.path);
    EXPECT_EQ(summary.streams, 1);
    EXPECT_EQ(summary.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(summary.width, 240);
    EXPECT_EQ(summary.height, 480);
    ASSERT_EQ(summary.ptsUs.size(), 30u);  // the configuration is not a frame
    for (size_t i = 0; i < summary.ptsUs.size(); ++i) {
        EXPECT_NEAR(summary.ptsUs[i], static_cast<int64_t>(i) * kFrameNs / 1000, 1) << i;
    }
    EXPECT_EQ(FfprobeFrameCount(file.path), 30);
}

TEST(MuxerTest, FileOfAKilledWriterKeepsItsCompleteFragments) {
    // Key frames every 500 ms: fragments of 15 frames.
    const auto buffers = EncodeStream(40, 500);
    ASSERT_EQ(buffers.size(), 41u);
    TempFile file;
    int ready[2];
    int hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OH_AVMuxer *muxer = OH_AVMuxer_Create(file.fd, AV_OUTPUT_FORMAT_MPEG_4);
        int32_t track = -1;
        OH_AVFormat *format = TrackFormat();
        OH_AVMuxer_AddTrack(muxer, &track, format);
        OH_AVMuxer_Start(muxer);
        WriteAll(muxer, track, buffers);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        (void)!read(hold[0], &byte, 1);  // killed here, before Stop
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));

    const FileSummary summary = Summarize(file.path);
    EXPECT_EQ(summary.streams, 1);
    EXPECT_EQ(summary.width, 240);
    // Frames 0..29 end in complete fragments (the next key frame closed them); the
    // last, open fragment may be lost.
    EXPECT_GE(summary.ptsUs.size(), 30u);
    EXPECT_LE(summary.ptsUs.size(), 40u);
    const int probed = FfprobeFrameCount(file.path);
    EXPECT_EQ(probed, static_cast<int>(summary.ptsUs.size()));
    close(ready[0]);
    close(ready[1]);
    close(hold[0]);
    close(hold[1]);
}

TEST(MuxerTest, CallsOutOfOrderOrWithBadArgumentsReturnCodes) {
    TempFile file;
    EXPECT_EQ(OH_AVMuxer_Create(-1, AV_OUTPUT_FORMAT_MPEG_4), nullptr);
    EXPECT_EQ(OH_AVMuxer_Create(file.fd, AV_OUTPUT_FORMAT_M4A), nullptr);
    EXPECT_EQ(OH_AVMuxer_Start(nullptr), AV_ERR_INVALID_VAL);
    OH_AVMuxer *muxer = OH_AVMuxer_Create(file.fd, AV_OUTPUT_FORMAT_MPEG_4);
    ASSERT_NE(muxer, nullptr);
    EXPECT_EQ(OH_AVMuxer_Start(muxer), AV_ERR_OPERATE_NOT_PERMIT);  // no track
    int32_t track = -1;
    OH_AVFormat *audio = OH_AVFormat_CreateAudioFormat("audio/mp4a-latm", 48000, 2);
    EXPECT_EQ(OH_AVMuxer_AddTrack(muxer, &track, audio), AV_ERR_UNSUPPORT);
    OH_AVFormat_Destroy(audio);
    OH_AVFormat *format = TrackFormat();
    EXPECT_EQ(OH_AVMuxer_AddTrack(muxer, nullptr, format), AV_ERR_INVALID_VAL);
    ASSERT_EQ(OH_AVMuxer_AddTrack(muxer, &track, format), AV_ERR_OK);
    OH_AVMemory *memory = OH_AVMemory_Create(8);
    OH_AVCodecBufferAttr attr{0, 8, 0, AVCODEC_BUFFER_FLAGS_SYNC_FRAME};
    EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, 0, memory, attr), AV_ERR_OPERATE_NOT_PERMIT);
    ASSERT_EQ(OH_AVMuxer_Start(muxer), AV_ERR_OK);
    EXPECT_EQ(OH_AVMuxer_AddTrack(muxer, &track, format), AV_ERR_OPERATE_NOT_PERMIT);
    EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, 3, memory, attr), AV_ERR_INVALID_VAL);
    attr.size = 64;  // beyond the memory
    EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, 0, memory, attr), AV_ERR_INVALID_VAL);
    EXPECT_EQ(OH_AVMuxer_Stop(muxer), AV_ERR_OK);
    EXPECT_EQ(OH_AVMuxer_Stop(muxer), AV_ERR_OPERATE_NOT_PERMIT);
    EXPECT_EQ(OH_AVMuxer_Destroy(muxer), AV_ERR_OK);
    EXPECT_EQ(OH_AVMuxer_Destroy(muxer), AV_ERR_INVALID_VAL);
    OH_AVMemory_Destroy(memory);
    OH_AVFormat_Destroy(format);
}

}  // namespace
}  // namespace mirrax::test
