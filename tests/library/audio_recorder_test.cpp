// The exported audio capture test class on the platform's audio capturer.
#include "capture/audio_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "mirrax_platform/fault_injection.h"
#include "support/log_capture.h"

namespace {

// A second Setup ends the first capture thread; destroying a running recorder stops
// and joins the second, with every step's line in order.
TEST(AudioRecorder, SecondSetupAndDestroyEndTheCaptureThreadInOrder) {
    mirrax::test::LogCapture capture;
    auto recorder = std::make_unique<AudioRecorder>();
    ASSERT_TRUE(recorder->Setup());
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len 3840."));
    ASSERT_TRUE(recorder->Setup());
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 1u);
    ASSERT_TRUE(capture.WaitFor("CaptureAudio audio buffer len", 2));
    const size_t released = capture.Count("OnStateChange CAPTURER_RELEASED");
    recorder.reset();
    EXPECT_EQ(capture.Count("CaptureAudio finish."), 2u);
    EXPECT_EQ(capture.Count("OnStateChange CAPTURER_RELEASED"), released + 1);
    EXPECT_EQ(capture.Count("CaptureAudio read audio buffer failed."), 0u);
    const auto texts = capture.Texts();
    auto at = texts.begin();
    for (const char *line : {"CAPTURER_PREPARED", "CAPTURER_RUNNING", "Capturing started",
                             "CaptureAudio audio buffer len 3840.", "Capturing stop",
                             "CaptureAudio finish.", "CAPTURER_STOPPED", "CAPTURER_RELEASED"}) {
        at = std::find_if(at, texts.end(),
                          [&](const auto &t) { return t.find(line) != std::string::npos; });
        ASSERT_NE(at++, texts.end()) << line;
    }
}

// A setup that fails says why and starts nothing; without a setup, capture only logs.
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
    mirrax::test::LogCapture capture;
    AudioRecorder().CaptureAudio();
    EXPECT_EQ(capture.Count("Please init audioCapturer first.", LOG_ERROR), 1u);
}

}  // namespace
