// Helpers of the media tests: an encoder driven through the C API with the test as
// the surface's producer.
#ifndef MIRRAX_TESTS_PLATFORM_MEDIA_MEDIA_TEST_UTIL_H
#define MIRRAX_TESTS_PLATFORM_MEDIA_MEDIA_TEST_UTIL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <type_traits>
#include <vector>

#include "multimedia/player_framework/native_avcodec_videoencoder.h"
#include "support/h264_decoder.h"
#include "surface.h"

namespace mirrax::test {

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
    // What Feed draws: BGRA, or I420 (as a mirrored screen hands the encoder).
    OHOS::PixelFormat format = OHOS::PixelFormat::kBgra8888;
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
OH_AVErrCode SetParameter(OH_AVCodec *codec, const char *key, int64_t value);

class EncoderHarness {
public:
    explicit EncoderHarness(const EncoderOptions &options);
    ~EncoderHarness() {
        With([](EncoderOutput &o) { o.gateOpen = true; });
        Destroy();
    }

    OH_AVCodec *Codec() const { return codec_; }
    OHOS::sptr<OHOS::Surface> Surface() const { return surface_; }
    bool Start() { return codec_ != nullptr && OH_VideoEncoder_Start(codec_) == AV_ERR_OK; }
    void Destroy();
    OH_AVErrCode SetParameter(const char *key, int64_t value) {
        return test::SetParameter(codec_, key, value);
    }

    // Draws a frame carrying `sequence` (a moving pattern plus the stamp) and queues it.
    bool Feed(uint32_t sequence, int64_t timestampNs);
    // Queues a frame that `draw` paints, in BGRA (converted with libyuv for I420, as
    // the mirror worker does).
    bool FeedDrawn(const std::function<void(OHOS::SurfaceBuffer &)> &draw, int64_t timestampNs);

    // Runs `use` on the output under the lock; waiters see the change.
    template <typename F>
    std::invoke_result_t<F, EncoderOutput &> With(F use) {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();  // the waiters run once the lock is free, after `use`
        return use(output_);
    }
    // Waits until `done` holds for the output; false on timeout.
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
                         OH_AVCodecBufferAttr *attr, void *userData);

    EncoderOptions options_;
    OH_AVCodec *codec_ = nullptr;
    OHOS::sptr<OHOS::Surface> surface_;
    std::mutex mutex_;
    std::condition_variable changed_;
    EncoderOutput output_;
};

// Decodes the buffers' payloads in order with one decoder.
Decoded DecodeAll(const std::vector<EncodedBuffer> &buffers);

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_PLATFORM_MEDIA_MEDIA_TEST_UTIL_H
