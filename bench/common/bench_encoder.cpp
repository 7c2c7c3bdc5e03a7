#include "bench_encoder.h"

#include "multimedia/player_framework/native_avformat.h"
#include "native_window/external_window.h"
#include "window.h"

namespace mirrax::bench {

namespace {

void OnError(OH_AVCodec *, int32_t, void *) {}
void OnStreamChanged(OH_AVCodec *, OH_AVFormat *, void *) {}
void OnNeedInput(OH_AVCodec *, uint32_t, OH_AVMemory *, void *) {}

}  // namespace

BenchEncoder::BenchEncoder(const BenchEncoderSettings &settings, OH_AVCodecOnNewOutputData onOutput,
                           void *userData)
    : codec_(OH_VideoEncoder_CreateByMime(OH_AVCODEC_MIMETYPE_VIDEO_AVC)) {
    if (codec_ == nullptr) {
        return;
    }
    OH_VideoEncoder_SetCallback(codec_, {OnError, OnStreamChanged, OnNeedInput, onOutput},
                                userData);
    OH_AVFormat *format = OH_AVFormat_CreateVideoFormat(OH_AVCODEC_MIMETYPE_VIDEO_AVC,
                                                        settings.width, settings.height);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_PIXEL_FORMAT, AV_PIXEL_FORMAT_SURFACE_FORMAT);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_I_FRAME_INTERVAL, settings.iFrameIntervalMs);
    OH_AVFormat_SetDoubleValue(format, OH_MD_KEY_FRAME_RATE, settings.frameRate);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE, CBR);
    OH_AVFormat_SetLongValue(format, OH_MD_KEY_BITRATE, settings.bitRate);
    const bool configured = OH_VideoEncoder_Configure(codec_, format) == AV_ERR_OK;
    OH_AVFormat_Destroy(format);
    OHNativeWindow *window = nullptr;
    if (!configured || OH_VideoEncoder_GetSurface(codec_, &window) != AV_ERR_OK) {
        return;
    }
    OHOS::sptr<OHOS::Surface> surface = window->surface;
    OH_NativeWindow_DestroyNativeWindow(window);
    if (OH_VideoEncoder_Prepare(codec_) == AV_ERR_OK &&
        OH_VideoEncoder_Start(codec_) == AV_ERR_OK) {
        surface_ = surface;
    }
}

BenchEncoder::~BenchEncoder() {
    if (codec_ != nullptr) {
        OH_VideoEncoder_Stop(codec_);
        OH_VideoEncoder_Destroy(codec_);
    }
}

}  // namespace mirrax::bench
