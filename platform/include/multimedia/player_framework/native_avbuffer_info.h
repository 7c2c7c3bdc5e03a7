// Attributes of one codec buffer (OHOS SDK layout and flag values).
#ifndef NATIVE_AVBUFFER_INFO_H
#define NATIVE_AVBUFFER_INFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum OH_AVCodecBufferFlags {
    AVCODEC_BUFFER_FLAGS_NONE = 0,
    AVCODEC_BUFFER_FLAGS_EOS = 1 << 0,               // end of stream; the buffer carries no data
    AVCODEC_BUFFER_FLAGS_SYNC_FRAME = 1 << 1,        // key frame, decodable on its own
    AVCODEC_BUFFER_FLAGS_INCOMPLETE_FRAME = 1 << 2,  // part of a frame
    AVCODEC_BUFFER_FLAGS_CODEC_DATA = 1 << 3,        // codec configuration (SPS and PPS)
    AVCODEC_BUFFER_FLAGS_DISCARD = 1 << 4,
    AVCODEC_BUFFER_FLAGS_DISPOSABLE = 1 << 5,
} OH_AVCodecBufferFlags;

typedef struct OH_AVCodecBufferAttr {
    int64_t pts;     // presentation time stamp
    int32_t size;    // bytes of valid data
    int32_t offset;  // where the valid data starts in the buffer
    uint32_t flags;  // OH_AVCodecBufferFlags bits
} OH_AVCodecBufferAttr;

#ifdef __cplusplus
}
#endif

#endif  // NATIVE_AVBUFFER_INFO_H
