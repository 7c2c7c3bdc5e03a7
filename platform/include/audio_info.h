// Capturer options, capturer states and stream usages.
#ifndef OHOS_AUDIO_INFO_H
#define OHOS_AUDIO_INFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "audio_interrupt_info.h"
#include "audio_source_type.h"
#include "audio_stream_info.h"

namespace OHOS::AudioStandard {

enum CapturerState {
    CAPTURER_INVALID = -1,
    CAPTURER_NEW,
    CAPTURER_PREPARED,
    CAPTURER_RUNNING,
    CAPTURER_STOPPED,
    CAPTURER_RELEASED,
    CAPTURER_PAUSED
};

enum StreamUsage {
    STREAM_USAGE_INVALID = -1,
    STREAM_USAGE_UNKNOWN = 0,
    STREAM_USAGE_MEDIA = 1,
    STREAM_USAGE_MUSIC = 1,
    STREAM_USAGE_VOICE_COMMUNICATION = 2,
    STREAM_USAGE_VOICE_ASSISTANT = 3,
    STREAM_USAGE_ALARM = 4,
    STREAM_USAGE_VOICE_MESSAGE = 5,
    STREAM_USAGE_RINGTONE = 6,
    STREAM_USAGE_NOTIFICATION = 7,
    STREAM_USAGE_ACCESSIBILITY = 8,
    STREAM_USAGE_SYSTEM = 9,
    STREAM_USAGE_MOVIE = 10,
    STREAM_USAGE_GAME = 11,
    STREAM_USAGE_AUDIOBOOK = 12,
    STREAM_USAGE_NAVIGATION = 13,
};

enum FilterMode : uint32_t { INCLUDE = 0, EXCLUDE };

enum AudioPipeType { PIPE_TYPE_UNKNOWN = 0, PIPE_TYPE_NORMAL_OUT = 1 };

constexpr int32_t AUDIO_FLAG_NORMAL = 0;

struct CaptureFilterOptions {
    std::vector<StreamUsage> usages;
    FilterMode usageFilterMode{INCLUDE};
    std::vector<int32_t> pids;
    FilterMode pidFilterMode{INCLUDE};
};

struct AudioPlaybackCaptureConfig {
    CaptureFilterOptions filterOptions;
    bool silentCapture{false};
};

class AudioCapturerInfo {
public:
    SourceType sourceType = SOURCE_TYPE_INVALID;
    int32_t capturerFlags = 0;
    int32_t originalFlag = AUDIO_FLAG_NORMAL;
    AudioPipeType pipeType = PIPE_TYPE_UNKNOWN;
    AudioSamplingRate samplingRate = SAMPLE_RATE_8000;
    uint8_t encodingType = 0;
    uint64_t channelLayout = 0ULL;
    std::string sceneType = "";
    AudioCapturerInfo(SourceType sourceType_, int32_t capturerFlags_)
        : sourceType(sourceType_), capturerFlags(capturerFlags_) {}
    AudioCapturerInfo() = default;
};

struct AudioCapturerOptions {
    AudioStreamInfo streamInfo;
    AudioCapturerInfo capturerInfo;
    AudioPlaybackCaptureConfig playbackCaptureConfig;
};

}  // namespace OHOS::AudioStandard

#endif  // OHOS_AUDIO_INFO_H
