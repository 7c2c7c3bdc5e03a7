// The audio capturer: a 440 Hz sine generator paced on the monotonic clock. Audio
// "arrives" at the stream's rate from Start on; a blocking Read waits (on a
// condition variable, so Stop can wake it) until all the audio it asks for exists.
#include "audio_capturer.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numbers>

#include "media_log.h"
#include "mirrax_platform/fault_injection.h"

namespace OHOS::AudioStandard {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kToneHz = 440.0;
constexpr double kAmplitude = 0.25 * 32767.0;
constexpr uint64_t kDefaultPeriodMs = 20;

bool SupportedRate(AudioSamplingRate rate) {
    switch (rate) {
        case SAMPLE_RATE_8000:
        case SAMPLE_RATE_11025:
        case SAMPLE_RATE_12000:
        case SAMPLE_RATE_16000:
        case SAMPLE_RATE_22050:
        case SAMPLE_RATE_24000:
        case SAMPLE_RATE_32000:
        case SAMPLE_RATE_44100:
        case SAMPLE_RATE_48000:
        case SAMPLE_RATE_64000:
        case SAMPLE_RATE_88200:
        case SAMPLE_RATE_96000:
            return true;
        default:
            return false;
    }
}

class GeneratedCapturer final : public AudioCapturer {
public:
    explicit GeneratedCapturer(const AudioCapturerOptions &options)
        : streamInfo_(options.streamInfo), capturerInfo_(options.capturerInfo) {
        frameBytes_ = static_cast<size_t>(streamInfo_.channels) * sizeof(int16_t);
        state_ = CAPTURER_PREPARED;
    }

    ~GeneratedCapturer() override { Stop(); }

    int32_t SetCapturerCallback(const std::shared_ptr<AudioCapturerCallback> &callback) override {
        if (auto code = mirrax::platform::TakeFault("AudioCapturer::SetCapturerCallback")) {
            return static_cast<int32_t>(*code);
        }
        if (!callback) {
            return ERR_INVALID_PARAM;
        }
        CapturerState state;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == CAPTURER_RELEASED) {
                return ERR_ILLEGAL_STATE;
            }
            callback_ = callback;
            state = state_;
        }
        // A callback registered after creation still learns that the capturer is ready.
        if (state == CAPTURER_PREPARED) {
            callback->OnStateChange(CAPTURER_PREPARED);
        }
        return SUCCESS;
    }

    bool Start() const override {
        if (mirrax::platform::TakeFault("AudioCapturer::Start")) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != CAPTURER_PREPARED && state_ != CAPTURER_STOPPED &&
                state_ != CAPTURER_PAUSED) {
                return false;
            }
            state_ = CAPTURER_RUNNING;
            start_ = Clock::now();
            framesRead_ = 0;
        }
        Notify(CAPTURER_RUNNING);
        return true;
    }

    int32_t Read(uint8_t &buffer, size_t userSize, bool isBlockingRead) const override {
        if (auto code = mirrax::platform::TakeFault("AudioCapturer::Read")) {
            return static_cast<int32_t>(*code);
        }
        const size_t frames = userSize / frameBytes_;
        if (frames == 0 || userSize > static_cast<size_t>(INT32_MAX)) {
            return ERR_INVALID_PARAM;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (state_ != CAPTURER_RUNNING) {
            return ERR_ILLEGAL_STATE;
        }
        const uint64_t generation = generation_;
        size_t count = frames;
        if (isBlockingRead) {
            const auto ready = start_ + FramesToDuration(framesRead_ + frames);
            changed_.wait_until(lock, ready, [&] {
                return state_ != CAPTURER_RUNNING || generation_ != generation;
            });
            if (state_ != CAPTURER_RUNNING || generation_ != generation) {
                return ERR_ILLEGAL_STATE;  // stopped while waiting
            }
        } else {
            count = std::min<uint64_t>(frames, AvailableFrames());
        }
        const uint64_t first = framesRead_;
        framesRead_ += count;
        lock.unlock();
        Generate(&buffer, first, count);
        return static_cast<int32_t>(count * frameBytes_);
    }

    CapturerState GetStatus() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_;
    }

    bool Pause() const override { return Halt(CAPTURER_PAUSED, "AudioCapturer::Pause"); }
    bool Stop() const override { return Halt(CAPTURER_STOPPED, "AudioCapturer::Stop"); }

    bool Flush() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != CAPTURER_RUNNING && state_ != CAPTURER_PAUSED && state_ != CAPTURER_STOPPED) {
            return false;
        }
        // Pending audio is dropped: reading resumes at the present moment.
        if (state_ == CAPTURER_RUNNING) {
            framesRead_ = std::max<uint64_t>(framesRead_, AvailableFrames() + framesRead_);
        }
        return true;
    }

    bool Release() override {
        if (mirrax::platform::TakeFault("AudioCapturer::Release")) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == CAPTURER_RELEASED) {
                return false;
            }
            state_ = CAPTURER_RELEASED;
            ++generation_;
        }
        changed_.notify_all();
        Notify(CAPTURER_RELEASED);
        return true;
    }

    int32_t GetBufferSize(size_t &bufferSize) const override {
        if (auto code = mirrax::platform::TakeFault("AudioCapturer::GetBufferSize")) {
            return static_cast<int32_t>(*code);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == CAPTURER_RELEASED) {
            return ERR_ILLEGAL_STATE;
        }
        bufferSize = PeriodFrames() * frameBytes_;
        return SUCCESS;
    }

    int32_t GetFrameCount(uint32_t &frameCount) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        frameCount = static_cast<uint32_t>(PeriodFrames());
        return SUCCESS;
    }

    int32_t GetStreamInfo(AudioStreamInfo &streamInfo) const override {
        streamInfo = streamInfo_;
        return SUCCESS;
    }

    int32_t GetCapturerInfo(AudioCapturerInfo &capturerInfo) const override {
        capturerInfo = capturerInfo_;
        return SUCCESS;
    }

    int32_t SetBufferDuration(uint64_t bufferDuration) const override {
        if (bufferDuration < 5 || bufferDuration > 20) {
            return ERR_INVALID_PARAM;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        periodMs_ = bufferDuration;
        return SUCCESS;
    }

private:
    size_t PeriodFrames() const {
        return static_cast<size_t>(streamInfo_.samplingRate) * periodMs_ / 1000;
    }

    Clock::duration FramesToDuration(uint64_t frames) const {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
            static_cast<int64_t>(frames * 1'000'000'000ULL / streamInfo_.samplingRate)));
    }

    // Frames produced since Start and not yet read (caller holds mutex_).
    uint64_t AvailableFrames() const {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count();
        const uint64_t produced =
            static_cast<uint64_t>(elapsed) * streamInfo_.samplingRate / 1'000'000'000ULL;
        return produced > framesRead_ ? produced - framesRead_ : 0;
    }

    void Generate(uint8_t *out, uint64_t firstFrame, size_t frames) const {
        const double step =
            2.0 * std::numbers::pi * kToneHz / static_cast<double>(streamInfo_.samplingRate);
        const size_t channels = streamInfo_.channels;
        for (size_t i = 0; i < frames; ++i) {
            const auto sample = static_cast<int16_t>(
                std::lround(kAmplitude * std::sin(step * static_cast<double>(firstFrame + i))));
            for (size_t c = 0; c < channels; ++c) {
                memcpy(out + (i * channels + c) * sizeof(int16_t), &sample, sizeof(sample));
            }
        }
    }

    bool Halt(CapturerState target, const char *call) const {
        if (mirrax::platform::TakeFault(call)) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != CAPTURER_RUNNING &&
                !(target == CAPTURER_STOPPED && state_ == CAPTURER_PAUSED)) {
                return false;
            }
            state_ = target;
            ++generation_;
        }
        changed_.notify_all();  // a blocked Read returns at once
        Notify(target);
        return true;
    }

    void Notify(CapturerState state) const {
        std::shared_ptr<AudioCapturerCallback> callback;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            callback = callback_;
        }
        if (callback) {
            callback->OnStateChange(state);
        }
    }

    const AudioStreamInfo streamInfo_;
    const AudioCapturerInfo capturerInfo_;
    size_t frameBytes_ = 4;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable CapturerState state_ = CAPTURER_NEW;
    mutable Clock::time_point start_{};
    mutable uint64_t framesRead_ = 0;
    mutable uint64_t generation_ = 0;  // bumped by every stop, pause and release
    mutable uint64_t periodMs_ = kDefaultPeriodMs;
    std::shared_ptr<AudioCapturerCallback> callback_;
};

}  // namespace

std::unique_ptr<AudioCapturer> AudioCapturer::Create(const AudioCapturerOptions &options) {
    if (mirrax::platform::TakeFault("AudioCapturer::Create")) {
        return nullptr;
    }
    const AudioStreamInfo &info = options.streamInfo;
    if (!SupportedRate(info.samplingRate) || info.encoding != ENCODING_PCM ||
        info.format != SAMPLE_S16LE || (info.channels != MONO && info.channels != STEREO)) {
        MEDIA_LOGE(
            "audio capturer: unsupported stream (rate %{public}d, format %{public}d, "
            "channels %{public}d)",
            static_cast<int>(info.samplingRate), static_cast<int>(info.format),
            static_cast<int>(info.channels));
        return nullptr;
    }
    return std::make_unique<GeneratedCapturer>(options);
}

}  // namespace OHOS::AudioStandard
