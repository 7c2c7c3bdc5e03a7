// The synthetic phone screen: animated content drawn on its own thread at a fixed
// frame rate. Only what changes is redrawn each frame (the frame stamp, the moving
// boxes, the clock); the whole screen is drawn only after a size change.
#ifndef MIRRAX_PLATFORM_DISPLAY_SYNTHETIC_SOURCE_H
#define MIRRAX_PLATFORM_DISPLAY_SYNTHETIC_SOURCE_H

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "display_source.h"
#include "mirrax_platform/display_config.h"
#include "screen_canvas.h"

namespace mirrax::platform::display {

struct SyntheticOptions {
    int width = kSyntheticDefaultWidth;
    int height = kSyntheticDefaultHeight;
    int fps = kSyntheticDefaultFps;
    int dpi = kSyntheticDpi;
};

class SyntheticSource final : public DisplaySource {
public:
    // Draws the first frame before returning, then starts the drawing thread.
    static std::unique_ptr<SyntheticSource> Create(const SyntheticOptions &options,
                                                   std::shared_ptr<ScreenCanvas> canvas,
                                                   SourceObserver *observer);
    ~SyntheticSource() override;

    std::string_view Kind() const override { return "synthetic"; }
    SourceGeometry Geometry() const override;
    double CpuUsPerFrame() const override;

    // A still screen draws nothing until it is set moving again.
    void SetStill(bool still);
    // Swaps width and height (rotation 0 <-> 90). In effect when it returns.
    void Rotate();
    bool Resize(int width, int height);

private:
    struct Box {
        int x = 0, y = 0, size = 0, dx = 0, dy = 0;
        uint32_t color = 0;
    };

    SyntheticSource(const SyntheticOptions &options, std::shared_ptr<ScreenCanvas> canvas,
                    SourceObserver *observer);
    void Run(std::stop_token stop);
    // Applies a new size: full redraw, new frame, observer told. Takes drawMutex_.
    void ApplyGeometry(int width, int height, OHOS::Rosen::Rotation rotation);
    void LayOut(int width, int height);
    void DrawFull(Picture &picture, uint64_t sequence);
    void DrawChanges(Picture &picture, uint64_t sequence);
    void DrawClock(Picture &picture);
    void FillBackground(Picture &picture, int x, int y, int w, int h) const;

    const std::shared_ptr<ScreenCanvas> canvas_;
    SourceObserver *const observer_;

    // Animation state and geometry; only touched with drawMutex_ held.
    mutable std::mutex drawMutex_;
    SourceGeometry geometry_;
    std::array<Box, 3> boxes_{};
    int boxTop_ = 0, boxBottom_ = 0;
    SecureWindow secure_;
    int clockX_ = 0, clockY_ = 0, clockDigitW_ = 0, clockDigitH_ = 0;
    int fps_ = kSyntheticDefaultFps;
    bool stillDrawing_ = false;
    double cpuNs_ = 0;
    uint64_t cpuFrames_ = 0;

    // Thread control.
    std::mutex controlMutex_;
    std::condition_variable_any wake_;
    bool still_ = false;
    std::jthread thread_;
};

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_SYNTHETIC_SOURCE_H
