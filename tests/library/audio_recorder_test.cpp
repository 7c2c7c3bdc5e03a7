// The exported audio capture test class on the platform's audio capturer.
#include "capture/audio_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "mirrax_platform/fault_injection.h"
#include "support/log_capture.h"

namespace {

using OHOS::AudioStandard::CapturerState;

TEST(AudioRecorder, SetupAndStopLogTheirLinesInOrder) {
    mirrax::test::LogCapture capture;
    AudioRecorder recorder;
    ASSERT_TRUE(recorder.Setup());
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len 3840.", 3));
    recorder.Stop();

    const std::vector<std::string> order = {
        "OnStateChange CAPTURER_PREPARED",
        "OnStateChange CAPTURER_RUNNING",
        "Capturing started",
        "CaptureAudio audio buffer len 3840.",
        "Capturing stop",
        "CaptureAudio finish.",
        "OnStateChange CAPTURER_STOPPED",
        "OnStateChange CAPTURER_RELEASED",
    };
    const auto texts = capture.Texts();
    auto at = texts.begin();
    for (const auto &line : order) {
        at = std::find_if(at, texts.end(),
                          [&](const auto &t) { return t.find(line) != std::string::npos; });
        ASSERT_NE(at++, texts.end()) << line;
    }
    EXPECT_EQ(capture.Count("CaptureAudio read audio buffer failed."), 0u);
}

// Without a setup, capture and stop only log. The capturer's callbacks log a general
// line, then the state (a number outside the states as invalid), or an interrupt.
TEST(AudioRecorder, UnsetRecorderAndCallbacksOnlyLog) {
    mirrax::test::LogCapture capture;
    AudioRecorder recorder;
    recorder.CaptureAudio();
    EXPECT_EQ(capture.Count("Please init audioCapturer first.", LOG_ERROR), 1u);
    recorder.Stop();
    EXPECT_EQ(capture.Texts().back(), "[native_screen_encoder:(Stop)] Capturing stop");
    AudioCapturerCallbackImpl callback;
    const std::string label = "[native_screen_encoder:(OnStateChange)] ";
    for (const auto &[state, line] : {std::pair<int, std::string>{0, "NOT A VALID state"},
                                      {2, "CAPTURER_RUNNING"},
                                      {5, "NOT A VALID state"}}) {
        capture.Clear();
        callback.OnStateChange(static_cast<CapturerState>(state));
        EXPECT_EQ(
            capture.Texts(),
            (std::vector<std::string>{label + "AudioCapturerCallbackImpl:: OnStateChange",
                                      label + "AudioCapturerCallbackImpl: OnStateChange " + line}));
    }
    OHOS::AudioStandard::InterruptEvent event;
    event.eventType = OHOS::AudioStandard::INTERRUPT_TYPE_END;
    event.forceType = OHOS::AudioStandard::INTERRUPT_SHARE;
    event.hintType = OHOS::AudioStandard::INTERRUPT_HINT_PAUSE;
    callback.OnInterrupt(event);
    EXPECT_EQ(capture.Count("OnInterrupt Hint : 2 eventType : 2,            forceType : 1"), 1u);
}

// A second Setup ends the first capture thread; destroying a running recorder joins
// the second.
TEST(AudioRecorder, SecondSetupAndDestroyEndTheCaptureThread) {
    mirrax::test::LogCapture capture;
    auto recorder = std::make_unique<AudioRecorder>();
    ASSERT_TRUE(recorder->Setup());
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len"));
    ASSERT_TRUE(recorder->Setup());
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 1u);
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len", 2));
    const size_t released = capture.Count("OnStateChange CAPTURER_RELEASED");
    recorder.reset();
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 2u);
    EXPECT_EQ(capture.Count("OnStateChange CAPTURER_RELEASED"), released + 1);
}

TEST(AudioFault, SetupFailsWithItsLine) {
    for (const auto &[call, line] : {std::pair<std::string, std::string>{
                                         "AudioCapturer::Create", "AudioCapturer create failed."},
                                     {"AudioCapturer::SetCapturerCallback",
                                      "AudioCapturerTest: SetCapturerCallback failed -62980096"},
                                     {"AudioCapturer::Start", "Start stream failed"}}) {
        mirrax::test::LogCapture capture;
        mirrax::platform::InjectFault(call, -62980096);
        AudioRecorder recorder;
        EXPECT_FALSE(recorder.Setup()) << call;
        mirrax::platform::ClearFaults();
        EXPECT_EQ(capture.Count(line, LOG_ERROR), 1u) << call;
        EXPECT_EQ(capture.Count("Capturing started"), 0u) << call;
    }
}

}  // namespace
