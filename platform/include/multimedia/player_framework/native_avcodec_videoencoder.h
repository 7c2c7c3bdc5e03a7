// The native H.264 video encoder. Input comes from the encoder's surface
// (OH_VideoEncoder_GetSurface); output goes to the onNeedOutputData callback.
//
// States: Create -> SetCallback -> Configure -> GetSurface -> Prepare -> Start ->
// (SetParameter, FreeOutputData) -> NotifyEndOfStream -> Stop -> Destroy. Every call
// on a null or destroyed handle returns AV_ERR_INVALID_VAL, in the wrong state
// AV_ERR_INVALID_STATE.
#ifndef NATIVE_AVCODEC_VIDEOENCODER_H
#define NATIVE_AVCODEC_VIDEOENCODER_H

#include <stdbool.h>
#include <stdint.h>

#include "native_avcodec_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum OH_VideoEncodeBitrateMode {
    CBR = 0,
    VBR = 1,
    CQ = 2,
} OH_VideoEncodeBitrateMode;

OH_AVCodec *OH_VideoEncoder_CreateByMime(const char *mime);
OH_AVCodec *OH_VideoEncoder_CreateByName(const char *name);
// Stops the encoder if it runs; no callback runs after it returns.
OH_AVErrCode OH_VideoEncoder_Destroy(OH_AVCodec *codec);
OH_AVErrCode OH_VideoEncoder_SetCallback(OH_AVCodec *codec, OH_AVCodecAsyncCallback callback,
                                         void *userData);
OH_AVErrCode OH_VideoEncoder_Configure(OH_AVCodec *codec, OH_AVFormat *format);
OH_AVErrCode OH_VideoEncoder_Prepare(OH_AVCodec *codec);
OH_AVErrCode OH_VideoEncoder_Start(OH_AVCodec *codec);
// Waits for a running output callback to return; none runs after it returns.
OH_AVErrCode OH_VideoEncoder_Stop(OH_AVCodec *codec);
OH_AVErrCode OH_VideoEncoder_Flush(OH_AVCodec *codec);
OH_AVErrCode OH_VideoEncoder_Reset(OH_AVCodec *codec);
// The caller frees the result with OH_AVFormat_Destroy.
OH_AVFormat *OH_VideoEncoder_GetOutputDescription(OH_AVCodec *codec);
OH_AVFormat *OH_VideoEncoder_GetInputDescription(OH_AVCodec *codec);
OH_AVErrCode OH_VideoEncoder_SetParameter(OH_AVCodec *codec, OH_AVFormat *format);
// A new window carrying the encoder's input surface; the caller releases it with
// OH_NativeWindow_DestroyNativeWindow (the surface lives on).
OH_AVErrCode OH_VideoEncoder_GetSurface(OH_AVCodec *codec, OHNativeWindow **window);
OH_AVErrCode OH_VideoEncoder_FreeOutputData(OH_AVCodec *codec, uint32_t index);
OH_AVErrCode OH_VideoEncoder_NotifyEndOfStream(OH_AVCodec *codec);
OH_AVErrCode OH_VideoEncoder_PushInputData(OH_AVCodec *codec, uint32_t index,
                                           OH_AVCodecBufferAttr attr);
OH_AVErrCode OH_VideoEncoder_IsValid(OH_AVCodec *codec, bool *isValid);

#ifdef __cplusplus
}
#endif

#endif  // NATIVE_AVCODEC_VIDEOENCODER_H
