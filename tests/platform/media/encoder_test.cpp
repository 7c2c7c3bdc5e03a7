// The H.264 encoder and the MP4 muxer through their C APIs: the test feeds the encoder's
// surface and decodes what comes out, and holds its rate control on busy pictures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libyuv/convert.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "mirrax_platform/frame_stamp.h"
#include "multimedia/player_framework/native_avcodec_videoencoder.h"
#include "multimedia/player_framework/native_avmuxer.h"
#include "native_window/external_window.h"
#include "support/h264_decoder.h"
#include "support/log_capture.h"
#include "support/test_folder.h"
#include "surface.h"
#include "window.h"

namespace mirrax::test {
namespace {

constexpr int64_t kFrameNs = 33'333'333;
constexpr int64_t kBaseNs = 5'000'000'000;

struct EncodedBuffer {
    std::vector<uint8_t> data;
    int64_t pts = 0;
    uint32_t flags = 0;
};

struct EncoderOptions {
    int32_t width = 320;
    int32_t height = 640;
    int32_t iFrameIntervalMs = 1000;
    int64_t bitRate = 2'000'000;
    int32_t repeatAfterMs = 0;
    double frameRate = 120.0;
    OHOS::PixelFormat format = OHOS::PixelFormat::kBgra8888;  // or I420, as from a mirror
};

// What the output callback saw, and how it behaves.
struct EncoderOutput {
    std::vector<EncodedBuffer> buffers;
    bool hold = false;           // keep buffers (not freed) in `held`
    std::vector<uint32_t> held;  // indices of the buffers kept
    bool gateOpen = true;        // while closed, each callback blocks, as a stuck consumer
    int blocked = 0;             // callbacks blocked at the gate
    bool destroyed = false;
    int afterDestroy = 0;  // callbacks after the encoder was destroyed
};

// OH_VideoEncoder_SetParameter with one value (OH_MD_KEY_BITRATE is a long, other
// keys ints).
OH_AVErrCode SetParameter(OH_AVCodec *codec, const char *key, int64_t value) {
    OH_AVFormat *format = OH_AVFormat_Create();
    if (std::string_view(key) == OH_MD_KEY_BITRATE) {
        OH_AVFormat_SetLongValue(format, key, value);
    } else {
        OH_AVFormat_SetIntValue(format, key, static_cast<int32_t>(value));
    }
    const OH_AVErrCode code = OH_VideoEncoder_SetParameter(codec, format);
    OH_AVFormat_Destroy(format);
    return code;
}

// An encoder driven through the C API, with the test as its surface's producer and
// its output's consumer.
class EncoderHarness {
public:
    explicit EncoderHarness(const EncoderOptions &options) : options_(options) {
        codec_ = OH_VideoEncoder_CreateByMime(OH_AVCODEC_MIMETYPE_VIDEO_AVC);
        OH_AVCodecAsyncCallback callback{nullptr, nullptr, nullptr, &EncoderHarness::OnOutput};
        OH_VideoEncoder_SetCallback(codec_, callback, this);
        OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC,
                                                            options.width, options.height);
        OH_AVFormat_SetIntValue(format, OH_MD_KEY_PIXEL_FORMAT, AV_PIXEL_FORMAT_SURFACE_FORMAT);
        OH_AVFormat_SetIntValue(format, OH_MD_KEY_I_FRAME_INTERVAL, options.iFrameIntervalMs);
        OH_AVFormat_SetDoubleValue(format, OH_MD_KEY_FRAME_RATE, options.frameRate);
        OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE, BITRATE_MODE_CBR);
        OH_AVFormat_SetLongValue(format, OH_MD_KEY_BITRATE, options.bitRate);
        if (options.repeatAfterMs > 0) {
            OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_FRAME_AFTER,
                                    options.repeatAfterMs);
            OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_MAX_COUNT, 1);
        }
        OH_VideoEncoder_Configure(codec_, format);
        OH_AVFormat_Destroy(format);
        OHNativeWindow *window = nullptr;
        if (OH_VideoEncoder_GetSurface(codec_, &window) == AV_ERR_OK && window != nullptr) {
            surface_ = window->surface;
            OH_NativeWindow_DestroyNativeWindow(window);
        }
        OH_VideoEncoder_Prepare(codec_);
    }
    ~EncoderHarness() {
        With([](EncoderOutput &o) { o.gateOpen = true; });
        Destroy();
    }

    OH_AVCodec *Codec() const { return codec_; }
    OHOS::sptr<OHOS::Surface> Surface() const { return surface_; }
    bool Start() { return codec_ != nullptr && OH_VideoEncoder_Start(codec_) == AV_ERR_OK; }
    void Destroy() {
        if (codec_ != nullptr) {
            OH_VideoEncoder_Destroy(codec_);
            codec_ = nullptr;
            With([](EncoderOutput &o) { o.destroyed = true; });
        }
    }

    // Queues a picture that `draw` paints, in BGRA (converted with libyuv for I420, as
    // the mirror worker does).
    bool FeedDrawn(const std::function<void(OHOS::SurfaceBuffer &)> &draw, int64_t timestampNs) {
        OHOS::SurfaceBuffer *target =
            surface_->RequestBuffer(options_.width, options_.height, options_.format);
        if (target == nullptr) {
            return false;
        }
        OHOS::SurfaceBuffer scratch;
        if (options_.format == OHOS::PixelFormat::kI420) {
            scratch.width = options_.width;
            scratch.height = options_.height;
            scratch.stride = options_.width * 4;
            scratch.data.resize(static_cast<size_t>(scratch.stride) * scratch.height);
        }
        draw(scratch.data.empty() ? *target : scratch);
        if (!scratch.data.empty()) {
            libyuv::ARGBToI420(scratch.data.data(), scratch.stride, target->Plane(0),
                               target->PlaneStride(0), target->Plane(1), target->PlaneStride(1),
                               target->Plane(2), target->PlaneStride(2), target->width,
                               target->height);
        }
        surface_->FlushBuffer(target, timestampNs);
        return true;
    }
    // Queues a picture carrying `sequence`: a gradient that shifts with it, and the stamp.
    bool Feed(uint32_t sequence, int64_t timestampNs) {
        auto draw = [sequence](OHOS::SurfaceBuffer &buffer) {
            for (int y = 0; y < buffer.height; ++y) {
                uint8_t *row = buffer.Row(y);
                for (int x = 0; x < buffer.width * 4; ++x) {
                    row[x] = static_cast<uint8_t>(x * 3 + y * 2 + sequence * 7);
                }
            }
            stamp::Draw(buffer.data.data(), buffer.width, buffer.height, buffer.stride,
                        stamp::Stamp{sequence, 0});
        };
        return FeedDrawn(draw, timestampNs);
    }
    // Feeds pictures [first, first + count) one at a time, each after the previous one
    // came out, so the surface drops none. Buffer 0 is the codec configuration.
    void FeedInStep(uint32_t first, uint32_t count) {
        for (uint32_t i = first; i < first + count; ++i) {
            const size_t before = BufferCount();
            ASSERT_TRUE(Feed(i, kBaseNs + i * kFrameNs));
            ASSERT_TRUE(WaitForBuffers(before + (before == 0 ? 2 : 1))) << "picture " << i;
        }
    }

    template <typename F>
    std::invoke_result_t<F, EncoderOutput &> With(F use) {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();  // the waiters run once the lock is free, after `use`
        return use(output_);
    }
    bool WaitUntil(const std::function<bool(const EncoderOutput &)> &done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(output_); });
    }
    bool WaitForBuffers(size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return WaitUntil([count](const EncoderOutput &o) { return o.buffers.size() >= count; },
                         timeout);
    }
    std::vector<EncodedBuffer> Buffers() {
        return With([](EncoderOutput &o) { return o.buffers; });
    }
    size_t BufferCount() {
        return With([](EncoderOutput &o) { return o.buffers.size(); });
    }

private:
    static void OnOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                         OH_AVCodecBufferAttr *attr, void *userData) {
        auto *self = static_cast<EncoderHarness *>(userData);
        const uint8_t *bytes = OH_AVMemory_GetAddr(data) + attr->offset;
        EncodedBuffer buffer{{bytes, bytes + attr->size}, attr->pts, attr->flags};
        bool free = true;
        {
            std::unique_lock<std::mutex> lock(self->mutex_);
            EncoderOutput &o = self->output_;
            o.afterDestroy += o.destroyed ? 1 : 0;
            if (!o.gateOpen) {
                ++o.blocked;
                self->changed_.notify_all();
                self->changed_.wait(lock, [&o] { return o.gateOpen; });
                --o.blocked;
            }
            o.buffers.push_back(std::move(buffer));
            free = !o.hold;
            if (o.hold) {
                o.held.push_back(index);
            }
        }
        self->changed_.notify_all();
        if (free) {
            OH_VideoEncoder_FreeOutputData(codec, index);
        }
    }

    EncoderOptions options_;
    OH_AVCodec *codec_ = nullptr;
    OHOS::sptr<OHOS::Surface> surface_;
    std::mutex mutex_;
    std::condition_variable changed_;
    EncoderOutput output_;
};

Decoded DecodeAll(const std::vector<EncodedBuffer> &buffers) {
    std::vector<std::vector<uint8_t>> payloads;
    for (const EncodedBuffer &buffer : buffers) {
        payloads.push_back(buffer.data);
    }
    return DecodeBuffers(payloads);
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

TEST_P(EncodedStreamTest, DecodesInOrderWithItsTimesKeyFramesAndColours) {
    EncoderHarness harness({.iFrameIntervalMs = GetParam().intervalMs,
                            .bitRate = 8'000'000,
                            .format = GetParam().format});
    ASSERT_TRUE(harness.Start());
    harness.FeedInStep(0, 20);
    const auto buffers = harness.Buffers();
    ASSERT_EQ(buffers.size(), 21u);

    EXPECT_EQ(buffers[0].flags, static_cast<uint32_t>(AVCODEC_BUFFER_FLAGS_CODEC_DATA));
    EXPECT_EQ(buffers[0].pts, 0);
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
    EXPECT_EQ(CheckPictures(DecodeAll(buffers), 320, 640, 20), "");

    // Screen colours come out as they went in for a player that follows the stream's
    // colour tags: the matrix the stream is tagged with is the one the pictures were
    // converted with (a BT.601 conversion tagged BT.709 turns green to 0/216/0).
    constexpr uint32_t kBars[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF,
                                  0x808080, 0xFFC800, 0x285AA0, 0xE6B496};  // RGB
    constexpr int kBarHeight = 640 / 8;
    ASSERT_TRUE(harness.FeedDrawn(
        [&](OHOS::SurfaceBuffer &buffer) {
            for (int y = 0; y < buffer.height; ++y) {
                std::fill_n(reinterpret_cast<uint32_t *>(buffer.Row(y)), buffer.width,
                            0xFF000000 | kBars[y / kBarHeight]);  // B, G, R, A in memory
            }
        },
        kBaseNs + 20 * kFrameNs));
    ASSERT_TRUE(harness.WaitForBuffers(22));
    const auto pictures = DecodeAll(harness.Buffers()).pictures;
    ASSERT_EQ(pictures.size(), 21u);
    for (int i = 0; i < 8; ++i) {
        const auto rgb = pictures.back().RgbAt(160, i * kBarHeight + kBarHeight / 2);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(rgb[c], (kBars[i] >> (16 - 8 * c)) & 0xFF, 6)
                << "bar " << i << " channel "
                << "RGB"[c] << ", tag " << pictures.back().colorspace;
        }
    }

    ASSERT_EQ(OH_VideoEncoder_NotifyEndOfStream(harness.Codec()), AV_ERR_OK);
    ASSERT_TRUE(harness.WaitForBuffers(23));
    EXPECT_EQ(harness.Buffers().back().flags, static_cast<uint32_t>(AVCODEC_BUFFER_FLAGS_EOS));
}
INSTANTIATE_TEST_SUITE_P(
    Streams, EncodedStreamTest,
    // 33.3 ms apart: three frames make 99.99 ms, so the fourth is the next key frame.
    ::testing::Values(StreamCase{"BgraEvery100ms", OHOS::PixelFormat::kBgra8888, 100, 4},
                      StreamCase{"I420FirstOnly", OHOS::PixelFormat::kI420, -1, 0},
                      StreamCase{"BgraEveryFrame", OHOS::PixelFormat::kBgra8888, 0, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// A key-frame request on a still screen encodes the last picture again at once, as a
// key frame. Then 4,000 requests in a second, on a still screen and on one that moves
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
    harness.FeedInStep(0, 1);
    ASSERT_EQ(SetParameter(harness.Codec(), OH_MD_KEY_REQUEST_I_FRAME, 1), AV_ERR_OK);
    ASSERT_TRUE(harness.WaitForBuffers(3));
    const EncodedBuffer again = harness.Buffers()[2];
    EXPECT_NE(again.flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME, 0u);
    EXPECT_GT(again.pts, kBaseNs);
    const auto alone = DecodeBuffers({again.data}).pictures;
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].sequence, 0u);

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
    for (int i = 1; i <= 4000; ++i) {  // 4,000 a second
        EXPECT_EQ(SetParameter(harness.Codec(), OH_MD_KEY_REQUEST_I_FRAME, 1), AV_ERR_OK) << i;
        std::this_thread::sleep_until(start + i * flood / 4000);
    }
    screen.join();
    const auto buffers = harness.Buffers();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto keys = std::count_if(buffers.begin() + 3, buffers.end(), [](const auto &b) {
        return (b.flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME) != 0;
    });
    EXPECT_GE(keys, 5);  // the requests are served all along
    const double reencodes = static_cast<double>(buffers.size() - 3) - pictures;
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

// Held buffers stall the encoder (the surface drops, the pool does not grow), and a
// destroy waits for a blocked callback.
TEST(VideoEncoderTest, HeldBuffersStallAndDestroyWaitsForABlockedCallback) {
    EncoderHarness harness({});
    ASSERT_TRUE(harness.Start());
    harness.FeedInStep(0, 2);
    harness.With([](EncoderOutput &o) { o.hold = true; });
    for (uint32_t i = 2; i < 40 && harness.BufferCount() < 11; ++i) {
        harness.Feed(i, kBaseNs + i * kFrameNs);
        harness.WaitForBuffers(i + 2, std::chrono::milliseconds(2000));
    }
    ASSERT_TRUE(harness.WaitForBuffers(11));  // the whole pool of 8 is held
    for (uint32_t i = 50; i < 60; ++i) {
        harness.Feed(i, kBaseNs + i * kFrameNs);
    }
    EXPECT_FALSE(harness.WaitForBuffers(12, std::chrono::milliseconds(300)));
    EXPECT_GT(harness.Surface()->DroppedFrames(), 0u);
    // Freeing lets the waiting packet out.
    for (uint32_t index : harness.With([](EncoderOutput &o) {
             o.hold = false;
             return std::exchange(o.held, {});
         })) {
        OH_VideoEncoder_FreeOutputData(harness.Codec(), index);
    }
    ASSERT_TRUE(harness.WaitForBuffers(12));

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

// Encoder calls in the wrong state or with values x264 cannot take, and handles used
// after they were destroyed, return codes instead of touching freed or foreign memory.
TEST(VideoEncoderTest, CallsInTheWrongStateOrWithBadValuesReturnCodes) {
    OH_AVCodec *codec = OH_VideoEncoder_CreateByMime(OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(OH_VideoEncoder_Start(codec), AV_ERR_INVALID_STATE);
    OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC, 321, 640);
    EXPECT_EQ(OH_VideoEncoder_Configure(codec, format), AV_ERR_INVALID_VAL);  // odd width
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, 320);
    EXPECT_EQ(OH_VideoEncoder_Configure(codec, format), AV_ERR_OK);
    OH_AVFormat_Destroy(format);
    OH_AVFormat_Destroy(format);  // a second destroy is recognised, not a double free
    EXPECT_FALSE(OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, 1));
    EXPECT_EQ(OH_VideoEncoder_Prepare(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_Start(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_FreeOutputData(codec, 0), AV_ERR_INVALID_VAL);  // not held
    // libx264 takes whole kbit/s in an int.
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, 0), AV_ERR_INVALID_VAL);
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, int64_t{INT32_MAX} * 1000), AV_ERR_OK);
    EXPECT_EQ(SetParameter(codec, OH_MD_KEY_BITRATE, int64_t{INT32_MAX} * 1000 + 1),
              AV_ERR_INVALID_VAL);
    EXPECT_EQ(OH_VideoEncoder_Destroy(codec), AV_ERR_OK);
    EXPECT_EQ(OH_VideoEncoder_Destroy(codec), AV_ERR_INVALID_VAL);  // the handle is gone
}

// The encoder's rate control on busy pictures whose timestamps run at various frame
// rates: the bits it delivers per 5 s of picture time stay near the requested rate,
// and libx264 never complains about the parameters it is reconfigured with.
constexpr int64_t kRate = 1'000'000;
constexpr int64_t kSecondNs = 1'000'000'000;
constexpr int64_t kStartNs = 20 * kSecondNs;
constexpr int64_t kWindowNs = 5 * kSecondNs;
constexpr int64_t kWindowStepNs = kSecondNs / 2;
constexpr double kTolerance = 0.10;

// A stretch of the stream: `seconds` of pictures at `fps` (none: a still screen),
// encoded at `bitRate`, set through SetParameter when it differs from the stretch
// before. With `gridFps`, pictures sit on that grid and are left out at random down
// to `fps` on average, as on a loaded machine.
struct Segment {
    double fps;
    double seconds;
    int64_t bitRate = kRate;
    double gridFps = 0;
};

// With `burst` above one, pictures are offered that many at a time, back to back, and
// the encoder takes only some of them (the surface keeps the newest): it lags the
// offered rate, and budgets each picture from at least four fifths of that rate.
struct RateCase {
    const char *name;
    std::vector<Segment> segments;
    int burst = 1;
};

// Noise over a moving gradient, new in every picture: content that takes every bit
// the rate control allows.
void DrawBusy(OHOS::SurfaceBuffer &buffer, uint32_t sequence) {
    uint64_t state = 0x9E3779B97F4A7C15ULL * (sequence + 1);
    for (int y = 0; y < buffer.height; ++y) {
        uint8_t *row = buffer.Row(y);
        for (int x = 0; x < buffer.width; x += 2) {  // two BGRA pixels from 64 bits
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const int base = (x + y + static_cast<int>(sequence) * 3) & 0xFF;
            for (int i = 0; i < 8; ++i) {
                const int noise = static_cast<int>((state >> (i * 8)) & 0x3F) - 32;
                row[x * 4 + i] = static_cast<uint8_t>(std::clamp(base + noise, 0, 255));
            }
        }
    }
}

// The same content as fast as a copy: each of the first `cache.size()` pictures is
// drawn and kept, later ones are copies of them. Pictures offered faster than the
// encoder takes them must cost far less to feed than to encode, on any machine.
void CopyBusy(OHOS::SurfaceBuffer &buffer, uint32_t sequence,
              std::vector<std::vector<uint8_t>> &cache) {
    const size_t rowBytes = static_cast<size_t>(buffer.width) * 4;
    std::vector<uint8_t> &picture = cache[sequence % cache.size()];
    if (picture.empty()) {
        DrawBusy(buffer, sequence);
    }
    for (int y = 0; y < buffer.height; ++y) {
        uint8_t *row = buffer.Row(y);
        if (picture.size() < rowBytes * buffer.height) {
            picture.insert(picture.end(), row, row + rowBytes);
        } else {
            std::memcpy(row, picture.data() + rowBytes * y, rowBytes);
        }
    }
}

void PrintTo(const RateCase &rateCase, std::ostream *os) { *os << rateCase.name; }

class EncoderRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(EncoderRateTest, DeliveredRateStaysWithinATenthInEvery5sWindow) {
    const RateCase &param = GetParam();
    LogCapture log;
    int64_t bitRate = param.segments.front().bitRate;
    EncoderHarness harness(
        {.width = 320, .height = 180, .iFrameIntervalMs = 2000, .bitRate = bitRate});
    ASSERT_TRUE(harness.Start());

    std::vector<int64_t> bounds{kStartNs};  // segment i spans [bounds[i], bounds[i + 1])
    int64_t beginNs = kStartNs;
    uint32_t sequence = 0;
    uint32_t random = 12345;
    std::vector<int64_t> offered;  // pts of every picture fed
    std::vector<std::vector<uint8_t>> copies(16);
    for (const Segment &segment : param.segments) {
        if (segment.bitRate != bitRate) {
            ASSERT_EQ(SetParameter(harness.Codec(), OH_MD_KEY_BITRATE, segment.bitRate), AV_ERR_OK);
            bitRate = segment.bitRate;
        }
        const int64_t endNs = beginNs + std::llround(segment.seconds * 1e9);
        bounds.push_back(endNs);
        const double stepFps = segment.gridFps > 0 ? segment.gridFps : segment.fps;
        const auto steps = std::lround(stepFps * segment.seconds);
        size_t before = 0;
        for (long i = 0; segment.fps > 0 && i < steps; ++i) {
            random = random * 1664525U + 1013904223U;
            if (segment.gridFps > 0 &&
                (random >> 8) % 1000 >= segment.fps / segment.gridFps * 1000) {
                continue;
            }
            const int64_t pts = beginNs + std::llround(i * 1e9 / stepFps);
            if (i % param.burst == 0) {
                before = harness.BufferCount();
            }
            ASSERT_TRUE(harness.FeedDrawn(
                [n = sequence++, &copies, burst = param.burst](OHOS::SurfaceBuffer &b) {
                    burst > 1 ? CopyBusy(b, n, copies) : DrawBusy(b, n);
                },
                pts));
            offered.push_back(pts);
            // One packet per picture (the configuration first): waiting for it keeps
            // the surface from dropping any picture.
            if ((i + 1) % param.burst == 0) {
                ASSERT_TRUE(harness.WaitForBuffers(before + (before == 0 ? 2 : 1)))
                    << "picture " << sequence;
            }
        }
        beginNs = endNs;
    }

    const std::vector<EncodedBuffer> buffers = harness.Buffers();
    if (param.burst == 1) {
        ASSERT_EQ(buffers.size(), sequence + 1);
    } else {
        ASSERT_LE(buffers.size() - 1, 0.6 * sequence) << "the encoder kept up";
    }

    // Windows over a still screen are not busy: no rate to hold there.
    size_t windows = 0;
    for (int64_t from = kStartNs; from + kWindowNs <= beginNs; from += kWindowStepNs) {
        const int64_t to = from + kWindowNs;
        double expectedBits = 0;
        bool still = false;
        for (size_t i = 0; i < param.segments.size(); ++i) {
            const int64_t overlap = std::min(to, bounds[i + 1]) - std::max(from, bounds[i]);
            if (overlap > 0) {
                expectedBits += static_cast<double>(param.segments[i].bitRate) * overlap / 1e9;
                still = still || param.segments[i].fps == 0;
            }
        }
        if (still) {
            continue;
        }
        double bits = 0;
        double encoded = 0;
        for (const EncodedBuffer &b : buffers) {
            bits += b.pts >= from && b.pts < to ? b.data.size() * 8.0 : 0.0;
            encoded += b.pts >= from && b.pts < to ? 1 : 0;
        }
        ++windows;
        const std::string at = "5 s from " + std::to_string((from - kStartNs) / 1e9) + " s";
        if (param.burst == 1) {
            EXPECT_NEAR(bits / expectedBits, 1.0, kTolerance) << at;
            continue;
        }
        // Each picture budgeted from four fifths of the offered rate, not from the
        // (lower) rate the encoder takes pictures at.
        const auto inWindow = std::count_if(offered.begin(), offered.end(),
                                            [&](int64_t pts) { return pts >= from && pts < to; });
        EXPECT_LE(bits, (1 + kTolerance) * expectedBits * encoded / (0.8 * inWindow)) << at;
    }
    EXPECT_GE(windows, 3u);

    // No warning from libx264 (such as a bit rate above the maximum).
    for (const auto &line : log.Lines()) {
        EXPECT_NE(line.tag, "FFmpeg") << line.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    FrameRates, EncoderRateTest,
    ::testing::Values(RateCase{"Steady5", {{5, 8}}},
                      // A loaded machine: a 60 Hz screen with a third of its pictures missing.
                      RateCase{"Irregular40", {{40, 8, kRate, 60}}},
                      RateCase{"Drops60To30AndBack", {{60, 3}, {30, 3}, {60, 3}}},
                      // A still screen is not a low frame rate: no burst when pictures resume.
                      RateCase{"StillThenBusy", {{60, 5}, {0, 1}, {60, 6}}},
                      RateCase{"BitRateRaisedAndCut",
                               {{60, 3}, {60, 3, kRate * 2}, {60, 3, kRate / 2}, {40, 3, kRate}}},
                      RateCase{"OfferedFasterThanTaken", {{60, 8}}, 4}),
    [](const auto &info) { return std::string(info.param.name); });

// The muxer refuses samples before its start and beyond their memory. (Its start-path
// faults are held by the host's recording tests.)
TEST(MuxerTest, SamplesBeforeTheStartOrBeyondTheirMemoryAreRefused) {
    TestFolder folder("mirrax_muxer");
    const int fd = open(folder.Path("out.mp4").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    OH_AVMuxer *muxer = OH_AVMuxer_Create(fd, AV_OUTPUT_FORMAT_MPEG_4);
    ASSERT_NE(muxer, nullptr);
    int32_t track = -1;
    OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC, 240, 480);
    ASSERT_EQ(OH_AVMuxer_AddTrack(muxer, &track, format), AV_ERR_OK);
    OH_AVMemory *memory = OH_AVMemory_Create(8);
    OH_AVCodecBufferAttr attr{0, 8, 0, AVCODEC_BUFFER_FLAGS_SYNC_FRAME};
    EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, 0, memory, attr), AV_ERR_OPERATE_NOT_PERMIT);
    ASSERT_EQ(OH_AVMuxer_Start(muxer), AV_ERR_OK);
    attr.size = 64;
    EXPECT_EQ(OH_AVMuxer_WriteSample(muxer, 0, memory, attr), AV_ERR_INVALID_VAL);
    EXPECT_EQ(OH_AVMuxer_Destroy(muxer), AV_ERR_OK);
    OH_AVMemory_Destroy(memory);
    OH_AVFormat_Destroy(format);
    close(fd);
}

}  // namespace
}  // namespace mirrax::test
