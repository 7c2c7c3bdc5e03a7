// Configuration of the display server: which source feeds the physical screen, and
// controls of the synthetic source. Host programs and tests call this; the library
// never does.
#ifndef MIRRAX_PLATFORM_DISPLAY_CONFIG_H
#define MIRRAX_PLATFORM_DISPLAY_CONFIG_H

#include <cstdint>
#include <string>
#include <string_view>

namespace mirrax::platform {

// Window id of the synthetic screen's one secure window. It is blanked (black) on
// virtual screens unless exempted with SetVirtualScreenSecurityExemption.
constexpr uint64_t kSyntheticSecureWindowId = 4242;

constexpr int kSyntheticDefaultWidth = 1080;
constexpr int kSyntheticDefaultHeight = 2340;
constexpr int kSyntheticDefaultFps = 60;
constexpr int kSyntheticDpi = 480;

// Chooses the source of the physical screen (id 0) and starts it:
//   "synthetic", "synthetic:WxH", "synthetic:WxH@FPS"  the animated synthetic screen
//   "x11", "x11:NAME" (e.g. "x11::99")                 an X display read with MIT-SHM
// Existing virtual screens and mirrors stay; they see the new source's frames, and
// listeners get OnChange(0) when the screen's size changes. Returns false with a
// one-line reason in `error` for a bad spec, an unavailable source or an X display
// that cannot be opened; the server then has no physical screen and no default
// display until a later call succeeds.
bool ConfigureDisplay(std::string_view spec, std::string *error);

// Returns the server to its initial state for the next test: destroys every virtual
// screen (stopping its mirror), drops every listener, waits for pending notifications
// and starts the default synthetic source with default settings.
void ResetDisplayServer();

// Synthetic source controls; they return false when the current source is not the
// synthetic one. A still screen produces no new frames at all. Rotation swaps width
// and height; rotation and resizing are screen changes (OnChange(0) on listeners) and
// are in effect (display size, pictures) when the call returns.
bool SetSyntheticStill(bool still);
bool RotateSynthetic();
bool ResizeSynthetic(int width, int height);

// Counters for tests and benchmarks.
struct DisplayStats {
    uint64_t sourceFrames = 0;    // frames the physical screen has shown so far
    double sourceDrawCpuUs = 0;   // mean thread CPU per synthetic frame, microseconds
    uint64_t notifications = 0;   // listener notifications delivered (per screen event)
    uint64_t mirroredFrames = 0;  // frames the mirror workers delivered to surfaces
    int mirrorWorkers = 0;        // mirror worker threads now running
};
DisplayStats GetDisplayStats();

}  // namespace mirrax::platform

#endif  // MIRRAX_PLATFORM_DISPLAY_CONFIG_H
