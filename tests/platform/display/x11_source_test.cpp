// The x11 source against an Xvfb server the test starts itself.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <xcb/xcb.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "display_manager.h"
#include "display_test_util.h"
#include "mirrax_platform/display_config.h"
#include "screen_manager.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace mirrax::test {
namespace {

struct ConnectionDeleter {
    void operator()(xcb_connection_t *c) const { xcb_disconnect(c); }
};

// Caps the address space of process `pid` at what it maps now plus `headroom` bytes
// (RLIM_INFINITY lifts the cap); false when it cannot be set.
bool LimitAddressSpace(pid_t pid, rlim_t headroom) {
    rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; headroom != RLIM_INFINITY && std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            limit.rlim_cur = std::stoull(line.substr(7)) * 1024 + headroom;
        }
    }
    return (headroom == RLIM_INFINITY || limit.rlim_cur != RLIM_INFINITY) &&
           prlimit(pid, RLIMIT_AS, &limit, nullptr) == 0;
}

// Fills a rectangle of the root window; returns once the server has drawn it.
void FillRoot(const std::string &display, int x, int y, int w, int h, uint32_t rgb) {
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> c(xcb_connect(display.c_str(), nullptr));
    ASSERT_EQ(xcb_connection_has_error(c.get()), 0);
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c.get())).data;
    const xcb_gcontext_t gc = xcb_generate_id(c.get());
    const uint32_t values[] = {rgb};
    xcb_create_gc(c.get(), gc, screen->root, XCB_GC_FOREGROUND, values);
    const xcb_rectangle_t rect{static_cast<int16_t>(x), static_cast<int16_t>(y),
                               static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
    xcb_poly_fill_rectangle(c.get(), screen->root, gc, 1, &rect);
    xcb_free_gc(c.get(), gc);
    free(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
}

// Gives the X screen a new size through RandR (Xvfb can only shrink below the size
// it started with, and only once its output is off). False when the server refuses.
bool ResizeRoot(const std::string &display, int width, int height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    return Run({"/usr/bin/xrandr", "-d", display, "--fb", size}).status == 0 ||
           Run({"/usr/bin/xrandr", "-d", display, "--output", "screen", "--off", "--fb", size})
                   .status == 0;
}

bool WaitForColour(OHOS::Surface &surface, int x, int y, uint32_t rgb) {
    for (int i = 0; i < 30; ++i) {
        std::optional<Frame> frame = NextFrame(surface, std::chrono::seconds(2));
        if (!frame) {
            return false;
        }
        const uint8_t *p = frame->Pixel(x, y);
        if (p[2] == ((rgb >> 16) & 0xFF) && p[1] == ((rgb >> 8) & 0xFF) && p[0] == (rgb & 0xFF)) {
            return true;
        }
    }
    return false;
}

// On an Xvfb server: what is drawn on the X screen arrives in a mirrored surface, an
// unchanged screen produces no frames, and a RandR size change is a screen change. When
// the X server cannot map the new shared-memory segment, the source reports that once,
// keeps the last picture and geometry, and attaches again until the server can.
TEST(X11SourceTest, ContentStillScreenAndRandrChangeWithARefusedSegmentRetried) {
    if (!std::filesystem::exists("/usr/bin/Xvfb")) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    ChildProcess xvfb({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24",
                       "-nolisten", "tcp", "-noreset"});
    ASSERT_TRUE(xvfb.WaitForLine(ChildProcess::Stream::kStdout, "")) << "no X display";
    const std::string display = ":" + xvfb.Lines(ChildProcess::Stream::kStdout).at(0);
    // The display server lets go of the X server before the server is stopped.
    struct Reset {
        ~Reset() { platform::ResetDisplayServer(); }
    } reset;
    LogCapture log;
    auto listener = OHOS::sptr<RecordingListener>::MakeSptr();
    ASSERT_EQ(OHOS::Rosen::ScreenManager::GetInstance().RegisterScreenListener(listener),
              OHOS::Rosen::DMError::DM_OK);
    FillRoot(display, 100, 100, 200, 150, 0x00FF00);
    std::string error;
    ASSERT_TRUE(platform::ConfigureDisplay("x11:" + display, &error)) << error;
    auto screen0 = [] { return OHOS::Rosen::DisplayManager::GetInstance().GetDisplayByScreen(0); };
    EXPECT_EQ(screen0()->GetWidth(), 640);
    Mirror mirror = StartMirror(640, 480, 1);
    EXPECT_TRUE(WaitForColour(*mirror.surface, 200, 175, 0x00FF00));
    EXPECT_FALSE(NextFrame(*mirror.surface, std::chrono::milliseconds(300)).has_value());
    FillRoot(display, 400, 300, 100, 100, 0xFF0000);
    EXPECT_TRUE(WaitForColour(*mirror.surface, 450, 350, 0xFF0000));

    if (!ResizeRoot(display, 320, 240)) {
        GTEST_SKIP() << "this Xvfb cannot change its screen size through RandR";
    }
    ASSERT_TRUE(log.WaitFor("screen 0 changed to 320x240"));
    // Every change (the new source's size, then the resize) reaches the listener.
    ASSERT_TRUE(listener->WaitForChanges(log.Count("screen 0 changed to ")));
    EXPECT_EQ(listener->Changes().back(), "0 screen-notify");

    // Back to 640x480: the new segment takes 1200 KiB, the old one 300 KiB, and the
    // server may map only 256 KiB beyond what it maps now.
    ASSERT_TRUE(LimitAddressSpace(xvfb.Pid(), 256 * 1024));
    ASSERT_TRUE(ResizeRoot(display, 640, 480));
    const std::string refused = "the X server refused the shared-memory segment";
    ASSERT_TRUE(log.WaitFor(refused));
    // The screen keeps its last size until the source can read the new screen.
    EXPECT_EQ(log.Count("screen 0 changed to 640x480"), 1u);
    EXPECT_EQ(screen0()->GetWidth(), 320);

    ASSERT_TRUE(LimitAddressSpace(xvfb.Pid(), RLIM_INFINITY));
    ASSERT_TRUE(log.WaitFor("screen 0 changed to 640x480", 2));
    EXPECT_EQ(screen0()->GetWidth(), 640);
    EXPECT_EQ(screen0()->GetHeight(), 480);
    EXPECT_EQ(log.Count(refused, LOG_ERROR), 1u) << ::testing::PrintToString(log.Texts());
    EXPECT_EQ(log.Count("X display '" + display + "' readable again", LOG_INFO), 1u);

    // The capture goes on at the new size, to its last row and column.
    FillRoot(display, 500, 400, 140, 80, 0xFFFF00);
    EXPECT_TRUE(WaitForColour(*mirror.surface, 639, 479, 0xFFFF00));
}

}  // namespace
}  // namespace mirrax::test
