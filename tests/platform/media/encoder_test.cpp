// The H.264 encoder through its C API: the test produces frames on the encoder's
// surface and decodes what comes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <utility>

#include "media_test_util.h"
#include "mirrax_platform/fault_injection.h"

namespace mirrax::test {
namespace {

constexpr int64_t kFrameNs = 33'333'333;
constexpr int64_t kBaseNs = 5'000'000'000;

// Feeds frames [first, first + count) one at a time, each after the previous one came
// out, so the surface never drops any. Buffer 0 is the codec configuration.
void FeedInStep(EncoderHarness &harness, uint32_t first, uint32_t count) {
    for (uint32_t i = first; i < first + count; ++i) {
        const size_t before = harness.BufferCount();
        ASSERT_TRUE(harness.Feed(i, kBaseNs + i * kFrameNs));
        ASSERT_TRUE(harness.WaitForBuffers(before + (before == 0 ? 2 : 1))) << "frame " << i;
    }
}

int NalTypeMask(const std::vector<uint8_t> &data) {
    int mask = 0;
    for (size_t i = 0; i + 3 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            mask |= 1 << (data[i + 3] & 0x1F);
        }
    }
    return mask;
}

// A stream from BGRA pictures (converted by the encoder) or I420 ones (lent to x264
// as they lie; each goes back to the surface, or feeding would run out of buffers),
// with key frames every `keyEvery` frames (0: the first only).
struct StreamCase {
    const char *name;
    OHOS::PixelFormat format;
    int32_t intervalMs;
    uint32_t keyEvery;
};

class EncodedStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(EncodedStreamTest, DecodesInOrderWithItsTimesAndKeyFrames) {
    EncoderHarness harness(
        {.iFrameIntervalMs = GetParam().intervalMs, .format = GetParam().format});
    ASSERT_TRUE(harness.Surface());
    ASSERT_TRUE(harness.Start());
    FeedInStep(harness, 0, 20);
    const auto buffers = harness.Buffers();
    ASSERT_EQ(buffers.size(), 21u);

    // The configuration first: SPS and PPS only, flagged, at pts 0.
    EXPECT_EQ(buffers[0].flags, static_cast<uint32_t>(AVCODEC_BUFFER_FLAGS_CODEC_DATA));
    EXPECT_EQ(buffers[0].pts, 0);
    EXPECT_EQ(NalTypeMask(buffers[0].data), (1 << 7) | (1 << 8));
    for (uint32_t i = 0; i < 20; ++i) {
        const EncodedBuffer &b = buffers[i + 1];
        EXPECT_EQ(b.pts, kBaseNs + i * kFrameNs) << i;
        EXPECT_EQ(b.flags & AVCODEC_BUFFER_FLAGS_CODEC_DATA, 0u);
        const uint32_t every = GetParam().keyEvery;
        const bool key = (b.flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME) != 0;
        EXPECT_EQ(key, every == 0 ? i == 0 : i % every == 0) << "frame " << i;
        // Each key frame carries its parameter sets and decodes on its own.
        if (key) {
            const auto alone = DecodeBuffers({b.data}).pictures;
            ASSERT_EQ(alone.size(), 1u) << "frame " << i;
            EXPECT_EQ(alone[0].sequence, i);
        }
    }
    const Decoded decoded = DecodeAll(buffers);
    EXPECT_EQ(CheckPictures(decoded, 320, 640, 20), "");
    EXPECT_EQ(decoded.pictures.size(), 20u);

    ASSERT_EQ(OH_VideoEncoder_NotifyEndOfStream(harness.Codec()), AV_ERR_OK);
    ASSERT_TRUE(harness.WaitForBuffers(22));
    EXPECT_EQ(harness.Buffers().back().flags, static_cast<uint32_t>(AVCODEC_BUFFER_FLAGS_EOS));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, EncodedStreamTest,
    // 33.3 ms apart: three frames make 99.99 ms, so the fourth is the next key frame.
    ::testing::Values(StreamCase{"BgraEvery100ms", OHOS::PixelFormat::kBgra8888, 100, 4},
                      StreamCase{"I420FirstOnly", OHOS::PixelFormat::kI420, -1, 0},
                      StreamCase{"BgraEveryFrame", OHOS::PixelFormat::kBgra8888, 0, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// Screen colours come out as they went in for a player that follows the stream's
// colour tags: the matrix the stream is tagged with is the one the pictures were
// converted with (a BT.601 conversion tagged BT.709 turns green to 0/216/0).
TEST(VideoEncoderTest, ColoursSurviveThroughTheTaggedMatrix) {
    constexpr uint32_t kBars[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF,
                                  0x808080, 0xFFC800, 0x285AA0, 0xE6B496};  // RGB
    constexpr int kBarHeight = 640 / 8;
    for (const auto format : {OHOS::PixelFormat::kBgra8888, OHOS::PixelFormat::kI420}) {
        EncoderHarness harness({.format = format});
        ASSERT_TRUE(harness.Start());
        ASSERT_TRUE(harness.FeedDrawn(
            [&](OHOS::SurfaceBuffer &buffer) {
                for (int y = 0; y < buffer.height; ++y) {
                    std::fill_n(reinterpret_cast<uint32_t *>(buffer.Row(y)), buffer.width,
                                0xFF000000 | kBars[y / kBarHeight]);  // B, G, R, A in memory
                }
            },
            kBaseNs));
        ASSERT_TRUE(harness.WaitForBuffers(2));
        const auto pictures = DecodeAll(harness.Buffers()).pictures;
        ASSERT_EQ(pictures.size(), 1u);
        for (int i = 0; i < 8; ++i) {
            const auto rgb = pictures[0].RgbAt(160, i * kBarHeight + kBarHeight / 2);
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(rgb[c], (kBars[i] >> (16 - 8 * c)) & 0xFF, 6)
                    << "bar " << i << " channel "
                    << "RGB"[c] << ", tag " << pictures[0].colorspace;
            }
        }
    }
}

TEST(VideoEncoderTest, KeyFrameRequestOnStillScreenReencodesAtOnce) {
    EncoderHarness harness({.iFrameIntervalMs = -1});
    ASSERT_TRUE(harness.Start());
    FeedInStep(harness, 0, 3);
    ASSERT_EQ(harness.BufferCount(), 4u);

    ASSERT_EQ(harness.SetParameter(OH_MD_KEY_REQUEST_I_FRAME, 1), AV_ERR_OK);
    // No new frame is fed: the last picture comes again, as a key frame.
    ASSERT_TRUE(harness.WaitForBuffers(5));
    const auto buffers = harness.Buffers();
    EXPECT_NE(buffers[4].flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME, 0u);
    EXPECT_GT(buffers[4].pts, buffers[3].pts);
    const auto alone = DecodeBuffers({buffers[4].data}).pictures;
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].sequence, 2u);

    // With frames flowing, the request makes the next frame a key frame.
    harness.Feed(3, kBaseNs + 3 * kFrameNs);
    ASSERT_EQ(harness.SetParameter(OH_MD_KEY_REQUEST_I_FRAME, 1), AV_ERR_OK);
    ASSERT_TRUE(harness.WaitForBuffers(6));
    FeedInStep(harness, 4, 1);
    size_t keys = 0;
    for (const auto &b : harness.Buffers()) {
        keys += (b.flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME) != 0 ? 1 : 0;
    }
    EXPECT_EQ(keys, 3u);  // first frame, still re-encode, and the requested one
}

// 4,000 key-frame requests in a second, on a still screen and on one that moves
// slower than the configured rate: requests between two pictures make one key frame,
// and a still picture is encoded again at most once per frame interval.
struct FloodCase {
    const char *name;
    uint32_t screenFps;  // 0: still
    double frameRate;
    double reencodesPerSecond;  // at most (a moving screen's only while a picture is late)
};

class KeyFrameFloodTest : public ::testing::TestWithParam<FloodCase> {};

TEST_P(KeyFrameFloodTest, MakesAtMostOneKeyFramePerFrameInterval) {
    const FloodCase &c = GetParam();
    EncoderHarness harness({.iFrameIntervalMs = -1, .frameRate = c.frameRate});
    ASSERT_TRUE(harness.Start());
    FeedInStep(harness, 0, 1);
    ASSERT_EQ(harness.BufferCount(), 2u);
    const auto start = std::chrono::steady_clock::now();
    const std::chrono::microseconds flood{1'000'000};
    uint32_t pictures = 0;
    double late = 0;  // seconds a loaded machine held pictures back beyond half an interval
    std::thread screen([&] {
        for (auto [i, last] = std::pair(1u, start); i <= c.screenFps; ++i) {
            std::this_thread::sleep_until(start + i * flood / c.screenFps);  // the screen's pace
            const auto now = std::chrono::steady_clock::now();
            late += std::max(0.0,
                             std::chrono::duration<double>(now - last).count() - 1.5 / c.screenFps);
            last = now;
            pictures += harness.Feed(i, kBaseNs + i * kFrameNs) ? 1 : 0;
        }
    });
    int refused = 0;
    for (int i = 1; i <= 4000; ++i) {  // 4,000 a second
        refused += harness.SetParameter(OH_MD_KEY_REQUEST_I_FRAME, 1) != AV_ERR_OK ? 1 : 0;
        std::this_thread::sleep_until(start + i * flood / 4000);
    }
    screen.join();
    EXPECT_EQ(refused, 0);
    const auto buffers = harness.Buffers();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto keys = std::count_if(buffers.begin() + 2, buffers.end(), [](const auto &b) {
        return (b.flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME) != 0;
    });
    EXPECT_GE(keys, 5);  // the requests are served all along
    const double reencodes = static_cast<double>(buffers.size() - 2) - pictures;
    EXPECT_LE(reencodes, c.reencodesPerSecond * seconds + c.frameRate * late + 2)
        << keys << " key frames, " << pictures << " pictures, " << late << " s late";
}

INSTANTIATE_TEST_SUITE_P(Screens, KeyFrameFloodTest,
                         ::testing::Values(FloodCase{"Still", 0, 30.0, 30.0},
                                           FloodCase{"Moving", 30, 120.0, 10.0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(VideoEncoderTest, StillPictureIsRepeatedOnceAfterTheInterval) {
    EncoderHarness harness({.repeatAfterMs = 40});
    ASSERT_TRUE(harness.Start());
    ASSERT_TRUE(harness.Feed(7, kBaseNs));
    ASSERT_TRUE(harness.WaitForBuffers(3));  // configuration, frame, repeat
    // Maximum count 1: no second repeat while the screen stays still.
    EXPECT_FALSE(harness.WaitForBuffers(4, std::chrono::milliseconds(300)));
    const auto buffers = harness.Buffers();
    EXPECT_GE(buffers[2].pts - buffers[1].pts, 40'000'000);
    const auto pictures = DecodeAll(buffers).pictures;
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].sequence, 7u);
    EXPECT_EQ(pictures[1].sequence, 7u);
    // A new frame re-arms the repeat.
    ASSERT_TRUE(harness.Feed(8, kBaseNs + kFrameNs * 10));
    ASSERT_TRUE(harness.WaitForBuffers(5));
}

// A new bit rate set while the encoder runs is what the output description reports
// once the next picture is out, and reading the description meanwhile, from another
// thread, is safe (ThreadSanitizer checks the latter).
TEST(VideoEncoderTest, BitRateChangeReachesTheOutputDescription) {
    EncoderHarness harness({.bitRate = 1'000'000});
    ASSERT_TRUE(harness.Start());
    FeedInStep(harness, 0, 2);

    auto describedBitRate = [&harness] {
        OH_AVFormat *format = OH_VideoEncoder_GetOutputDescription(harness.Codec());
        int64_t bitRate = 0;
        OH_AVFormat_GetLongValue(format, OH_MD_KEY_BITRATE, &bitRate);
        OH_AVFormat_Destroy(format);
        return bitRate;
    };
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 100'000 && !done.load(); ++i) {
            const int64_t bitRate = describedBitRate();
            EXPECT_TRUE(bitRate == 1'000'000 || bitRate == 3'000'000) << bitRate;
        }
    });
    for (uint32_t i = 2; i < 13; ++i) {
        ASSERT_EQ(harness.SetParameter(OH_MD_KEY_BITRATE, i % 2 == 0 ? 3'000'000 : 1'000'000),
                  AV_ERR_OK);
        FeedInStep(harness, i, 1);
    }
    done = true;
    reader.join();
    EXPECT_EQ(describedBitRate(), 3'000'000);
}

TEST(VideoEncoderTest, HeldBuffersStallTheEncoderAndDestroyWaitsForACallback) {
    EncoderHarness harness({});
    ASSERT_TRUE(harness.Start());
    harness.With([](EncoderOutput &o) { o.hold = true; });
    // Far more frames than buffers: the surface drops, the pool does not grow.
    for (uint32_t i = 0; i < 40 && harness.BufferCount() < 8; ++i) {
        harness.Feed(i, kBaseNs + i * kFrameNs);
        harness.WaitForBuffers(i + 2, std::chrono::milliseconds(2000));
    }
    ASSERT_TRUE(harness.WaitForBuffers(8));
    for (uint32_t i = 40; i < 50; ++i) {
        harness.Feed(i, kBaseNs + i * kFrameNs);
    }
    EXPECT_FALSE(harness.WaitForBuffers(9, std::chrono::milliseconds(300)));
    EXPECT_EQ(harness.BufferCount(), 8u);  // the whole pool is held
    EXPECT_GT(harness.Surface()->DroppedFrames(), 0u);
    // Freeing lets the waiting packet out.
    for (uint32_t index : harness.With([](EncoderOutput &o) {
             o.hold = false;
             return std::exchange(o.held, {});
         })) {
        OH_VideoEncoder_FreeOutputData(harness.Codec(), index);
    }
    ASSERT_TRUE(harness.WaitForBuffers(9));

    // Destroy while a callback is blocked (a consumer stuck in a write) waits for it.
    harness.With([](EncoderOutput &o) {
        o.gateOpen = false;
        o.hold = true;
    });
    harness.Feed(60, kBaseNs + 60 * kFrameNs);
    ASSERT_TRUE(harness.WaitUntil([](const EncoderOutput &o) { return o.blocked > 0; }));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        harness.Destroy();
        destroyed = true;
    });
    EXPECT_FALSE(destroyed.load());  // still inside the callback
    harness.With([](EncoderOutput &o) { o.gateOpen = true; });
    destroyer.join();
    harness.Feed(61, kBaseNs + 61 * kFrameNs);
    EXPECT_EQ(harness.With([](EncoderOutput &o) { return o.afterDestroy; }), 0);
}

TEST(VideoEncoderTest, CallsInTheWrongStateOrWithBadValuesReturnCodes) {
    EXPECT_EQ(OH_VideoEncoder_Start(nullptr), AV_ERR_INVALID_VAL);
    EXPECT_EQ(OH_VideoEncoder_CreateByMime("video/hevc"), nullptr);
    OH_AVCodec *codec = OH_VideoEncoder_CreateByMime(OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(OH_VideoEncoder_Start(codec), AV_ERR_INVALID_STATE);
    OHNativeWindow *window = nullptr;
    EXPECT_EQ(OH_VideoEncoder_GetSurface(codec, &window), AV_ERR_INVALID_STATE);
    OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC, 321, 640);
    EXPECT_EQ(OH_VideoEncoder_Configure(codec, format), AV_ERR_INVALID_VAL);  // odd width
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, 320);
    platform::InjectFault("OH_VideoEncoder_Configure", AV_ERR_UNKNOWN);
    EXPECT_EQ(OH_VideoEncoder_Configure(codec, format), AV_ERR_UNKNOWN);
    EXPECT_EQ(OH_VideoEncoder_Configure(codec, format), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_Configure(codec, format), AV_ERR_INVALID_STATE);
    OH_AVFormat_Destroy(format);
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, 1'000'000), AV_ERR_INVALID_STATE);
    EXPECT_EQ(OH_VideoEncoder_Prepare(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_Stop(codec), AV_ERR_INVALID_STATE);
    EXPECT_EQ(OH_VideoEncoder_Start(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_FreeOutputData(codec, 0), AV_ERR_INVALID_VAL);  // not held
    EXPECT_EQ(OH_VideoEncoder_Start(codec), AV_ERR_INVALID_STATE);
    // libx264 takes whole kbit/s in an int.
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, 0), AV_ERR_INVALID_VAL);
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, int64_t{INT32_MAX} * 1000), AV_ERR_OK);
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, int64_t{INT32_MAX} * 1000 + 1),
              AV_ERR_INVALID_VAL);
    EXPECT_EQ(OH_VideoEncoder_NotifyEndOfStream(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_NotifyEndOfStream(codec), AV_ERR_INVALID_STATE);
    EXPECT_EQ(OH_VideoEncoder_Stop(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_Destroy(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_Destroy(codec), AV_ERR_INVALID_VAL);  // the handle is gone
}

TEST(AvFormatTest, ValuesAreTypedAndCallsAreNullSafe) {
    OH_AVFormat *format = OH_AVFormat_Create();
    ASSERT_NE(format, nullptr);
    EXPECT_TRUE(OH_AVFormat_SetLongValue(format, OH_MD_KEY_BITRATE, 30'000'000));
    EXPECT_FALSE(OH_AVFormat_SetIntValue(format, OH_MD_KEY_BITRATE, 1));  // key holds a long
    int32_t i = 0;
    int64_t l = 0;
    EXPECT_FALSE(OH_AVFormat_GetIntValue(format, OH_MD_KEY_BITRATE, &i));
    EXPECT_TRUE(OH_AVFormat_GetLongValue(format, OH_MD_KEY_BITRATE, &l));
    EXPECT_EQ(l, 30'000'000);
    const char *s = nullptr;
    EXPECT_TRUE(OH_AVFormat_SetStringValue(format, OH_MD_KEY_CODEC_MIME, "video/avc"));
    EXPECT_TRUE(OH_AVFormat_GetStringValue(format, OH_MD_KEY_CODEC_MIME, &s));
    EXPECT_STREQ(s, "video/avc");
    EXPECT_FALSE(OH_AVFormat_GetIntValue(format, "absent", &i));
    EXPECT_FALSE(OH_AVFormat_GetIntValue(format, OH_MD_KEY_WIDTH, nullptr));
    EXPECT_FALSE(OH_AVFormat_GetIntValue(nullptr, OH_MD_KEY_WIDTH, &i));
    EXPECT_NE(std::string(OH_AVFormat_DumpInfo(format)).find("bitrate = 30000000"),
              std::string::npos);
    OH_AVFormat_Destroy(format);
    OH_AVFormat_Destroy(format);  // a second destroy is recognised, not a double free
    EXPECT_FALSE(OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, 1));

    OH_AVMemory *memory = OH_AVMemory_Create(16);
    EXPECT_EQ(OH_AVMemory_GetSize(memory), 16);
    EXPECT_EQ(OH_AVMemory_Destroy(memory), AV_ERR_OK);
    EXPECT_EQ(OH_AVMemory_Destroy(memory), AV_ERR_INVALID_VAL);
    EXPECT_EQ(OH_AVMemory_GetAddr(memory), nullptr);
}

}  // namespace
}  // namespace mirrax::test
