// The OH_VideoEncoder_* C API over VideoEncoder, with a registry of live handles.
#include <cctype>
#include <memory>
#include <string>

#include "handle_registry.h"
#include "media_log.h"
#include "mirrax_platform/fault_injection.h"
#include "multimedia/player_framework/native_avcodec_videoencoder.h"
#include "video_encoder.h"

struct OH_AVCodec {
    int unused = 0;  // identity only; the encoder lives in the registry
};

namespace {

using mirrax::media::VideoEncoder;

mirrax::media::HandleMap<OH_AVCodec, VideoEncoder> &Encoders() {
    static mirrax::media::HandleMap<OH_AVCodec, VideoEncoder> encoders;
    return encoders;
}

std::optional<OH_AVErrCode> Fault(const char *call) {
    if (auto code = mirrax::platform::TakeFault(call)) {
        return static_cast<OH_AVErrCode>(*code);
    }
    return std::nullopt;
}

OH_AVCodec *CreateEncoder() {
    auto handle = std::make_unique<OH_AVCodec>();
    auto encoder = std::make_shared<VideoEncoder>(handle.get());
    Encoders().Add(handle.get(), std::move(encoder));
    return handle.release();
}

// Runs `call` on the encoder of a live handle; AV_ERR_INVALID_VAL otherwise.
template <typename Call>
OH_AVErrCode WithEncoder(const char *name, OH_AVCodec *codec, Call call) {
    if (auto code = Fault(name)) {
        return *code;
    }
    auto encoder = Encoders().Find(codec);
    if (!encoder) {
        return AV_ERR_INVALID_VAL;
    }
    return call(*encoder);
}

bool IsAvcName(const char *name) {
    std::string lower;
    for (const char *p = name; *p != '\0'; ++p) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return lower.find("avc") != std::string::npos || lower.find("264") != std::string::npos;
}

}  // namespace

extern "C" {

OH_AVCodec *OH_VideoEncoder_CreateByMime(const char *mime) {
    if (Fault("OH_VideoEncoder_CreateByMime") || mime == nullptr ||
        std::string(mime) != OH_AVCODEC_MIMETYPE_VIDEO_AVC) {
        return nullptr;
    }
    return CreateEncoder();
}

OH_AVCodec *OH_VideoEncoder_CreateByName(const char *name) {
    if (Fault("OH_VideoEncoder_CreateByName") || name == nullptr || !IsAvcName(name)) {
        return nullptr;
    }
    return CreateEncoder();
}

OH_AVErrCode OH_VideoEncoder_Destroy(OH_AVCodec *codec) {
    if (auto code = Fault("OH_VideoEncoder_Destroy")) {
        return *code;
    }
    auto encoder = Encoders().Find(codec);
    if (!encoder) {
        return AV_ERR_INVALID_VAL;
    }
    if (encoder->IsRunning()) {
        const OH_AVErrCode code = encoder->Stop();
        if (code == AV_ERR_OPERATE_NOT_PERMIT) {
            return code;  // called from the output callback: the handle stays valid
        }
    }
    if (!Encoders().Remove(codec)) {
        return AV_ERR_INVALID_VAL;  // destroyed by another thread meanwhile
    }
    encoder.reset();
    delete codec;
    return AV_ERR_OK;
}

OH_AVErrCode OH_VideoEncoder_SetCallback(OH_AVCodec *codec, OH_AVCodecAsyncCallback callback,
                                         void *userData) {
    return WithEncoder("OH_VideoEncoder_SetCallback", codec,
                       [&](VideoEncoder &e) { return e.SetCallback(callback, userData); });
}

OH_AVErrCode OH_VideoEncoder_Configure(OH_AVCodec *codec, OH_AVFormat *format) {
    return WithEncoder("OH_VideoEncoder_Configure", codec, [&](VideoEncoder &e) {
        return mirrax::media::IsLiveFormat(format) ? e.Configure(*format) : AV_ERR_INVALID_VAL;
    });
}

OH_AVErrCode OH_VideoEncoder_Prepare(OH_AVCodec *codec) {
    return WithEncoder("OH_VideoEncoder_Prepare", codec,
                       [](VideoEncoder &e) { return e.Prepare(); });
}

OH_AVErrCode OH_VideoEncoder_Start(OH_AVCodec *codec) {
    return WithEncoder("OH_VideoEncoder_Start", codec, [](VideoEncoder &e) { return e.Start(); });
}

OH_AVErrCode OH_VideoEncoder_Stop(OH_AVCodec *codec) {
    return WithEncoder("OH_VideoEncoder_Stop", codec, [](VideoEncoder &e) { return e.Stop(); });
}

OH_AVErrCode OH_VideoEncoder_Flush(OH_AVCodec *codec) {
    return WithEncoder("OH_VideoEncoder_Flush", codec, [](VideoEncoder &e) { return e.Flush(); });
}

OH_AVErrCode OH_VideoEncoder_Reset(OH_AVCodec *codec) {
    return WithEncoder("OH_VideoEncoder_Reset", codec, [](VideoEncoder &e) { return e.Reset(); });
}

OH_AVFormat *OH_VideoEncoder_GetOutputDescription(OH_AVCodec *codec) {
    if (Fault("OH_VideoEncoder_GetOutputDescription")) {
        return nullptr;
    }
    auto encoder = Encoders().Find(codec);
    return encoder ? encoder->GetOutputDescription() : nullptr;
}

OH_AVFormat *OH_VideoEncoder_GetInputDescription(OH_AVCodec *codec) {
    if (Fault("OH_VideoEncoder_GetInputDescription")) {
        return nullptr;
    }
    auto encoder = Encoders().Find(codec);
    return encoder ? encoder->GetOutputDescription() : nullptr;
}

OH_AVErrCode OH_VideoEncoder_SetParameter(OH_AVCodec *codec, OH_AVFormat *format) {
    return WithEncoder("OH_VideoEncoder_SetParameter", codec, [&](VideoEncoder &e) {
        return mirrax::media::IsLiveFormat(format) ? e.SetParameter(*format) : AV_ERR_INVALID_VAL;
    });
}

OH_AVErrCode OH_VideoEncoder_GetSurface(OH_AVCodec *codec, OHNativeWindow **window) {
    return WithEncoder("OH_VideoEncoder_GetSurface", codec,
                       [&](VideoEncoder &e) { return e.GetSurface(window); });
}

OH_AVErrCode OH_VideoEncoder_FreeOutputData(OH_AVCodec *codec, uint32_t index) {
    return WithEncoder("OH_VideoEncoder_FreeOutputData", codec,
                       [&](VideoEncoder &e) { return e.FreeOutputData(index); });
}

OH_AVErrCode OH_VideoEncoder_NotifyEndOfStream(OH_AVCodec *codec) {
    return WithEncoder("OH_VideoEncoder_NotifyEndOfStream", codec,
                       [](VideoEncoder &e) { return e.NotifyEndOfStream(); });
}

OH_AVErrCode OH_VideoEncoder_PushInputData(OH_AVCodec *codec, uint32_t /*index*/,
                                           OH_AVCodecBufferAttr /*attr*/) {
    // Input comes from the surface only.
    return WithEncoder("OH_VideoEncoder_PushInputData", codec,
                       [](VideoEncoder &) { return AV_ERR_OPERATE_NOT_PERMIT; });
}

OH_AVErrCode OH_VideoEncoder_IsValid(OH_AVCodec *codec, bool *isValid) {
    if (isValid == nullptr) {
        return AV_ERR_INVALID_VAL;
    }
    return WithEncoder("OH_VideoEncoder_IsValid", codec, [&](VideoEncoder &) {
        *isValid = true;
        return AV_ERR_OK;
    });
}

}  // extern "C"
