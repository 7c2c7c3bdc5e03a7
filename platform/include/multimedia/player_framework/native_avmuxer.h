// The native MP4 muxer, writing to a file descriptor the caller owns.
#ifndef NATIVE_AVMUXER_H
#define NATIVE_AVMUXER_H

#include <stdint.h>

#include "native_avcodec_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OH_AVMuxer OH_AVMuxer;

// `fd` must be open for reading and writing; the caller closes it after Destroy.
OH_AVMuxer *OH_AVMuxer_Create(int32_t fd, OH_AVOutputFormat format);
OH_AVErrCode OH_AVMuxer_SetRotation(OH_AVMuxer *muxer, int32_t rotation);
OH_AVErrCode OH_AVMuxer_AddTrack(OH_AVMuxer *muxer, int32_t *trackIndex, OH_AVFormat *trackFormat);
OH_AVErrCode OH_AVMuxer_Start(OH_AVMuxer *muxer);
// `info.pts` in microseconds. A sample flagged CODEC_DATA is the track's configuration.
OH_AVErrCode OH_AVMuxer_WriteSample(OH_AVMuxer *muxer, uint32_t trackIndex, OH_AVMemory *sample,
                                    OH_AVCodecBufferAttr info);
OH_AVErrCode OH_AVMuxer_Stop(OH_AVMuxer *muxer);
OH_AVErrCode OH_AVMuxer_Destroy(OH_AVMuxer *muxer);

#ifdef __cplusplus
}
#endif

#endif  // NATIVE_AVMUXER_H
