// The MP4 muxer: files are decoded and read back with ffprobe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "media_test_util.h"
#include "multimedia/player_framework/native_avmuxer.h"
#include "support/child_process.h"
#include "support/test_folder.h"

namespace mirrax::test {
namespace {

constexpr int64_t kFrameNs = 33'333'333;
constexpr int64_t kBaseNs = 7'000'000'000;

OH_AVFormat *TrackFormat() {
    OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC, 240, 480);
    OH_AVFormat_SetDoubleValue(format, OH_MD_KEY_FRAME_RATE, 120.0);
    return format;
}

TEST(MuxerTest, FileHasOneH264TrackWithEveryFrameAndItsTimes) {
    EncoderHarness harness({.width = 240, .height = 480, .iFrameIntervalMs = 500});
    ASSERT_TRUE(harness.Start());
    for (uint32_t i = 0; i < 30; ++i) {
        harness.Feed(i, kBaseNs + i * kFrameNs);
        ASSERT_TRUE(harness.WaitForBuffers(i + 2));
    }
    TestFolder folder("mirrax_muxer");
    const std::string path = folder.Path("out.mp4");
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    OH_AVMuxer *muxer = OH_AVMuxer_Create(fd, AV_OUTPUT_FORMAT_MPEG_4);
    ASSERT_NE(muxer, nullptr);
    int32_t track = -1;
    OH_AVFormat *format = TrackFormat();
    ASSERT_EQ(OH_AVMuxer_AddTrack(muxer, &track, format), AV_ERR_OK);
    OH_AVFormat_Destroy(format);
    EXPECT_EQ(track, 0);
    ASSERT_EQ(OH_AVMuxer_Start(muxer), AV_ERR_OK);
    // As the recorder writes: pts in microseconds from the first frame, the
    // configuration at 0.
    for (const EncodedBuffer &b : harness.Buffers()) {
        OH_AVMemory *memory = OH_AVMemory_Create(static_cast<int32_t>(b.data.size()) + 1);
        std::copy(b.data.begin(), b.data.end(), OH_AVMemory_GetAddr(memory));
        const int64_t pts = b.pts == 0 ? 0 : (b.pts - kBaseNs) / 1000;
        OH_AVCodecBufferAttr attr{pts, static_cast<int32_t>(b.data.size()), 0, b.flags};
        EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, 0, memory, attr), AV_ERR_OK);
        OH_AVMemory_Destroy(memory);
    }
    EXPECT_EQ(OH_AVMuxer_Stop(muxer), AV_ERR_OK);
    EXPECT_EQ(OH_AVMuxer_Destroy(muxer), AV_ERR_OK);
    close(fd);

    EXPECT_EQ(CheckPictures(Decode(path), 240, 480, 30), "");
    // The packets' times, then the one stream (the configuration is not a frame).
    const RunResult probe = mirrax::test::Run({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                                               "packet=pts_time:stream=codec_name,width,height",
                                               "-of", "csv=p=0", path});
    std::istringstream out(probe.out);
    std::string line;
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(std::getline(out, line)) << probe.Describe();
        EXPECT_NEAR(std::stod(line), i * kFrameNs / 1e9, 2e-6) << i;
    }
    ASSERT_TRUE(std::getline(out, line));
    EXPECT_EQ(line, "h264,240,480");
    EXPECT_FALSE(std::getline(out, line)) << "more than one stream: " << line;
}

TEST(MuxerTest, CallsOutOfOrderOrWithBadArgumentsReturnCodes) {
    TestFolder folder("mirrax_muxer");
    const int fd = open(folder.Path("out.mp4").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(OH_AVMuxer_Create(-1, AV_OUTPUT_FORMAT_MPEG_4), nullptr);
    EXPECT_EQ(OH_AVMuxer_Create(fd, AV_OUTPUT_FORMAT_M4A), nullptr);
    OH_AVMuxer *muxer = OH_AVMuxer_Create(fd, AV_OUTPUT_FORMAT_MPEG_4);
    ASSERT_NE(muxer, nullptr);
    EXPECT_EQ(OH_AVMuxer_Start(muxer), AV_ERR_OPERATE_NOT_PERMIT);  // no track
    int32_t track = -1;
    OH_AVFormat *audio = OH_AVFormat_CreateAudioFormat("audio/mp4a-latm", 48000, 2);
    EXPECT_EQ(OH_AVMuxer_AddTrack(muxer, &track, audio), AV_ERR_UNSUPPORT);
    OH_AVFormat_Destroy(audio);
    OH_AVFormat *format = TrackFormat();
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
    close(fd);
}

}  // namespace
}  // namespace mirrax::test
