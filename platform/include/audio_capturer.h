// OHOS::AudioStandard::AudioCapturer on Linux. Its source is a generator of 48 kHz
// 16-bit stereo PCM (a sine tone) paced on the monotonic clock: a blocking Read takes
// as long as the audio it returns, and Stop wakes a Read that waits.
//
// States: NEW -> (Create) PREPARED -> (Start) RUNNING -> (Stop) STOPPED -> (Release)
// RELEASED; every change is reported to OnStateChange on the caller's thread.
#ifndef OHOS_AUDIO_CAPTURER_H
#define OHOS_AUDIO_CAPTURER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio_errors.h"
#include "audio_info.h"

namespace OHOS::AudioStandard {

class AudioCapturerCallback {
public:
    virtual ~AudioCapturerCallback() = default;
    virtual void OnInterrupt(const InterruptEvent &interruptEvent) = 0;
    virtual void OnStateChange(const CapturerState state) = 0;
};

class AudioCapturer {
public:
    // A prepared capturer, or null when the options are not supported (the generator
    // produces 16-bit PCM with 1 or 2 channels at any listed rate).
    static std::unique_ptr<AudioCapturer> Create(const AudioCapturerOptions &options);

    virtual ~AudioCapturer() = default;
    virtual int32_t SetCapturerCallback(const std::shared_ptr<AudioCapturerCallback> &callback) = 0;
    virtual bool Start() const = 0;
    // Reads up to userSize bytes into the bytes starting at `buffer`; returns the count
    // read, or ERR_INVALID_PARAM / ERR_ILLEGAL_STATE.
    virtual int32_t Read(uint8_t &buffer, size_t userSize, bool isBlockingRead) const = 0;
    virtual CapturerState GetStatus() const = 0;
    virtual bool Pause() const = 0;
    virtual bool Stop() const = 0;
    virtual bool Flush() const = 0;
    virtual bool Release() = 0;
    // Bytes of one period (20 ms by default).
    virtual int32_t GetBufferSize(size_t &bufferSize) const = 0;
    virtual int32_t GetFrameCount(uint32_t &frameCount) const = 0;
    virtual int32_t GetStreamInfo(AudioStreamInfo &streamInfo) const = 0;
    virtual int32_t GetCapturerInfo(AudioCapturerInfo &capturerInfo) const = 0;
    // Period length, 5 to 20 ms.
    virtual int32_t SetBufferDuration(uint64_t bufferDuration) const = 0;
};

}  // namespace OHOS::AudioStandard

#endif  // OHOS_AUDIO_CAPTURER_H
