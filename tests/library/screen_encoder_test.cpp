// The capture pipeline's control surface and stop path without a running stream.
#include <gtest/gtest.h>

#include "capture/native_screen_encoder.h"
#include "support/log_capture.h"

namespace {

TEST(ScreenCopyControl, WithoutARunStopAnswersZeroAndKeyFrameSix) {
    mirrax::test::LogCapture capture;
    EXPECT_EQ(NativeStopScreenCopy(), 0);
    EXPECT_EQ(NativeStopScreenCopy(), 0);
    EXPECT_EQ(RequestIDRFrame(), 6);
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{
                  "[native_screen_encoder:(NativeStopScreenCopy)] Invoke StopScreenCopy....",
                  "[native_screen_encoder:(NativeStopScreenCopy)] Finish StopScreenCopy...., "
                  "frame_count: 0",
                  "[native_screen_encoder:(NativeStopScreenCopy)] Invoke StopScreenCopy....",
                  "[native_screen_encoder:(NativeStopScreenCopy)] Finish StopScreenCopy...., "
                  "frame_count: 0",
                  "[native_screen_encoder:(RequestIDRFrame)] Invoke RequestIDRFrame....",
                  "[native_screen_encoder:(RequestIDRFrame)] Finish RequestIDRFrame....",
              }));
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

struct ChangeCase {
    uint64_t id;
    int runs;
};

void PrintTo(const ChangeCase &c, std::ostream *os) { *os << c.id; }

class ListenerChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ListenerChange, RunsTheCallbackOnlyForItsScreen) {
    mirrax::test::LogCapture capture;
    int runs = 0;
    auto listener = OHOS::sptr<ScreenChangeListener>::MakeSptr([&runs] { ++runs; }, 3);
    listener->OnChange(GetParam().id);
    EXPECT_EQ(runs, GetParam().runs);
    EXPECT_EQ(capture.Texts(),
              std::vector<std::string>{"[native_screen_encoder:(OnChange)] ScreenChangeListener "
                                       "OnChange, id is " +
                                       std::to_string(GetParam().id) + ", targetId_ is 3"});
}

INSTANTIATE_TEST_SUITE_P(Screens, ListenerChange,
                         ::testing::Values(ChangeCase{3, 1}, ChangeCase{0, 0},
                                           ChangeCase{UINT64_MAX, 0}),
                         [](const auto &info) { return "Case" + std::to_string(info.index); });

}  // namespace
