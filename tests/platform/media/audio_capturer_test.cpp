// The audio capturer: real-time pacing, Stop during Read, refused options. (The rest is
// held by the audio recorder's tests, which run on it.)
#include "audio_capturer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace OHOS::AudioStandard {
namespace {

using Clock = std::chrono::steady_clock;

AudioCapturerOptions Options(AudioSampleFormat format = SAMPLE_S16LE) {
    AudioCapturerOptions options;
    options.streamInfo = {.samplingRate = SAMPLE_RATE_48000, .format = format, .channels = STEREO};
    options.capturerInfo = {SOURCE_TYPE_PLAYBACK_CAPTURE, 0};
    return options;
}

TEST(AudioCapturerTest, RealTimeReadsAndStopWakesABlockedRead) {
    EXPECT_EQ(AudioCapturer::Create(Options(SAMPLE_F32LE)), nullptr);
    auto capturer = AudioCapturer::Create(Options());
    ASSERT_NE(capturer, nullptr);
    size_t size = 0;
    ASSERT_EQ(capturer->GetBufferSize(size), SUCCESS);
    std::vector<uint8_t> buffer(48000 * 4 * 10);  // ten seconds of audio
    const auto begin = Clock::now();
    ASSERT_TRUE(capturer->Start());
    EXPECT_FALSE(capturer->Start());  // already running
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(capturer->Read(*buffer.data(), size, true), static_cast<int32_t>(size));
    }
    // 200 ms of audio cannot arrive sooner than 200 ms after Start.
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(195));
    EXPECT_TRUE(std::any_of(buffer.begin(), buffer.begin() + size, [](uint8_t b) { return b; }));
    EXPECT_EQ(capturer->Read(*buffer.data(), 3, true), ERR_INVALID_PARAM);  // under one frame

    // Stop wakes a read of ten seconds at once.
    std::atomic<int32_t> result{1};
    const auto stopped = Clock::now();
    std::thread reader([&] { result = capturer->Read(*buffer.data(), buffer.size(), true); });
    EXPECT_TRUE(capturer->Stop());
    reader.join();
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(2));
    EXPECT_EQ(result.load(), ERR_ILLEGAL_STATE);
    EXPECT_EQ(capturer->Read(*buffer.data(), size, true), ERR_ILLEGAL_STATE);
    EXPECT_TRUE(capturer->Release());
}

}  // namespace
}  // namespace OHOS::AudioStandard
