// The shape of a PCM stream: rate, encoding, sample format, channels.
#ifndef OHOS_AUDIO_STREAM_INFO_H
#define OHOS_AUDIO_STREAM_INFO_H

#include <cstdint>

namespace OHOS::AudioStandard {

enum AudioSamplingRate {
    SAMPLE_RATE_8000 = 8000,
    SAMPLE_RATE_11025 = 11025,
    SAMPLE_RATE_12000 = 12000,
    SAMPLE_RATE_16000 = 16000,
    SAMPLE_RATE_22050 = 22050,
    SAMPLE_RATE_24000 = 24000,
    SAMPLE_RATE_32000 = 32000,
    SAMPLE_RATE_44100 = 44100,
    SAMPLE_RATE_48000 = 48000,
    SAMPLE_RATE_64000 = 64000,
    SAMPLE_RATE_88200 = 88200,
    SAMPLE_RATE_96000 = 96000,
    SAMPLE_RATE_176400 = 176400,
    SAMPLE_RATE_192000 = 192000
};

enum AudioEncodingType { ENCODING_INVALID = -1, ENCODING_PCM = 0, ENCODING_AUDIOVIVID = 1 };

// Byte-sized like the SDK's; INVALID_WIDTH is its "-1" (all bits set).
enum AudioSampleFormat : uint8_t {
    SAMPLE_U8 = 0,
    SAMPLE_S16LE = 1,
    SAMPLE_S24LE = 2,
    SAMPLE_S32LE = 3,
    SAMPLE_F32LE = 4,
    INVALID_WIDTH = 0xFF
};

enum AudioChannel : uint8_t {
    CHANNEL_UNKNOW = 0,
    MONO = 1,
    STEREO = 2,
    CHANNEL_3 = 3,
    CHANNEL_4 = 4,
    CHANNEL_5 = 5,
    CHANNEL_6 = 6,
    CHANNEL_7 = 7,
    CHANNEL_8 = 8,
    CHANNEL_9 = 9,
    CHANNEL_10 = 10,
    CHANNEL_11 = 11,
    CHANNEL_12 = 12,
    CHANNEL_13 = 13,
    CHANNEL_14 = 14,
    CHANNEL_15 = 15,
    CHANNEL_16 = 16
};

enum AudioChannelLayout : uint64_t {
    CH_LAYOUT_UNKNOWN = 0ULL,
    CH_LAYOUT_MONO = 0x4ULL,
    CH_LAYOUT_STEREO = 0x3ULL,
};

class AudioStreamInfo {
public:
    AudioSamplingRate samplingRate = SAMPLE_RATE_8000;
    AudioEncodingType encoding = ENCODING_PCM;
    AudioSampleFormat format = INVALID_WIDTH;
    AudioChannel channels = CHANNEL_UNKNOW;
    AudioChannelLayout channelLayout = CH_LAYOUT_UNKNOWN;
};

}  // namespace OHOS::AudioStandard

#endif  // OHOS_AUDIO_STREAM_INFO_H
