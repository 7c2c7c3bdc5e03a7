// The library's exported entry points and peer admission, its capture classes without
// a stream, and the exported audio capture test class on the platform's capturer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/audio_recorder.h"
#include "capture/native_screen_encoder.h"
#include "mirrax_platform/fault_injection.h"
#include "rpc/peer_admission.h"
#include "support/child_process.h"
#include "support/log_capture.h"

extern "C" int32_t UiTestExtension_OnInit(void *, uint64_t, char **);
extern "C" int32_t UiTestExtension_OnRun();

namespace {

TEST(EntrySymbols, EntryPointsUnmangledAndInternalsHidden) {
    void *library = dlopen(mirrax::test::BuildPath("lib/libmirrax_server.so").c_str(), RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_NE(dlsym(library, "UiTestExtension_OnInit"), nullptr);
    EXPECT_NE(dlsym(library, "UiTestExtension_OnRun"), nullptr);
    EXPECT_NE(dlsym(library, "_ZN9RpcServer10StopServerEv"), nullptr);
    // Generated message code and helpers stay inside the library.
    EXPECT_EQ(dlsym(library, "_ZN12ReplyMessageC2Ev"), nullptr);
    EXPECT_EQ(dlsym(library, "_ZN12ReplyMessageC1Ev"), nullptr);
}

TEST(FewArguments, ReturnMinusOneWithoutServer) {
    for (std::vector<const char *> args : {std::vector<const char *>{}, {"-p"}}) {
        mirrax::test::LogCapture capture;
        const size_t argc = args.size();
        args.push_back(nullptr);
        EXPECT_EQ(UiTestExtension_OnInit(nullptr, argc, const_cast<char **>(args.data())), -1);
        EXPECT_EQ(capture.Count("Start error, invalid parma.", LOG_ERROR), 1u);
        EXPECT_EQ(capture.Count("argc: " + std::to_string(argc), LOG_INFO), 1u);
        EXPECT_EQ(capture.Count("argv:"), 0u);
        EXPECT_EQ(capture.Count("Server Listening"), 0u);
        EXPECT_EQ(capture.Count("Finish parse params."), 0u);
        EXPECT_EQ(UiTestExtension_OnRun(), 0);
    }
}

// One row per class. gRPC prints a caller on [::1] as "ipv6:%5B::1%5D:45318", and IPv4
// callers of a dual-stack listener as "ipv4:127.0.0.1:…".
TEST(PeerAdmission, AdmitsOnlyLoopbackWrittenWith127001) {
    const struct {
        std::string peer;
        bool admitted;
    } cases[] = {
        {"ipv4:127.0.0.1:53122", true},
        {"ipv4:127.0.0.2:40000", false},  // other 127/8 text
        {"ipv6:%5B::ffff:127.0.0.1%5D:40000", true},
        {"ipv6:%5B::1%5D:45318", false},
        {"ipv6:[::127.0.0.1]:40000", false},  // IPv4-compatible, not mapped
        {"ipv4:10.127.0.1:5", false},         // other hosts
        {"ipv6:[64:ff9b::127.0.0.1]:40000", false},
        {"unix:/tmp/127.0.0.1.sock", false},
        {"ipv4:127.0.0.1:65536", false},  // malformed
        {std::string("ipv4:127.0.0.1\0:80", 18), false},
        {"ipv6:[::ffff:127.0.0.1%25lo]:40000", false},
        {"", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(IsLoopbackPeer(c.peer), c.admitted) << '"' << c.peer << '"';
    }
}

TEST(ScreenEncoderStop, SecondStopOnlyLogsAndLoopReturnsOnceStopped) {
    mirrax::test::LogCapture capture;
    ScreenEncoder encoder;
    encoder.Stop(false);
    EXPECT_EQ(capture.Count("Do not notify rpc stop!"), 1u);
    EXPECT_EQ(capture.Count("Destroy encoder success."), 1u);
    EXPECT_EQ(capture.Count("Destroy virtual screen success."), 1u);
    encoder.Loop();  // returns at once: the run is over

    capture.Clear();
    encoder.Stop(true);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                   "[native_screen_encoder:(Stop)] Invoke ScreenEncoder::Stop....",
                                   "[native_screen_encoder:(Stop)] ScreenEncoder already stop....",
                               }));
    EXPECT_EQ(encoder.GetTotalFrameCount(), 0);
}

TEST(ListenerChange, RunsTheCallbackOnlyForItsScreen) {
    for (const auto &[id, expected] : {std::pair<uint64_t, int>{3, 1}, {0, 0}, {UINT64_MAX, 0}}) {
        mirrax::test::LogCapture capture;
        int runs = 0;
        auto listener = OHOS::sptr<ScreenChangeListener>::MakeSptr([&runs] { ++runs; }, 3);
        listener->OnChange(id);
        EXPECT_EQ(runs, expected) << id;
        EXPECT_EQ(capture.Count("ScreenChangeListener OnChange, id is " + std::to_string(id) +
                                ", targetId_ is 3"),
                  1u);
    }
}

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
