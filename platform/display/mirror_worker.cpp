#include "mirror_worker.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "libyuv/convert.h"
#include "libyuv/planar_functions.h"
#include "libyuv/scale_argb.h"

namespace mirrax::platform::display {

void MirrorTarget::SetSurface(OHOS::sptr<OHOS::Surface> surface) {
    {
        std::lock_guard lock(mutex_);
        surface_ = std::move(surface);
    }
    changed_.notify_all();
}

void MirrorTarget::SetSize(int width, int height) {
    std::lock_guard lock(mutex_);
    width_ = width;
    height_ = height;
}

void MirrorTarget::SetInterval(uint32_t interval) {
    std::lock_guard lock(mutex_);
    interval_ = interval;
}

void MirrorTarget::SetCanvasRotation(bool rotation) {
    std::lock_guard lock(mutex_);
    canvasRotation_ = rotation;
}

void MirrorTarget::SetExemptWindows(std::vector<uint64_t> windowIds) {
    std::lock_guard lock(mutex_);
    exempt_ = std::move(windowIds);
}

MirrorTarget::Settings MirrorTarget::Snapshot() const {
    std::lock_guard lock(mutex_);
    return Settings{surface_, width_, height_, interval_};
}

bool MirrorTarget::IsExempt(uint64_t windowId) const {
    std::lock_guard lock(mutex_);
    return std::find(exempt_.begin(), exempt_.end(), windowId) != exempt_.end();
}

bool MirrorTarget::CanvasRotation() const {
    std::lock_guard lock(mutex_);
    return canvasRotation_;
}

int MirrorTarget::Width() const {
    std::lock_guard lock(mutex_);
    return width_;
}

int MirrorTarget::Height() const {
    std::lock_guard lock(mutex_);
    return height_;
}

bool MirrorTarget::WaitForSurface(std::stop_token stop) const {
    std::unique_lock lock(mutex_);
    return changed_.wait(lock, stop, [this] { return surface_ != nullptr; });
}

MirrorWorker::MirrorWorker(OHOS::Rosen::ScreenId screenId,
                           std::shared_ptr<const ScreenCanvas> canvas,
                           std::shared_ptr<const MirrorTarget> target,
                           std::atomic<uint64_t> *delivered)
    : screenId_(screenId),
      canvas_(std::move(canvas)),
      target_(std::move(target)),
      delivered_(delivered),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

MirrorWorker::~MirrorWorker() { Stop(); }

void MirrorWorker::Stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void MirrorWorker::Run(std::stop_token stop) {
    const std::string name = "mirror-" + std::to_string(screenId_);
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());

    using Clock = std::chrono::steady_clock;
    const auto tick =
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / kClockHz;
    const Clock::time_point epoch = Clock::now();
    Clock::time_point nextAllowed = epoch;
    // Starts at 0, so the picture shown when mirroring starts is delivered at once;
    // afterwards only new pictures are.
    uint64_t seen = 0;

    while (!stop.stop_requested()) {
        if (!target_->WaitForSurface(stop) || !canvas_->WaitForFrameAfter(seen, stop)) {
            break;
        }
        {
            // Holds the frame back until the refresh interval allows it; the picture
            // read afterwards is the newest one.
            std::unique_lock lock(pacingMutex_);
            pacing_.wait_until(lock, stop, nextAllowed, [] { return false; });
        }
        if (stop.stop_requested()) {
            break;
        }
        // The frame's slot on the 120 Hz grid is when it was taken, not when composed.
        const Clock::time_point slot = Clock::now();
        const MirrorTarget::Settings settings = target_->Snapshot();
        OHOS::SurfaceBuffer *buffer = settings.surface->RequestBuffer(
            settings.width, settings.height, settings.surface->PreferredFormat());
        if (buffer == nullptr) {
            // Surface shut down or every buffer held by its consumer: skip this picture.
            seen = canvas_->Sequence();
            continue;
        }
        canvas_->Read([&](const Picture &picture) {
            Compose(picture, *buffer);
            seen = picture.sequence;
        });
        buffer->sequence = seen;
        settings.surface->FlushBuffer(buffer, MonotonicNs());
        delivered_->fetch_add(1, std::memory_order_relaxed);

        // Next slot on the 120 Hz grid, `interval` ticks after the one of this frame.
        const auto ticks = (slot - epoch) / tick;
        nextAllowed = epoch + (ticks + std::max<uint32_t>(settings.interval, 1)) * tick;
    }
}

void MirrorWorker::Compose(const Picture &picture, OHOS::SurfaceBuffer &buffer) {
    const int dw = buffer.width;
    const int dh = buffer.height;
    const bool sameSize = picture.width == dw && picture.height == dh;
    if (buffer.format == OHOS::PixelFormat::kI420) {
        // Converted once, from where the picture lies, into the consumer's format.
        const uint8_t *source = picture.pixels;
        int sourceStride = picture.stride;
        if (!sameSize) {
            scaled_.resize(static_cast<size_t>(dw) * static_cast<size_t>(dh) * 4);
            libyuv::ARGBScale(picture.pixels, picture.stride, picture.width, picture.height,
                              scaled_.data(), dw * 4, dw, dh, libyuv::kFilterBilinear);
            source = scaled_.data();
            sourceStride = dw * 4;
        }
        // libyuv's ARGB is B, G, R, A in memory: the picture's BGRA.
        libyuv::ARGBToI420(source, sourceStride, buffer.Plane(0), buffer.PlaneStride(0),
                           buffer.Plane(1), buffer.PlaneStride(1), buffer.Plane(2),
                           buffer.PlaneStride(2), dw, dh);
    } else if (sameSize) {
        libyuv::ARGBCopy(picture.pixels, picture.stride, buffer.data.data(), buffer.stride, dw, dh);
    } else {
        libyuv::ARGBScale(picture.pixels, picture.stride, picture.width, picture.height,
                          buffer.data.data(), buffer.stride, dw, dh, libyuv::kFilterBilinear);
    }
    for (const SecureWindow &window : picture.secureWindows) {
        if (target_->IsExempt(window.id)) {
            continue;
        }
        // The window's rectangle in virtual-screen pixels, rounded outwards.
        const int64_t sw = picture.width;
        const int64_t sh = picture.height;
        const int x0 = static_cast<int>(std::clamp<int64_t>(window.x * dw / sw, 0, dw));
        const int y0 = static_cast<int>(std::clamp<int64_t>(window.y * dh / sh, 0, dh));
        const int x1 = static_cast<int>(
            std::clamp<int64_t>(((window.x + window.width) * dw + sw - 1) / sw, 0, dw));
        const int y1 = static_cast<int>(
            std::clamp<int64_t>(((window.y + window.height) * dh + sh - 1) / sh, 0, dh));
        if (x1 <= x0 || y1 <= y0) {
            continue;
        }
        if (buffer.format == OHOS::PixelFormat::kI420) {
            // Black, with neutral chroma over every chroma sample the window touches.
            libyuv::I420Rect(buffer.Plane(0), buffer.PlaneStride(0), buffer.Plane(1),
                             buffer.PlaneStride(1), buffer.Plane(2), buffer.PlaneStride(2), x0, y0,
                             x1 - x0, y1 - y0, 16, 128, 128);
        } else {
            libyuv::ARGBRect(buffer.data.data(), buffer.stride, x0, y0, x1 - x0, y1 - y0,
                             0xFF000000u);
        }
    }
}

}  // namespace mirrax::platform::display
