// Helpers of the media tests: an encoder driven through the C API with the test as
// the surface's producer.
#ifndef MIRRAX_TESTS_PLATFORM_MEDIA_MEDIA_TEST_UTIL_H
#define MIRRAX_TESTS_PLATFORM_MEDIA_MEDIA_TEST_UTIL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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

// Collects every output buffer; frees each at once unless holding is turned on.
class EncoderHarness {
public:
    explicit EncoderHarness(const EncoderOptions &options);
    ~EncoderHarness();

    OH_AVCodec *Codec() const { return codec_; }
    OHOS::sptr<OHOS::Surface> Surface() const { return surface_; }
    bool Start();

    // Draws a frame carrying `sequence` (a moving pattern plus the stamp) and queues it.
    bool Feed(uint32_t sequence, int64_t timestampNs);
    // Queues a frame that `draw` paints, in BGRA (converted with libyuv for I420, as
    // the mirror worker does).
    bool FeedDrawn(const std::function<void(OHOS::SurfaceBuffer &)> &draw, int64_t timestampNs);
    // Waits until at least `count` buffers have arrived.
    bool WaitForBuffers(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<EncodedBuffer> Buffers() const;
    size_t BufferCount() const;

    // While set, buffers are kept by the consumer (not freed).
    void SetHold(bool hold);
    // Frees every held buffer.
    void FreeHeld();
    // While closed, each callback blocks (as a consumer stuck in a network write).
    void CloseGate();
    // Waits until a callback is blocked at the closed gate.
    bool WaitForBlockedCallback(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void OpenGate();
    // Callbacks seen after the encoder was destroyed.
    int CallbacksAfterDestroy() const;
    void Destroy();

private:
    static void OnOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                         OH_AVCodecBufferAttr *attr, void *userData);

    EncoderOptions options_;
    OH_AVCodec *codec_ = nullptr;
    OHOS::sptr<OHOS::Surface> surface_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<EncodedBuffer> buffers_;
    std::vector<uint32_t> held_;
    bool hold_ = false;
    bool gateOpen_ = true;
    int blocked_ = 0;
    bool destroyed_ = false;
    int afterDestroy_ = 0;
};

// Decodes the buffers' payloads in order with one decoder.
Decoded DecodeAll(const std::vector<EncodedBuffer> &buffers);

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_PLATFORM_MEDIA_MEDIA_TEST_UTIL_H
