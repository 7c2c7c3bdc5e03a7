// Types, callbacks, MIME types and format keys shared by the native codecs.
#ifndef NATIVE_AVCODEC_BASE_H
#define NATIVE_AVCODEC_BASE_H

#include <stdint.h>

#include "native_avbuffer_info.h"
#include "native_avformat.h"
#include "native_avmemory.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NativeWindow OHNativeWindow;
typedef struct OH_AVCodec OH_AVCodec;

typedef void (*OH_AVCodecOnError)(OH_AVCodec *codec, int32_t errorCode, void *userData);
// `format` is valid during the call only.
typedef void (*OH_AVCodecOnStreamChanged)(OH_AVCodec *codec, OH_AVFormat *format, void *userData);
typedef void (*OH_AVCodecOnNeedInputData)(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                                          void *userData);
// `attr` is valid during the call only; the buffer goes back with FreeOutputData(index).
typedef void (*OH_AVCodecOnNewOutputData)(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                                          OH_AVCodecBufferAttr *attr, void *userData);

typedef struct OH_AVCodecAsyncCallback {
    OH_AVCodecOnError onError;
    OH_AVCodecOnStreamChanged onStreamChanged;
    OH_AVCodecOnNeedInputData onNeedInputData;
    OH_AVCodecOnNewOutputData onNeedOutputData;
} OH_AVCodecAsyncCallback;

typedef enum OH_MediaType {
    MEDIA_TYPE_AUD = 0,
    MEDIA_TYPE_VID = 1,
    MEDIA_TYPE_SUBTITLE = 2,
} OH_MediaType;

typedef enum OH_AVCProfile {
    AVC_PROFILE_BASELINE = 0,
    AVC_PROFILE_HIGH = 4,
    AVC_PROFILE_MAIN = 8,
} OH_AVCProfile;

typedef enum OH_AVOutputFormat {
    AV_OUTPUT_FORMAT_DEFAULT = 0,
    AV_OUTPUT_FORMAT_MPEG_4 = 2,
    AV_OUTPUT_FORMAT_M4A = 6,
    AV_OUTPUT_FORMAT_AMR = 8,
    AV_OUTPUT_FORMAT_MP3 = 9,
    AV_OUTPUT_FORMAT_WAV = 10,
    AV_OUTPUT_FORMAT_AAC = 11,
} OH_AVOutputFormat;

typedef enum OH_BitrateMode {
    BITRATE_MODE_CBR = 0,
    BITRATE_MODE_VBR = 1,
    BITRATE_MODE_CQ = 2,
} OH_BitrateMode;

extern const char *OH_AVCODEC_MIMETYPE_VIDEO_AVC;
extern const char *OH_AVCODEC_MIMETYPE_VIDEO_HEVC;

extern const char *OH_MD_KEY_CODEC_MIME;
extern const char *OH_MD_KEY_TRACK_TYPE;
extern const char *OH_MD_KEY_DURATION;
extern const char *OH_MD_KEY_BITRATE;
extern const char *OH_MD_KEY_MAX_INPUT_SIZE;
extern const char *OH_MD_KEY_WIDTH;
extern const char *OH_MD_KEY_HEIGHT;
extern const char *OH_MD_KEY_PIXEL_FORMAT;
extern const char *OH_MD_KEY_FRAME_RATE;
extern const char *OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE;
extern const char *OH_MD_KEY_PROFILE;
extern const char *OH_MD_KEY_QUALITY;
extern const char *OH_MD_KEY_I_FRAME_INTERVAL;
extern const char *OH_MD_KEY_REQUEST_I_FRAME;
extern const char *OH_MD_KEY_ROTATION;
extern const char *OH_MD_KEY_CODEC_CONFIG;
extern const char *OH_MD_KEY_RANGE_FLAG;
extern const char *OH_MD_KEY_VIDEO_ENABLE_LOW_LATENCY;
extern const char *OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_FRAME_AFTER;
extern const char *OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_MAX_COUNT;
extern const char *OH_ED_KEY_TIME_STAMP;
extern const char *OH_ED_KEY_EOS;

#ifdef __cplusplus
}
#endif

#endif  // NATIVE_AVCODEC_BASE_H
