// Helpers of the display tests: virtual screens with their own surfaces, frame
// collection and a recording screen listener.
#ifndef MIRRAX_TESTS_PLATFORM_DISPLAY_DISPLAY_TEST_UTIL_H
#define MIRRAX_TESTS_PLATFORM_DISPLAY_DISPLAY_TEST_UTIL_H

#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mirrax_platform/frame_stamp.h"
#include "screen_manager.h"
#include "surface.h"

namespace mirrax::test {

struct Mirror {
    OHOS::Rosen::ScreenId id = OHOS::Rosen::SCREEN_ID_INVALID;
    OHOS::sptr<OHOS::Surface> surface;
};

// A virtual screen of the given size and refresh interval, on a fresh surface that
// prefers `format`, mirroring screen 0.
inline Mirror StartMirror(uint32_t width, uint32_t height, uint32_t interval,
                          OHOS::PixelFormat format = OHOS::PixelFormat::kBgra8888) {
    using OHOS::Rosen::DMError;
    Mirror mirror{.surface = OHOS::Surface::Create()};
    mirror.surface->SetPreferredFormat(format);
    OHOS::Rosen::ScreenManager &screens = OHOS::Rosen::ScreenManager::GetInstance();
    mirror.id = screens.CreateVirtualScreen({"test", width, height, 0, nullptr, 0});
    EXPECT_NE(mirror.id, OHOS::Rosen::SCREEN_ID_INVALID);
    EXPECT_EQ(screens.SetVirtualScreenSurface(mirror.id, mirror.surface), DMError::DM_OK);
    EXPECT_EQ(screens.SetVirtualScreenRefreshRate(mirror.id, interval), DMError::DM_OK);
    OHOS::Rosen::ScreenId group = 0;
    EXPECT_EQ(screens.MakeMirror(0, {mirror.id}, group), DMError::DM_OK);
    return mirror;
}

// One acquired frame, copied out of the surface (I420 converted back to BGRA).
struct Frame {
    int width = 0;
    int height = 0;
    int64_t timestampNs = 0;
    uint64_t sequence = 0;
    std::vector<uint8_t> bgra;
    std::optional<stamp::Stamp> stamp;
    const uint8_t *Pixel(int x, int y) const {
        return bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
    }
};

// Waits up to `timeout` for the next frame of `surface`. Without `copy` only the header
// and stamp are read: at full size a copy is 10 MB a frame, which under ThreadSanitizer
// takes longer than a frame interval.
inline std::optional<Frame> NextFrame(OHOS::Surface &surface,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(3),
                                      bool copy = true) {
    OHOS::Surface::AcquireResult result{};
    OHOS::SurfaceBuffer *buffer = surface.AcquireBuffer(timeout, &result);
    if (buffer == nullptr) {
        return std::nullopt;
    }
    const int w = buffer->width;
    const int h = buffer->height;
    Frame frame{w, h, buffer->timestampNs, buffer->sequence, {}, {}};
    const bool i420 = buffer->format == OHOS::PixelFormat::kI420;
    frame.stamp = i420 ? stamp::ReadLuma(buffer->Plane(0), w, h, buffer->PlaneStride(0))
                       : stamp::ReadBgra(buffer->data.data(), w, h, buffer->stride);
    if (copy) {
        frame.bgra.resize(static_cast<size_t>(w) * h * 4);
        if (i420) {
            libyuv::I420ToARGB(buffer->Plane(0), buffer->PlaneStride(0), buffer->Plane(1),
                               buffer->PlaneStride(1), buffer->Plane(2), buffer->PlaneStride(2),
                               frame.bgra.data(), w * 4, w, h);
        } else {
            libyuv::ARGBCopy(buffer->data.data(), buffer->stride, frame.bgra.data(), w * 4, w, h);
        }
    }
    surface.ReleaseBuffer(buffer);
    return frame;
}

// Records each OnChange as "SCREEN THREAD-NAME".
class RecordingListener : public OHOS::Rosen::ScreenManager::IScreenListener {
public:
    void OnConnect(OHOS::Rosen::ScreenId) override {}
    void OnDisconnect(OHOS::Rosen::ScreenId) override {}
    void OnChange(OHOS::Rosen::ScreenId id) override {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::lock_guard lock(mutex_);
        changes_.push_back(std::to_string(id) + " " + name);
        changed_.notify_all();
    }
    bool WaitForChanges(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return changes_.size() >= count; });
    }
    std::vector<std::string> Changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> changes_;
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_PLATFORM_DISPLAY_DISPLAY_TEST_UTIL_H
