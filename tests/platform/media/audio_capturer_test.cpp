// The audio capturer: real-time pacing, states and their callbacks, Stop during Read.
#include "audio_capturer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "mirrax_platform/fault_injection.h"

namespace OHOS::AudioStandard {
namespace {

using Clock = std::chrono::steady_clock;

AudioCapturerOptions Options(AudioSampleFormat format = SAMPLE_S16LE) {
    AudioCapturerOptions options;
    options.streamInfo = {.samplingRate = SAMPLE_RATE_48000, .format = format, .channels = STEREO};
    options.capturerInfo = {SOURCE_TYPE_PLAYBACK_CAPTURE, 0};
    return options;
}

class RecordingCallback : public AudioCapturerCallback {
public:
    void OnInterrupt(const InterruptEvent &) override {}
    void OnStateChange(const CapturerState state) override {
        std::lock_guard<std::mutex> lock(mutex_);
        states_.push_back(state);
    }
    std::vector<CapturerState> States() {
        std::lock_guard<std::mutex> lock(mutex_);
        return states_;
    }

private:
    std::mutex mutex_;
    std::vector<CapturerState> states_;
};

TEST(AudioCapturerTest, RealTimeReadsAndStatesInOrder) {
    auto capturer = AudioCapturer::Create(Options());
    ASSERT_NE(capturer, nullptr);
    auto callback = std::make_shared<RecordingCallback>();
    ASSERT_EQ(capturer->SetCapturerCallback(callback), SUCCESS);
    size_t size = 0;
    ASSERT_EQ(capturer->GetBufferSize(size), SUCCESS);
    EXPECT_EQ(size, 48000u * 4 / 50);  // 20 ms of 16-bit stereo
    ASSERT_TRUE(capturer->Start());
    EXPECT_FALSE(capturer->Start());  // already running
    std::vector<uint8_t> buffer(size);
    const auto begin = Clock::now();
    bool nonSilent = false;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(capturer->Read(*buffer.data(), size, true), static_cast<int32_t>(size));
        nonSilent = nonSilent ||
                    std::any_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b != 0; });
    }
    // 200 ms of audio cannot arrive sooner than 200 ms after Start.
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(195));
    EXPECT_TRUE(nonSilent);
    EXPECT_EQ(capturer->Read(*buffer.data(), 3, true), ERR_INVALID_PARAM);  // under one frame
    EXPECT_TRUE(capturer->Stop());
    EXPECT_EQ(capturer->Read(*buffer.data(), size, true), ERR_ILLEGAL_STATE);
    EXPECT_TRUE(capturer->Release());
    EXPECT_EQ(capturer->GetStatus(), CAPTURER_RELEASED);
    EXPECT_EQ(callback->States(),
              (std::vector<CapturerState>{CAPTURER_PREPARED, CAPTURER_RUNNING, CAPTURER_STOPPED,
                                          CAPTURER_RELEASED}));
}

TEST(AudioCapturerTest, StopWakesABlockedReadAndFaultsFail) {
    auto capturer = AudioCapturer::Create(Options());
    ASSERT_NE(capturer, nullptr);
    ASSERT_TRUE(capturer->Start());
    std::vector<uint8_t> buffer(48000 * 4 * 10);  // ten seconds of audio
    std::atomic<int32_t> result{1};
    const auto begin = Clock::now();
    std::thread reader([&] { result = capturer->Read(*buffer.data(), buffer.size(), true); });
    EXPECT_TRUE(capturer->Stop());
    reader.join();
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ(result.load(), ERR_ILLEGAL_STATE);

    EXPECT_EQ(AudioCapturer::Create(Options(SAMPLE_F32LE)), nullptr);
    mirrax::platform::InjectFault("AudioCapturer::Create", 0);
    EXPECT_EQ(AudioCapturer::Create(Options()), nullptr);
    auto fresh = AudioCapturer::Create(Options());
    ASSERT_NE(fresh, nullptr);
    mirrax::platform::InjectFault("AudioCapturer::SetCapturerCallback", ERR_INVALID_PARAM);
    EXPECT_EQ(fresh->SetCapturerCallback(std::make_shared<RecordingCallback>()), ERR_INVALID_PARAM);
    mirrax::platform::InjectFault("AudioCapturer::Start", 0);
    EXPECT_FALSE(fresh->Start());
    mirrax::platform::InjectFault("AudioCapturer::GetBufferSize", ERROR);
    size_t size = 0;
    EXPECT_EQ(fresh->GetBufferSize(size), ERROR);
    EXPECT_TRUE(fresh->Start());
    mirrax::platform::InjectFault("AudioCapturer::Read", ERR_INVALID_READ);
    EXPECT_EQ(fresh->Read(*buffer.data(), 4, true), ERR_INVALID_READ);
    mirrax::platform::ClearFaults();
}

}  // namespace
}  // namespace OHOS::AudioStandard
