// One mirrored virtual screen's worker thread: copies each new picture of the physical
// screen into the virtual screen's surface, scaled to the virtual size and in the
// surface's preferred format, no more often than the virtual screen's refresh
// interval allows.
#ifndef MIRRAX_PLATFORM_DISPLAY_MIRROR_WORKER_H
#define MIRRAX_PLATFORM_DISPLAY_MIRROR_WORKER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dm_common.h"
#include "screen_canvas.h"
#include "surface.h"

namespace mirrax::platform::display {

// The settings of a virtual screen that its mirror worker reads; shared between the
// display server (which changes them) and the worker.
class MirrorTarget {
public:
    struct Settings {
        OHOS::sptr<OHOS::Surface> surface;
        int width = 0;
        int height = 0;
        uint32_t interval = 1;  // of the 120 Hz clock
    };

    MirrorTarget(int width, int height) : width_(width), height_(height) {}

    void SetSurface(OHOS::sptr<OHOS::Surface> surface);
    void SetSize(int width, int height);
    void SetInterval(uint32_t interval);
    void SetCanvasRotation(bool rotation);
    void SetExemptWindows(std::vector<uint64_t> windowIds);

    Settings Snapshot() const;
    bool IsExempt(uint64_t windowId) const;
    bool CanvasRotation() const;
    int Width() const;
    int Height() const;

    // Waits until a surface is attached; false when `stop` is requested first.
    bool WaitForSurface(std::stop_token stop) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    OHOS::sptr<OHOS::Surface> surface_;
    int width_;
    int height_;
    uint32_t interval_ = 1;
    bool canvasRotation_ = false;
    std::vector<uint64_t> exempt_;
};

class MirrorWorker {
public:
    static constexpr int kClockHz = 120;

    // Starts the worker thread. `delivered` counts frames flushed to surfaces; it
    // must outlive the worker.
    MirrorWorker(OHOS::Rosen::ScreenId screenId, std::shared_ptr<const ScreenCanvas> canvas,
                 std::shared_ptr<const MirrorTarget> target, std::atomic<uint64_t> *delivered);
    ~MirrorWorker();  // Stop()
    MirrorWorker(const MirrorWorker &) = delete;
    MirrorWorker &operator=(const MirrorWorker &) = delete;

    // Signals the thread and joins it. Idempotent.
    void Stop();

private:
    void Run(std::stop_token stop);
    void Compose(const Picture &picture, OHOS::SurfaceBuffer &buffer);

    const OHOS::Rosen::ScreenId screenId_;
    const std::shared_ptr<const ScreenCanvas> canvas_;
    const std::shared_ptr<const MirrorTarget> target_;
    std::atomic<uint64_t> *const delivered_;
    std::vector<uint8_t> scaled_;  // worker thread only: a scaled picture before conversion
    std::mutex pacingMutex_;
    std::condition_variable_any pacing_;
    std::jthread thread_;
};

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_MIRROR_WORKER_H
