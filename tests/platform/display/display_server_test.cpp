// The display server with the synthetic source: mirroring content and pacing, secure
// windows, screen changes and listeners, configuration and fault injection. (A still
// screen is held end to end by the client's silent-stream test; teardown while frames
// flow by the host's stop in every state and the soak's thread count.)
#include <gtest/gtest.h>

#include "display_manager.h"
#include "display_test_util.h"
#include "mirrax_platform/display_config.h"
#include "mirrax_platform/fault_injection.h"
#include "screen_manager.h"

namespace mirrax::test {
namespace {

using OHOS::sptr;
using OHOS::Rosen::DisplayManager;
using OHOS::Rosen::DMError;
using OHOS::Rosen::ScreenId;
using OHOS::Rosen::ScreenManager;

class DisplayServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ClearFaults();
        platform::ResetDisplayServer();
    }
};

struct PacingCase {
    const char *name;
    uint32_t width;
    uint32_t height;
    uint32_t interval;
    int frames;
    OHOS::PixelFormat format = OHOS::PixelFormat::kBgra8888;
};

class MirrorPacingTest : public DisplayServerTest,
                         public ::testing::WithParamInterface<PacingCase> {};

TEST_P(MirrorPacingTest, DeliversScaledStampedFramesAtTheIntervalRate) {
    const PacingCase &c = GetParam();
    Mirror mirror = StartMirror(c.width, c.height, c.interval, c.format);
    std::optional<Frame> first;
    std::optional<Frame> last;
    for (int i = 0; i < c.frames; ++i) {
        std::optional<Frame> f = NextFrame(*mirror.surface, std::chrono::seconds(3), false);
        ASSERT_TRUE(f.has_value()) << "frame " << i << " did not arrive";
        EXPECT_EQ(f->width, static_cast<int>(c.width));
        EXPECT_EQ(f->height, static_cast<int>(c.height));
        ASSERT_TRUE(f->stamp.has_value()) << "no readable stamp in frame " << i;
        EXPECT_EQ(f->stamp->sequence, static_cast<uint32_t>(f->sequence));
        if (last.has_value()) {
            EXPECT_GT(f->sequence, last->sequence);
            EXPECT_GT(f->timestampNs, last->timestampNs);
        }
        first = first.has_value() ? first : f;
        last = f;
    }
    // The mean spacing is the interval's period, or the source's 60 Hz period when that
    // is longer; generous upper bound for loaded machines and sanitizer builds. The stamps
    // are the source's drawing times, on its 60 Hz grid, so a late tick can pick a frame
    // one source period early: the lower bound allows that, and still fails a mirror
    // that ignores its interval (a quarter of it or less here).
    const double expectedMs = std::max(c.interval * 1000.0 / 120.0, 1000.0 / 60.0);
    const double meanMs =
        static_cast<double>(last->timestampNs - first->timestampNs) / 1e6 / (c.frames - 1);
    EXPECT_GE(meanMs, expectedMs * 0.75);
    EXPECT_LE(meanMs, expectedMs * 3.0);
}

INSTANTIATE_TEST_SUITE_P(Intervals, MirrorPacingTest,
                         ::testing::Values(PacingCase{"Scale3At60fps", 360, 780, 2, 30},
                                           PacingCase{"FullSizeAt30fps", 1080, 2340, 4, 15},
                                           PacingCase{"FullSizeI420At60fps", 1080, 2340, 2, 20,
                                                      OHOS::PixelFormat::kI420}),
                         [](const auto &info) { return std::string(info.param.name); });

// The secure window is blanked in BGRA and in I420 (luma and chroma alike) unless its
// id is exempted.
TEST_F(DisplayServerTest, SecureWindowIsBlankedUnlessItsIdIsExempted) {
    struct {
        std::vector<uint64_t> exempt;
        OHOS::PixelFormat format;
    } cases[] = {{{7}, OHOS::PixelFormat::kBgra8888},
                 {{}, OHOS::PixelFormat::kI420},
                 {{7, platform::kSyntheticSecureWindowId}, OHOS::PixelFormat::kBgra8888}};
    for (auto &[exempt, format] : cases) {
        Mirror mirror = StartMirror(360, 780, 2, format);
        ASSERT_EQ(DisplayManager::GetInstance().SetVirtualScreenSecurityExemption(mirror.id, 1234,
                                                                                  exempt),
                  DMError::DM_OK);
        // Skips frames composed before the exemption took effect.
        std::optional<Frame> frame;
        for (int i = 0; i < 3; ++i) {
            frame = NextFrame(*mirror.surface);
            ASSERT_TRUE(frame.has_value());
        }
        // Centre of the secure window (55%..67.5% of the height, 1/8..7/8 of the width).
        const uint8_t *secure = frame->Pixel(frame->width / 2, frame->height * 61 / 100);
        if (exempt.size() > 1) {
            EXPECT_GT(secure[2], 150) << "red of the secure window";
        } else {
            EXPECT_EQ(secure[0] + secure[1] + secure[2], 0)
                << "not blanked, exempt " << exempt.size();
        }
        // The background beside the window is never blanked.
        const uint8_t *beside = frame->Pixel(frame->width / 16, frame->height * 61 / 100);
        EXPECT_GT(beside[0] + beside[1] + beside[2], 0);
        ScreenManager::GetInstance().DestroyVirtualScreen(mirror.id);
    }
}

// Rotation and resize reach every listener on the "screen-notify" thread until it is
// unregistered. (A listener restarting mirroring from OnChange, as the capture library
// does, is held by the host's rotation test.)
TEST_F(DisplayServerTest, RotationAndResizeNotifyEveryListenerOnTheNotificationThread) {
    auto first = sptr<RecordingListener>::MakeSptr();
    auto second = sptr<RecordingListener>::MakeSptr();
    ScreenManager &screens = ScreenManager::GetInstance();
    ASSERT_EQ(screens.RegisterScreenListener(first), DMError::DM_OK);
    ASSERT_EQ(screens.RegisterScreenListener(second), DMError::DM_OK);
    EXPECT_EQ(screens.RegisterScreenListener(first), DMError::DM_ERROR_INVALID_PARAM);

    ASSERT_TRUE(platform::RotateSynthetic());
    ASSERT_TRUE(first->WaitForChanges(1));
    ASSERT_TRUE(second->WaitForChanges(1));
    sptr<OHOS::Rosen::Display> rotated = DisplayManager::GetInstance().GetDisplayByScreen(0);
    EXPECT_EQ(rotated->GetWidth(), 2340);
    EXPECT_EQ(rotated->GetHeight(), 1080);
    EXPECT_EQ(rotated->GetRotation(), OHOS::Rosen::Rotation::ROTATION_90);

    ASSERT_TRUE(platform::ResizeSynthetic(720, 1280));
    ASSERT_TRUE(first->WaitForChanges(2));
    ASSERT_TRUE(second->WaitForChanges(2));
    EXPECT_EQ(DisplayManager::GetInstance().GetDisplayByScreen(0)->GetWidth(), 720);
    const std::vector<std::string> changes(2, "0 screen-notify");
    EXPECT_EQ(first->Changes(), changes);
    EXPECT_EQ(second->Changes(), changes);
    ASSERT_EQ(screens.UnregisterScreenListener(second), DMError::DM_OK);
    ASSERT_TRUE(platform::RotateSynthetic());
    ASSERT_TRUE(first->WaitForChanges(3));
    EXPECT_EQ(second->Changes(), changes);
}

// Virtual screens refuse bad values, and an injected fault is returned once, then the
// call works again. A bad display spec keeps the screen it had; an unreachable X
// display leaves none.
TEST_F(DisplayServerTest, VirtualScreensFaultsAndDisplaySpecs) {
    Mirror mirror = StartMirror(360, 780, 2);
    ScreenManager &screens = ScreenManager::GetInstance();
    EXPECT_EQ(screens.CreateVirtualScreen({}), OHOS::Rosen::SCREEN_ID_INVALID);
    EXPECT_EQ(screens.SetVirtualScreenRefreshRate(mirror.id, 0), DMError::DM_ERROR_INVALID_PARAM);
    EXPECT_EQ(screens.SetVirtualScreenSurface(mirror.id, nullptr), DMError::DM_ERROR_NULLPTR);
    ScreenId group = 0;
    EXPECT_EQ(screens.MakeMirror(mirror.id, {0}, group), DMError::DM_ERROR_INVALID_PARAM);
    platform::InjectFault("ScreenManager::StopMirror", 101);
    EXPECT_EQ(static_cast<int>(screens.StopMirror({mirror.id})), 101);
    EXPECT_EQ(screens.StopMirror({mirror.id}), DMError::DM_OK);
    EXPECT_EQ(screens.DestroyVirtualScreen(mirror.id), DMError::DM_OK);
    EXPECT_EQ(screens.DestroyVirtualScreen(mirror.id), DMError::DM_ERROR_INVALID_PARAM);

    const struct {
        const char *spec;
        int width;  // 0: refused
        int height;
        uint32_t fps;
    } cases[] = {{"synthetic:720x1280@30", 720, 1280, 30},
                 {"synthetic:640x", 0, 0, 0},
                 {"synthetic:640x480@0", 0, 0, 0},
                 {"wayland", 0, 0, 0},
                 {"synthetic", 1080, 2340, 60}};
    for (const auto &c : cases) {
        std::string error;
        EXPECT_EQ(platform::ConfigureDisplay(c.spec, &error), c.width > 0) << c.spec;
        EXPECT_EQ(error.empty(), c.width > 0) << c.spec;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        sptr<OHOS::Rosen::Display> display = DisplayManager::GetInstance().GetDisplayByScreen(0);
        ASSERT_NE(display, nullptr) << c.spec;
        if (c.width > 0) {
            EXPECT_EQ(display->GetWidth(), c.width);
            EXPECT_EQ(display->GetHeight(), c.height);
            EXPECT_EQ(display->GetRefreshRate(), c.fps);
        } else {
            EXPECT_EQ(display->GetWidth(), 720) << c.spec;
        }
    }
    std::string error;
    // Display numbers this high are never served by a test machine.
    EXPECT_FALSE(platform::ConfigureDisplay("x11::987", &error));
    EXPECT_NE(error.find(":987"), std::string::npos) << error;
    EXPECT_EQ(DisplayManager::GetInstance().GetDefaultDisplayId(), OHOS::Rosen::SCREEN_ID_INVALID);
    EXPECT_EQ(ScreenManager::GetInstance().GetScreenById(0), nullptr);
    EXPECT_EQ(DisplayManager::GetInstance().GetDisplayByScreen(0), nullptr);
    const ScreenId id = screens.CreateVirtualScreen({"test", 64, 64, 0, nullptr, 0});
    EXPECT_EQ(screens.MakeMirror(0, {id}, group), DMError::DM_ERROR_INVALID_PARAM);
}

}  // namespace
}  // namespace mirrax::test
