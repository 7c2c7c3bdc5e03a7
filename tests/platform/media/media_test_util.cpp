#include "media_test_util.h"

#include <libyuv/convert.h>

#include <cstring>

#include "mirrax_platform/frame_stamp.h"
#include "native_window/external_window.h"
#include "window.h"

namespace mirrax::test {

namespace {

// Moving content: a gradient that shifts with the sequence number, plus noise-like
// texture so the encoder has real work, and the frame stamp.
void DrawMovingPattern(OHOS::SurfaceBuffer &buffer, uint32_t sequence) {
    for (int y = 0; y < buffer.height; ++y) {
        uint8_t *row = buffer.Row(y);
        for (int x = 0; x < buffer.width; ++x) {
            const uint32_t v = static_cast<uint32_t>(x * 3 + y * 2 + sequence * 7);
            row[x * 4 + 0] = static_cast<uint8_t>(v ^ (y * 13));
            row[x * 4 + 1] = static_cast<uint8_t>(v * 5 + sequence);
            row[x * 4 + 2] = static_cast<uint8_t>((x * y + sequence * 31) >> 3);
            row[x * 4 + 3] = 255;
        }
    }
    // A band of noise that changes every frame: content no encoder predicts cheaply.
    uint32_t state = sequence * 2654435761U + 1;
    for (int y = buffer.height / 2; y < buffer.height * 3 / 4; ++y) {
        uint8_t *row = buffer.Row(y);
        for (int x = 0; x < buffer.width * 4; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            row[x] = static_cast<uint8_t>(state);
        }
    }
    stamp::Draw(buffer.data.data(), buffer.width, buffer.height, buffer.stride,
                stamp::Stamp{sequence, 0});
}

}  // namespace

EncoderHarness::EncoderHarness(const EncoderOptions &options) : options_(options) {
    codec_ = OH_VideoEncoder_CreateByMime(OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    if (codec_ == nullptr) {
        return;
    }
    OH_AVCodecAsyncCallback callback{nullptr, nullptr, nullptr, &EncoderHarness::OnOutput};
    OH_VideoEncoder_SetCallback(codec_, callback, this);
    OH_AVFormat *format = OH_AVFormat_Create();
    OH_AVFormat_SetStringValue(format, OH_MD_KEY_CODEC_MIME, OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, options.width);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_HEIGHT, options.height);
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

EncoderHarness::~EncoderHarness() {
    OpenGate();
    Destroy();
}

bool EncoderHarness::Start() {
    return codec_ != nullptr && OH_VideoEncoder_Start(codec_) == AV_ERR_OK;
}

void EncoderHarness::Destroy() {
    if (codec_ != nullptr) {
        OH_VideoEncoder_Destroy(codec_);
        codec_ = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        destroyed_ = true;
    }
}

bool EncoderHarness::Feed(uint32_t sequence, int64_t timestampNs) {
    return FeedDrawn(
        [sequence](OHOS::SurfaceBuffer &buffer) { DrawMovingPattern(buffer, sequence); },
        timestampNs);
}

bool EncoderHarness::FeedDrawn(const std::function<void(OHOS::SurfaceBuffer &)> &draw,
                               int64_t timestampNs) {
    OHOS::SurfaceBuffer *target =
        surface_->RequestBuffer(options_.width, options_.height, options_.format);
    if (target == nullptr) {
        return false;
    }
    // I420 is drawn as BGRA first, then converted into the surface's buffer.
    OHOS::SurfaceBuffer scratch;
    OHOS::SurfaceBuffer *buffer = target;
    if (options_.format == OHOS::PixelFormat::kI420) {
        scratch.width = options_.width;
        scratch.height = options_.height;
        scratch.stride = options_.width * 4;
        scratch.data.resize(static_cast<size_t>(scratch.stride) * scratch.height);
        buffer = &scratch;
    }
    draw(*buffer);
    if (buffer != target) {
        libyuv::ARGBToI420(buffer->data.data(), buffer->stride, target->Plane(0),
                           target->PlaneStride(0), target->Plane(1), target->PlaneStride(1),
                           target->Plane(2), target->PlaneStride(2), target->width, target->height);
    }
    surface_->FlushBuffer(target, timestampNs);
    return true;
}

void EncoderHarness::OnOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                              OH_AVCodecBufferAttr *attr, void *userData) {
    auto *self = static_cast<EncoderHarness *>(userData);
    EncodedBuffer buffer;
    const uint8_t *bytes = OH_AVMemory_GetAddr(data);
    buffer.data.assign(bytes + attr->offset, bytes + attr->offset + attr->size);
    buffer.pts = attr->pts;
    buffer.flags = attr->flags;
    bool free = true;
    {
        std::unique_lock<std::mutex> lock(self->mutex_);
        if (self->destroyed_) {
            ++self->afterDestroy_;
        }
        if (!self->gateOpen_) {
            ++self->blocked_;
            self->changed_.notify_all();
            self->changed_.wait(lock, [self] { return self->gateOpen_; });
            --self->blocked_;
        }
        self->buffers_.push_back(std::move(buffer));
        if (self->hold_) {
            self->held_.push_back(index);
            free = false;
        }
    }
    self->changed_.notify_all();
    if (free) {
        OH_VideoEncoder_FreeOutputData(codec, index);
    }
}

bool EncoderHarness::WaitForBuffers(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return buffers_.size() >= count; });
}

std::vector<EncodedBuffer> EncoderHarness::Buffers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers_;
}

size_t EncoderHarness::BufferCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers_.size();
}

void EncoderHarness::SetHold(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
}

void EncoderHarness::FreeHeld() {
    std::vector<uint32_t> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held.swap(held_);
    }
    for (uint32_t index : held) {
        OH_VideoEncoder_FreeOutputData(codec_, index);
    }
}

bool EncoderHarness::WaitForBlockedCallback(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return blocked_ > 0; });
}

void EncoderHarness::CloseGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = false;
}

void EncoderHarness::OpenGate() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gateOpen_ = true;
    }
    changed_.notify_all();
}

int EncoderHarness::CallbacksAfterDestroy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return afterDestroy_;
}

Decoded DecodeAll(const std::vector<EncodedBuffer> &buffers) {
    std::vector<std::vector<uint8_t>> payloads;
    for (const EncodedBuffer &buffer : buffers) {
        payloads.push_back(buffer.data);
    }
    return DecodeBuffers(payloads);
}

}  // namespace mirrax::test
