// The display server with the synthetic source: mirroring content and pacing, still
// screens, secure windows, screen changes and listeners, teardown while frames flow,
// configuration and fault injection.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

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
    void TearDown() override {
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
    std::vector<Frame> frames;
    for (int i = 0; i < c.frames; ++i) {
        std::optional<Frame> frame =
            NextFrame(*mirror.surface, std::chrono::seconds(3), Pixels::kStampOnly);
        ASSERT_TRUE(frame.has_value()) << "frame " << i << " did not arrive";
        frames.push_back(std::move(*frame));
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame &f = frames[i];
        EXPECT_EQ(f.width, static_cast<int>(c.width));
        EXPECT_EQ(f.height, static_cast<int>(c.height));
        ASSERT_TRUE(f.stamp.has_value()) << "no readable stamp in frame " << i;
        EXPECT_EQ(f.stamp->sequence, static_cast<uint32_t>(f.sequence));
        if (i > 0) {
            EXPECT_GT(f.sequence, frames[i - 1].sequence);
            EXPECT_GT(f.timestampNs, frames[i - 1].timestampNs);
        }
    }
    // The mean spacing is the interval's period, or the source's 60 Hz period when that
    // is longer; generous upper bound for loaded machines and sanitizer builds. The stamps
    // are the source's drawing times, on its 60 Hz grid, so a late tick can pick a frame
    // one source period early: the lower bound allows that, and still fails a mirror
    // that ignores its interval (a quarter of it or less here).
    const double expectedMs = std::max(c.interval * 1000.0 / 120.0, 1000.0 / 60.0);
    const double meanMs =
        static_cast<double>(frames.back().timestampNs - frames.front().timestampNs) / 1e6 /
        static_cast<double>(frames.size() - 1);
    EXPECT_GE(meanMs, expectedMs * 0.75);
    EXPECT_LE(meanMs, expectedMs * 3.0);
}

INSTANTIATE_TEST_SUITE_P(Intervals, MirrorPacingTest,
                         ::testing::Values(PacingCase{"Scale3At60fps", 360, 780, 2, 30},
                                           PacingCase{"FullSizeAt30fps", 1080, 2340, 4, 15},
                                           PacingCase{"FullSizeI420At60fps", 1080, 2340, 2, 20,
                                                      OHOS::PixelFormat::kI420}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(DisplayServerTest, StillScreenDeliversOnlyThePictureShownWhenMirroringStarts) {
    ASSERT_TRUE(platform::SetSyntheticStill(true));
    const uint64_t sourceFrames = platform::GetDisplayStats().sourceFrames;
    Mirror mirror = StartMirror(360, 780, 1);
    std::optional<Frame> first = NextFrame(*mirror.surface);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->sequence, sourceFrames);
    EXPECT_FALSE(NextFrame(*mirror.surface, std::chrono::milliseconds(300)).has_value());
    EXPECT_EQ(platform::GetDisplayStats().sourceFrames, sourceFrames);

    ASSERT_TRUE(platform::SetSyntheticStill(false));
    std::optional<Frame> moving = NextFrame(*mirror.surface);
    ASSERT_TRUE(moving.has_value());
    EXPECT_GT(moving->sequence, first->sequence);
}

struct SecureCase {
    const char *name;
    std::vector<uint64_t> exempt;
    bool visible;
    OHOS::PixelFormat format = OHOS::PixelFormat::kBgra8888;
};

class SecureWindowTest : public DisplayServerTest,
                         public ::testing::WithParamInterface<SecureCase> {};

TEST_P(SecureWindowTest, IsBlankedUnlessItsIdIsExempted) {
    Mirror mirror = StartMirror(360, 780, 2, GetParam().format);
    std::vector<uint64_t> exempt = GetParam().exempt;
    if (!exempt.empty()) {
        ASSERT_EQ(DisplayManager::GetInstance().SetVirtualScreenSecurityExemption(mirror.id, 1234,
                                                                                  exempt),
                  DMError::DM_OK);
    }
    // Skips frames composed before the exemption took effect.
    std::optional<Frame> frame;
    for (int i = 0; i < 3; ++i) {
        frame = NextFrame(*mirror.surface);
        ASSERT_TRUE(frame.has_value());
    }
    // Centre of the secure window (55%..67.5% of the height, 1/8..7/8 of the width).
    const uint8_t *secure = frame->Pixel(frame->width / 2, frame->height * 61 / 100);
    const int secureSum = secure[0] + secure[1] + secure[2];
    if (GetParam().visible) {
        EXPECT_GT(secure[2], 150) << "red of the secure window";
    } else {
        EXPECT_EQ(secureSum, 0) << "secure window not blanked";
    }
    // The background beside the window is never blanked.
    const uint8_t *beside = frame->Pixel(frame->width / 16, frame->height * 61 / 100);
    EXPECT_GT(beside[0] + beside[1] + beside[2], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Exemptions, SecureWindowTest,
    ::testing::Values(
        SecureCase{"NoExemption", {}, false}, SecureCase{"OtherWindowExempted", {7}, false},
        SecureCase{"Exempted", {7, platform::kSyntheticSecureWindowId}, true},
        // A surface that takes I420: blanked in luma and chroma alike.
        SecureCase{"NoExemptionI420", {}, false, OHOS::PixelFormat::kI420},
        SecureCase{
            "ExemptedI420", {platform::kSyntheticSecureWindowId}, true, OHOS::PixelFormat::kI420}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DisplayServerTest, RotationAndResizeNotifyEveryListenerOnTheNotificationThread) {
    auto first = sptr<RecordingListener>::MakeSptr();
    auto second = sptr<RecordingListener>::MakeSptr();
    ScreenManager &screens = ScreenManager::GetInstance();
    ASSERT_EQ(screens.RegisterScreenListener(first), DMError::DM_OK);
    ASSERT_EQ(screens.RegisterScreenListener(second), DMError::DM_OK);
    EXPECT_EQ(screens.RegisterScreenListener(first), DMError::DM_ERROR_INVALID_PARAM);

    sptr<OHOS::Rosen::Display> before = DisplayManager::GetInstance().GetDisplayByScreen(0);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before->GetWidth(), 1080);
    EXPECT_EQ(before->GetHeight(), 2340);
    EXPECT_EQ(before->GetDpi(), 480);
    EXPECT_EQ(before->GetRefreshRate(), 60u);

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

    for (const auto *listener : {first.GetRefPtr(), second.GetRefPtr()}) {
        EXPECT_EQ(listener->Changes(), (std::vector<ScreenId>{0, 0}));
        for (const std::string &name : listener->ThreadNames()) {
            EXPECT_EQ(name, "screen-notify");
        }
    }
    // Unregistered listeners hear nothing more.
    ASSERT_EQ(screens.UnregisterScreenListener(second), DMError::DM_OK);
    ASSERT_TRUE(platform::RotateSynthetic());
    ASSERT_TRUE(first->WaitForChanges(3));
    EXPECT_EQ(second->Changes().size(), 2u);
}

// A listener that restarts mirroring from OnChange under its own mutex, as the
// capture library does: it must not deadlock and the new mirror shows the new size.
class RestartingListener : public RecordingListener {
public:
    void OnChange(ScreenId id) override {
        {
            std::lock_guard lock(mutex_);
            ScreenManager &screens = ScreenManager::GetInstance();
            screens.StopMirror({mirror_.id});
            screens.DestroyVirtualScreen(mirror_.id);
            sptr<OHOS::Rosen::Display> display =
                DisplayManager::GetInstance().GetDisplayByScreen(0);
            mirror_ = StartMirror(static_cast<uint32_t>(display->GetWidth() / 3),
                                  static_cast<uint32_t>(display->GetHeight() / 3), 2);
        }
        RecordingListener::OnChange(id);
    }
    Mirror Current() {
        std::lock_guard lock(mutex_);
        return mirror_;
    }
    void Set(Mirror mirror) {
        std::lock_guard lock(mutex_);
        mirror_ = std::move(mirror);
    }

private:
    std::mutex mutex_;
    Mirror mirror_;
};

TEST_F(DisplayServerTest, ListenerCanRestartMirroringFromOnChange) {
    auto listener = sptr<RestartingListener>::MakeSptr();
    listener->Set(StartMirror(360, 780, 2));
    ASSERT_TRUE(NextFrame(*listener->Current().surface).has_value());
    ASSERT_EQ(ScreenManager::GetInstance().RegisterScreenListener(listener), DMError::DM_OK);

    ASSERT_TRUE(platform::RotateSynthetic());
    ASSERT_TRUE(listener->WaitForChanges(1));
    Mirror restarted = listener->Current();
    std::optional<Frame> frame = NextFrame(*restarted.surface);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 780);
    EXPECT_EQ(frame->height, 360);
    ASSERT_TRUE(frame->stamp.has_value());
    EXPECT_EQ(platform::GetDisplayStats().mirrorWorkers, 1);
}

TEST_F(DisplayServerTest, DestroyWhileFramesFlowAndConsumerWaitsDoesNotHang) {
    for (int round = 0; round < 2; ++round) {
        Mirror mirror = StartMirror(1080, 2340, 1);
        std::promise<int> consumed;
        std::future<int> done = consumed.get_future();
        std::thread consumer([surface = mirror.surface, &consumed] {
            int frames = 0;
            for (int i = 0; i < 1000; ++i) {
                OHOS::Surface::AcquireResult result{};
                OHOS::SurfaceBuffer *buffer =
                    surface->AcquireBuffer(std::chrono::seconds(5), &result);
                if (result == OHOS::Surface::AcquireResult::kShutdown) {
                    break;
                }
                if (buffer != nullptr) {
                    ++frames;
                    surface->ReleaseBuffer(buffer);
                }
            }
            consumed.set_value(frames);
        });
        ASSERT_TRUE(NextFrame(*mirror.surface).has_value());
        const DMError destroyed = round % 2 == 0
                                      ? ScreenManager::GetInstance().DestroyVirtualScreen(mirror.id)
                                      : ScreenManager::GetInstance().StopMirror({mirror.id});
        EXPECT_EQ(destroyed, DMError::DM_OK);
        EXPECT_EQ(platform::GetDisplayStats().mirrorWorkers, 0);
        const uint64_t queued = mirror.surface->QueuedFrames();
        mirror.surface->Shutdown();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        consumer.join();
        EXPECT_EQ(mirror.surface->QueuedFrames(), queued) << "frame after the worker stopped";
    }
}

TEST_F(DisplayServerTest, VirtualScreensHaveNoDisplayAndRejectBadArguments) {
    Mirror mirror = StartMirror(360, 780, 2);
    ScreenManager &screens = ScreenManager::GetInstance();
    EXPECT_EQ(DisplayManager::GetInstance().GetDisplayByScreen(mirror.id), nullptr);
    sptr<OHOS::Rosen::Screen> screen = screens.GetScreenById(mirror.id);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->GetWidth(), 360u);
    EXPECT_FALSE(screen->IsReal());
    EXPECT_TRUE(screens.GetScreenById(0)->IsReal());
    EXPECT_EQ(screens.GetScreenById(999999), nullptr);

    OHOS::Rosen::VirtualScreenOption empty{};
    EXPECT_EQ(screens.CreateVirtualScreen(empty), OHOS::Rosen::SCREEN_ID_INVALID);
    EXPECT_EQ(screens.SetVirtualScreenRefreshRate(mirror.id, 0), DMError::DM_ERROR_INVALID_PARAM);
    EXPECT_EQ(screens.SetVirtualScreenSurface(mirror.id, nullptr), DMError::DM_ERROR_NULLPTR);
    EXPECT_EQ(screens.SetVirtualScreenSurface(999999, OHOS::Surface::Create()),
              DMError::DM_ERROR_INVALID_PARAM);
    EXPECT_EQ(screens.SetVirtualMirrorScreenCanvasRotation(mirror.id, true), DMError::DM_OK);
    ScreenId group = 0;
    EXPECT_EQ(screens.MakeMirror(mirror.id, {0}, group), DMError::DM_ERROR_INVALID_PARAM);
    EXPECT_EQ(screens.DestroyVirtualScreen(999999), DMError::DM_ERROR_INVALID_PARAM);
    EXPECT_EQ(screens.DestroyVirtualScreen(mirror.id), DMError::DM_OK);
    EXPECT_EQ(screens.DestroyVirtualScreen(mirror.id), DMError::DM_ERROR_INVALID_PARAM);
}

struct ConfigCase {
    const char *name;
    const char *spec;
    bool ok;
    int width;
    int height;
    uint32_t fps;
};

class DisplayConfigTest : public DisplayServerTest,
                          public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(DisplayConfigTest, ConfiguresOrExplains) {
    const ConfigCase &c = GetParam();
    std::string error;
    EXPECT_EQ(platform::ConfigureDisplay(c.spec, &error), c.ok) << error;
    if (!c.ok) {
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
        // A bad spec keeps the screen it had.
        EXPECT_EQ(DisplayManager::GetInstance().GetDefaultDisplayId(), 0u);
        return;
    }
    sptr<OHOS::Rosen::Display> display = DisplayManager::GetInstance().GetDisplayByScreen(0);
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->GetWidth(), c.width);
    EXPECT_EQ(display->GetHeight(), c.height);
    EXPECT_EQ(display->GetRefreshRate(), c.fps);
}

INSTANTIATE_TEST_SUITE_P(
    Specs, DisplayConfigTest,
    ::testing::Values(ConfigCase{"Default", "synthetic", true, 1080, 2340, 60},
                      ConfigCase{"SizeAndRate", "synthetic:720x1280@30", true, 720, 1280, 30},
                      ConfigCase{"MissingHeight", "synthetic:640x", false, 0, 0, 0},
                      ConfigCase{"ZeroRate", "synthetic:640x480@0", false, 0, 0, 0},
                      ConfigCase{"UnknownKind", "wayland", false, 0, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DisplayServerTest, UnreachableXDisplayLeavesNoDefaultDisplay) {
    std::string error;
    // Display numbers this high are never served by a test machine.
    EXPECT_FALSE(platform::ConfigureDisplay("x11::987", &error));
    EXPECT_NE(error.find(":987"), std::string::npos) << error;
    EXPECT_EQ(DisplayManager::GetInstance().GetDefaultDisplayId(), OHOS::Rosen::SCREEN_ID_INVALID);
    EXPECT_EQ(ScreenManager::GetInstance().GetScreenById(0), nullptr);
    EXPECT_EQ(DisplayManager::GetInstance().GetDisplayByScreen(0), nullptr);
    OHOS::Rosen::VirtualScreenOption option{};
    option.width_ = 64;
    option.height_ = 64;
    const ScreenId id = ScreenManager::GetInstance().CreateVirtualScreen(option);
    ScreenId group = 0;
    EXPECT_EQ(ScreenManager::GetInstance().MakeMirror(0, {id}, group),
              DMError::DM_ERROR_INVALID_PARAM);
}

// Each injected code is returned once, then the call works again. The calls of the
// start path are covered where the host starts a stream; these are the others.
TEST_F(DisplayServerTest, InjectedCodeIsReturnedOnceThenTheCallWorks) {
    ScreenManager &screens = ScreenManager::GetInstance();
    OHOS::Rosen::VirtualScreenOption option{};
    option.width_ = 64;
    option.height_ = 64;
    const ScreenId id = screens.CreateVirtualScreen(option);
    const struct {
        const char *name;
        int64_t code;
        std::function<int64_t()> call;
    } calls[] = {
        {"ScreenManager::StopMirror", 101,
         [&] { return static_cast<int64_t>(screens.StopMirror({id})); }},
        {"ScreenManager::RegisterScreenListener", 101,
         [&] {
             return static_cast<int64_t>(
                 screens.RegisterScreenListener(sptr<RecordingListener>::MakeSptr()));
         }},
        {"ScreenManager::CreateVirtualScreen", -1,
         [&] {
             return screens.CreateVirtualScreen(option) == OHOS::Rosen::SCREEN_ID_INVALID ? -1 : 0;
         }},
    };
    for (const auto &[name, code, call] : calls) {
        platform::InjectFault(name, code);
        EXPECT_EQ(call(), code) << name;
        EXPECT_EQ(call(), 0) << name;
    }
}

}  // namespace
}  // namespace mirrax::test
