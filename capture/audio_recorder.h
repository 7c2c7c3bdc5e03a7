// A capture test of the platform's audio capturer: reads audio buffers on a thread of
// its own and discards them. The library exports it; nothing inside uses it.
#ifndef MIRRAX_CAPTURE_AUDIO_RECORDER_H
#define MIRRAX_CAPTURE_AUDIO_RECORDER_H

#include <atomic>
#include <memory>
#include <thread>

#include "audio_capturer.h"
#include "common/mirrax_log.h"

class MIRRAX_EXPORT AudioCapturerCallbackImpl : public OHOS::AudioStandard::AudioCapturerCallback {
public:
    ~AudioCapturerCallbackImpl() override = default;
    void OnInterrupt(const OHOS::AudioStandard::InterruptEvent &interruptEvent) override;
    void OnStateChange(const OHOS::AudioStandard::CapturerState state) override;
};

class MIRRAX_EXPORT AudioRecorder {
public:
    AudioRecorder();
    // Stops and joins a running capture thread first.
    virtual ~AudioRecorder();
    AudioRecorder(const AudioRecorder &) = delete;
    AudioRecorder &operator=(const AudioRecorder &) = delete;

    bool Setup();
    void Stop();
    void CaptureAudio();
    void Run();

private:
    void JoinCaptureThread();

    std::unique_ptr<OHOS::AudioStandard::AudioCapturer> capturer_;
    std::atomic<bool> isRunning_{false};
    std::unique_ptr<std::thread> captureThread_;
};

#endif  // MIRRAX_CAPTURE_AUDIO_RECORDER_H
