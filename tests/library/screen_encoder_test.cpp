// The capture pipeline's control surface and stop path without a running stream.
#include <gtest/gtest.h>

#include "capture/native_screen_encoder.h"
#include "support/log_capture.h"

namespace {

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

}  // namespace
