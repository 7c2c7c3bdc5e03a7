#include "encoder_settings.h"

#include "media_log.h"
#include "multimedia/player_framework/native_avcodec_videoencoder.h"

namespace mirrax::media {

OH_AVErrCode ParseEncoderSettings(const OH_AVFormat &format, EncoderSettings *settings) {
    EncoderSettings parsed;
    auto width = FormatInt(format, OH_MD_KEY_WIDTH);
    auto height = FormatInt(format, OH_MD_KEY_HEIGHT);
    if (!width || !height || *width <= 0 || *height <= 0 || *width > kMaxDimension ||
        *height > kMaxDimension || (*width % 2) != 0 || (*height % 2) != 0) {
        MEDIA_LOGE("encoder: width and height must be even and in 2..%{public}d", kMaxDimension);
        return AV_ERR_INVALID_VAL;
    }
    parsed.width = *width;
    parsed.height = *height;
    if (auto mime = FormatString(format, OH_MD_KEY_CODEC_MIME);
        mime && *mime != OH_AVCODEC_MIMETYPE_VIDEO_AVC) {
        MEDIA_LOGE("encoder: unsupported mime %{public}s", mime->c_str());
        return AV_ERR_UNSUPPORT;
    }
    if (auto pixel = FormatInt(format, OH_MD_KEY_PIXEL_FORMAT);
        pixel && *pixel != AV_PIXEL_FORMAT_SURFACE_FORMAT) {
        MEDIA_LOGE("encoder: pixel format %{public}d unsupported (surface input only)", *pixel);
        return AV_ERR_UNSUPPORT;
    }
    if (auto bitRate = FormatLong(format, OH_MD_KEY_BITRATE)) {
        if (*bitRate <= 0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.bitRate = *bitRate;
    }
    if (auto rate = FormatDouble(format, OH_MD_KEY_FRAME_RATE)) {
        if (!(*rate > 0.0) || *rate > 1000.0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.frameRate = *rate;
    }
    if (auto interval = FormatInt(format, OH_MD_KEY_I_FRAME_INTERVAL)) {
        parsed.iFrameIntervalMs = *interval;
    }
    if (auto mode = FormatInt(format, OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE)) {
        if (*mode < BITRATE_MODE_CBR || *mode > BITRATE_MODE_CQ) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.bitrateMode = *mode;
    }
    if (auto quality = FormatInt(format, OH_MD_KEY_QUALITY)) {
        if (*quality < 0 || *quality > 100) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.quality = *quality;
    }
    if (auto after = FormatInt(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_FRAME_AFTER)) {
        if (*after <= 0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.repeatAfterMs = *after;
    }
    if (auto count = FormatInt(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_MAX_COUNT)) {
        if (*count == 0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.repeatMaxCount = *count;
    }
    if (auto profile = FormatInt(format, OH_MD_KEY_PROFILE)) {
        if (*profile != AVC_PROFILE_BASELINE && *profile != AVC_PROFILE_MAIN &&
            *profile != AVC_PROFILE_HIGH) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.profile = *profile;
    }
    *settings = parsed;
    return AV_ERR_OK;
}

}  // namespace mirrax::media
