// String values of the MIME types and format keys.
#include "multimedia/player_framework/native_avcodec_base.h"

const char *OH_AVCODEC_MIMETYPE_VIDEO_AVC = "video/avc";
const char *OH_AVCODEC_MIMETYPE_VIDEO_HEVC = "video/hevc";

const char *OH_MD_KEY_CODEC_MIME = "codec_mime";
const char *OH_MD_KEY_TRACK_TYPE = "track_type";
const char *OH_MD_KEY_DURATION = "duration";
const char *OH_MD_KEY_BITRATE = "bitrate";
const char *OH_MD_KEY_MAX_INPUT_SIZE = "max_input_size";
const char *OH_MD_KEY_WIDTH = "width";
const char *OH_MD_KEY_HEIGHT = "height";
const char *OH_MD_KEY_PIXEL_FORMAT = "pixel_format";
const char *OH_MD_KEY_FRAME_RATE = "frame_rate";
const char *OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE = "video_encode_bitrate_mode";
const char *OH_MD_KEY_PROFILE = "codec_profile";
const char *OH_MD_KEY_QUALITY = "quality";
const char *OH_MD_KEY_I_FRAME_INTERVAL = "i_frame_interval";
const char *OH_MD_KEY_REQUEST_I_FRAME = "req_i_frame";
const char *OH_MD_KEY_ROTATION = "rotation_angle";
const char *OH_MD_KEY_CODEC_CONFIG = "codec_config";
const char *OH_MD_KEY_RANGE_FLAG = "range_flag";
const char *OH_MD_KEY_VIDEO_ENABLE_LOW_LATENCY = "video_enable_low_latency";
const char *OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_FRAME_AFTER =
    "video_encoder_repeat_previous_frame_after";
const char *OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_MAX_COUNT =
    "video_encoder_repeat_previous_max_count";
const char *OH_ED_KEY_TIME_STAMP = "timeStamp";
const char *OH_ED_KEY_EOS = "endOfStream";
