#include "media_test_util.h"

#include <libyuv/convert.h>

#include <string_view>

#include "mirrax_platform/frame_stamp.h"
#include "native_window/external_window.h"
#include "window.h"

namespace mirrax::test {

namespace {

// Moving content: a gradient that shifts with the sequence number, a band of noise
// that changes every frame (content no encoder predicts cheaply), and the stamp.
void DrawMovingPattern(OHOS::SurfaceBuffer &buffer, uint32_t sequence) {
    for (int y = 0; y < buffer.height; ++y) {
        for (int x = 0; x < buffer.width * 4; ++x) {
            buffer.Row(y)[x] = static_cast<uint8_t>(x * 3 + y * 2 + sequence * 7);
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
    OH_AVCodecAsyncCallback callback{nullptr, nullptr, nullptr, &EncoderHarness::OnOutput};
    OH_VideoEncoder_SetCallback(codec_, callback, this);
    OH_AVFormat *format =
        OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC, options.width, options.height);
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

void EncoderHarness::Destroy() {
    if (codec_ != nullptr) {
        OH_VideoEncoder_Destroy(codec_);
        codec_ = nullptr;
        With([](EncoderOutput &o) { o.destroyed = true; });
    }
}

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
        if (o.hold) {
            o.held.push_back(index);
            free = false;
        }
    }
    self->changed_.notify_all();
    if (free) {
        OH_VideoEncoder_FreeOutputData(codec, index);
    }
}

Decoded DecodeAll(const std::vector<EncodedBuffer> &buffers) {
    std::vector<std::vector<uint8_t>> payloads;
    for (const EncodedBuffer &buffer : buffers) {
        payloads.push_back(buffer.data);
    }
    return DecodeBuffers(payloads);
}

}  // namespace mirrax::test
