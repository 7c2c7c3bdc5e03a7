// The exported audio capture test class on the platform's audio capturer.
#include "capture/audio_recorder.h"

#include <gtest/gtest.h>

#include <memory>

#include "mirrax_platform/fault_injection.h"
#include "support/log_capture.h"

namespace {

using OHOS::AudioStandard::CapturerState;

TEST(AudioRecorder, CaptureBeforeSetupLogsAndReturns) {
    mirrax::test::LogCapture capture;
    AudioRecorder recorder;
    recorder.CaptureAudio();
    EXPECT_EQ(capture.Count("Please init audioCapturer first.", LOG_ERROR), 1u);
    recorder.Stop();
    EXPECT_EQ(capture.Texts().back(), "[native_screen_encoder:(Stop)] Capturing stop");
}

TEST(AudioRecorder, SetupAndStopLogTheirLinesInOrder) {
    mirrax::test::LogCapture capture;
    AudioRecorder recorder;
    ASSERT_TRUE(recorder.Setup());
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len 3840.", 3));
    recorder.Stop();

    const std::vector<std::string> order = {
        "TestCapture start ",
        "Before AudioCapturer create. ",
        "After AudioCapturer create. ",
        "OnStateChange CAPTURER_PREPARED",
        "OnStateChange CAPTURER_RUNNING",
        "Capturing started",
        "CaptureAudio audio buffer len 3840.",
        "Capturing stop",
        "CaptureAudio finish.",
        "OnStateChange CAPTURER_STOPPED",
        "OnStateChange CAPTURER_RELEASED",
    };
    int at = -1;
    for (const auto &line : order) {
        const int next = capture.IndexOf(line, static_cast<size_t>(at + 1));
        ASSERT_GT(next, at) << line;
        at = next;
    }
    EXPECT_EQ(capture.Count("CaptureAudio read audio buffer failed."), 0u);
}

struct StateCase {
    int state;
    const char *line;
};

void PrintTo(const StateCase &c, std::ostream *os) { *os << c.state; }

class CallbackState : public ::testing::TestWithParam<StateCase> {};

TEST_P(CallbackState, LogsGeneralLineThenTheState) {
    mirrax::test::LogCapture capture;
    AudioCapturerCallbackImpl callback;
    callback.OnStateChange(static_cast<CapturerState>(GetParam().state));
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0],
              "[native_screen_encoder:(OnStateChange)] AudioCapturerCallbackImpl:: OnStateChange");
    EXPECT_EQ(texts[1], std::string("[native_screen_encoder:(OnStateChange)] "
                                    "AudioCapturerCallbackImpl: OnStateChange ") +
                            GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    States, CallbackState,
    ::testing::Values(StateCase{0, "NOT A VALID state"}, StateCase{1, "CAPTURER_PREPARED"},
                      StateCase{2, "CAPTURER_RUNNING"}, StateCase{3, "CAPTURER_STOPPED"},
                      StateCase{4, "CAPTURER_RELEASED"}, StateCase{5, "NOT A VALID state"}),
    [](const auto &info) { return "State" + std::to_string(info.param.state); });

TEST(AudioRecorder, InterruptLogsHintTypeAndForce) {
    mirrax::test::LogCapture capture;
    AudioCapturerCallbackImpl callback;
    OHOS::AudioStandard::InterruptEvent event;
    event.eventType = OHOS::AudioStandard::INTERRUPT_TYPE_END;
    event.forceType = OHOS::AudioStandard::INTERRUPT_SHARE;
    event.hintType = OHOS::AudioStandard::INTERRUPT_HINT_PAUSE;
    callback.OnInterrupt(event);
    EXPECT_EQ(capture.Count("OnInterrupt Hint : 2 eventType : 2,            forceType : 1"), 1u);
}

TEST(AudioRecorder, DestroyingARunningRecorderJoinsItsThread) {
    mirrax::test::LogCapture capture;
    auto recorder = std::make_unique<AudioRecorder>();
    ASSERT_TRUE(recorder->Setup());
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len"));
    recorder.reset();
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 1u);
    EXPECT_EQ(capture.Count("OnStateChange CAPTURER_RELEASED"), 1u);
}

TEST(AudioRecorder, SecondSetupEndsTheFirstCaptureThread) {
    mirrax::test::LogCapture capture;
    AudioRecorder recorder;
    ASSERT_TRUE(recorder.Setup());
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len"));
    ASSERT_TRUE(recorder.Setup());
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 1u);
    recorder.Stop();
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 2u);
}

struct AudioFaultCase {
    const char *call;
    const char *line;
};

void PrintTo(const AudioFaultCase &c, std::ostream *os) { *os << c.call; }

class AudioFault : public ::testing::TestWithParam<AudioFaultCase> {};

TEST_P(AudioFault, SetupFailsWithItsLine) {
    mirrax::test::LogCapture capture;
    mirrax::platform::InjectFault(GetParam().call, -62980096);
    AudioRecorder recorder;
    EXPECT_FALSE(recorder.Setup());
    mirrax::platform::ClearFaults();
    EXPECT_EQ(capture.Count(GetParam().line, LOG_ERROR), 1u);
    EXPECT_EQ(capture.Count("Capturing started"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AudioFault,
    ::testing::Values(AudioFaultCase{"AudioCapturer::Create", "AudioCapturer create failed."},
                      AudioFaultCase{"AudioCapturer::SetCapturerCallback",
                                     "AudioCapturerTest: SetCapturerCallback failed -62980096"},
                      AudioFaultCase{"AudioCapturer::Start", "Start stream failed"}),
    [](const auto &info) {
        std::string name = info.param.call;
        return name.substr(name.find("::") + 2);
    });

}  // namespace
