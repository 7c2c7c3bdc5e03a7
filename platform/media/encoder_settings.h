// The encoder's settings as Configure and SetParameter take them from an OH_AVFormat.
#ifndef MIRRAX_PLATFORM_MEDIA_ENCODER_SETTINGS_H
#define MIRRAX_PLATFORM_MEDIA_ENCODER_SETTINGS_H

#include <cstdint>

#include "av_objects.h"
#include "multimedia/player_framework/native_avcodec_base.h"

namespace mirrax::media {

constexpr int32_t kMaxDimension = 8192;
constexpr int64_t kMaxBitRate = int64_t{INT32_MAX} * 1000;  // libx264: whole kbit/s in an int

// Encoder settings taken from the format given to Configure.
struct EncoderSettings {
    int32_t width = 0;
    int32_t height = 0;
    int64_t bitRate = 4'000'000;      // bit/s
    double frameRate = 30.0;          // nominal; timing comes from frame timestamps
    int32_t iFrameIntervalMs = 1000;  // < 0: first frame only; 0: every frame
    int32_t bitrateMode = 0;          // OH_BitrateMode
    int32_t quality = 50;             // 0..100, constant-quality mode only
    int32_t repeatAfterMs = 0;        // 0: no repeats
    int32_t repeatMaxCount = -1;      // < 0: no limit
    int32_t profile = -1;             // OH_AVCProfile, -1: encoder's choice
};

// Parses a format; returns AV_ERR_OK or the code Configure returns.
OH_AVErrCode ParseEncoderSettings(const OH_AVFormat &format, EncoderSettings *settings);

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_ENCODER_SETTINGS_H
