#include "capture/audio_recorder.h"

#include <pthread.h>

#include <vector>

namespace {
constexpr const char *kLogFile = "native_screen_encoder";

using namespace OHOS::AudioStandard;
}  // namespace

void AudioCapturerCallbackImpl::OnInterrupt(const InterruptEvent &interruptEvent) {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI(
        "%{public}s AudioCapturerCallbackImpl: OnInterrupt Hint : %{public}d eventType : "
        "%{public}d,            forceType : %{public}d",
        static_cast<int>(interruptEvent.hintType), static_cast<int>(interruptEvent.eventType),
        static_cast<int>(interruptEvent.forceType));
}

void AudioCapturerCallbackImpl::OnStateChange(const CapturerState state) {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI("%{public}s AudioCapturerCallbackImpl:: OnStateChange");
    switch (state) {
        case CAPTURER_PREPARED:
            MIRRAX_LOGI("%{public}s AudioCapturerCallbackImpl: OnStateChange CAPTURER_PREPARED");
            break;
        case CAPTURER_RUNNING:
            MIRRAX_LOGI("%{public}s AudioCapturerCallbackImpl: OnStateChange CAPTURER_RUNNING");
            break;
        case CAPTURER_STOPPED:
            MIRRAX_LOGI("%{public}s AudioCapturerCallbackImpl: OnStateChange CAPTURER_STOPPED");
            break;
        case CAPTURER_RELEASED:
            MIRRAX_LOGI("%{public}s AudioCapturerCallbackImpl: OnStateChange CAPTURER_RELEASED");
            break;
        default:
            MIRRAX_LOGI("%{public}s AudioCapturerCallbackImpl: OnStateChange NOT A VALID state");
            break;
    }
}

AudioRecorder::AudioRecorder() = default;

AudioRecorder::~AudioRecorder() {
    if (captureThread_ || capturer_) {
        Stop();
    }
}

void AudioRecorder::JoinCaptureThread() {
    isRunning_ = false;
    if (captureThread_ && captureThread_->joinable()) {
        captureThread_->join();
    }
    captureThread_.reset();
}

bool AudioRecorder::Setup() {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI("%{public}s TestCapture start ");
    // A second Setup replaces the capturer: the thread reading the old one ends first.
    JoinCaptureThread();

    AudioCapturerOptions options;
    options.streamInfo.samplingRate = SAMPLE_RATE_48000;
    options.streamInfo.encoding = ENCODING_PCM;
    options.streamInfo.format = SAMPLE_S16LE;
    options.streamInfo.channels = STEREO;
    options.capturerInfo.sourceType = SOURCE_TYPE_PLAYBACK_CAPTURE;
    options.capturerInfo.capturerFlags = 0;

    MIRRAX_LOGI("%{public}s Before AudioCapturer create. ");
    capturer_ = AudioCapturer::Create(options);
    if (!capturer_) {
        MIRRAX_LOGE("%{public}s AudioCapturer create failed.");
        return false;
    }
    MIRRAX_LOGI("%{public}s After AudioCapturer create. ");

    const int32_t ret =
        capturer_->SetCapturerCallback(std::make_shared<AudioCapturerCallbackImpl>());
    if (ret != 0) {
        MIRRAX_LOGE("%{public}s AudioCapturerTest: SetCapturerCallback failed %{public}d", ret);
        return false;
    }
    if (!capturer_->Start()) {
        MIRRAX_LOGE("%{public}s Start stream failed");
        capturer_->Release();
        capturer_.reset();
        return false;
    }
    MIRRAX_LOGI("%{public}s Capturing started");
    isRunning_ = true;
    captureThread_ = std::make_unique<std::thread>([this] {
        pthread_setname_np(pthread_self(), "audio-capture");
        CaptureAudio();
    });
    return true;
}

void AudioRecorder::CaptureAudio() {
    MIRRAX_LOG_LABEL(kLogFile);
    if (!capturer_) {
        MIRRAX_LOGE("%{public}s Please init audioCapturer first.");
        return;
    }
    size_t bufferSize = 0;
    if (capturer_->GetBufferSize(bufferSize) < 0) {
        MIRRAX_LOGE("%{public}s audioCapturer GetBufferSize error.");
        return;
    }
    std::vector<uint8_t> buffer(bufferSize > 0 ? bufferSize : 1);
    while (isRunning_) {
        const int32_t bytes = capturer_->Read(*buffer.data(), bufferSize, true);
        if (bytes > 0) {
            MIRRAX_LOGI("%{public}s CaptureAudio audio buffer len %{public}d.", bytes);
        } else {
            MIRRAX_LOGE("%{public}s CaptureAudio read audio buffer failed.");
        }
    }
    MIRRAX_LOGI("%{public}s CaptureAudio finish.");
}

void AudioRecorder::Stop() {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI("%{public}s Capturing stop");
    JoinCaptureThread();
    if (capturer_) {
        capturer_->Stop();
        capturer_->Release();
        capturer_.reset();
    }
}

void AudioRecorder::Run() {}
