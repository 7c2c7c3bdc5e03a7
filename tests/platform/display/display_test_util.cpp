#include "display_test_util.h"

#include <gtest/gtest.h>
#include <libyuv/convert_argb.h>

namespace mirrax::test {

using OHOS::Rosen::DMError;
using OHOS::Rosen::ScreenManager;

Mirror StartMirror(uint32_t width, uint32_t height, uint32_t interval, OHOS::PixelFormat format) {
    Mirror mirror;
    mirror.surface = OHOS::Surface::Create();
    mirror.surface->SetPreferredFormat(format);
    OHOS::Rosen::VirtualScreenOption option;
    option.name_ = "test";
    option.width_ = width;
    option.height_ = height;
    option.density_ = 0;
    option.flags_ = 0;
    ScreenManager &screens = ScreenManager::GetInstance();
    mirror.id = screens.CreateVirtualScreen(option);
    EXPECT_NE(mirror.id, OHOS::Rosen::SCREEN_ID_INVALID);
    EXPECT_EQ(screens.SetVirtualScreenSurface(mirror.id, mirror.surface), DMError::DM_OK);
    EXPECT_EQ(screens.SetVirtualScreenRefreshRate(mirror.id, interval), DMError::DM_OK);
    OHOS::Rosen::ScreenId group = 0;
    EXPECT_EQ(screens.MakeMirror(0, {mirror.id}, group), DMError::DM_OK);
    return mirror;
}

std::optional<Frame> NextFrame(OHOS::Surface &surface, std::chrono::milliseconds timeout,
                               Pixels pixels) {
    OHOS::Surface::AcquireResult result{};
    OHOS::SurfaceBuffer *buffer = surface.AcquireBuffer(timeout, &result);
    if (buffer == nullptr) {
        return std::nullopt;
    }
    Frame frame;
    frame.width = buffer->width;
    frame.height = buffer->height;
    frame.timestampNs = buffer->timestampNs;
    frame.sequence = buffer->sequence;
    const bool i420 = buffer->format == OHOS::PixelFormat::kI420;
    if (pixels == Pixels::kStampOnly) {
        frame.stamp = i420 ? stamp::ReadLuma(buffer->Plane(0), buffer->width, buffer->height,
                                             buffer->PlaneStride(0))
                           : stamp::ReadBgra(buffer->data.data(), buffer->width, buffer->height,
                                             buffer->stride);
        surface.ReleaseBuffer(buffer);
        return frame;
    }
    frame.bgra.resize(static_cast<size_t>(buffer->width) * buffer->height * 4);
    if (i420) {
        libyuv::I420ToARGB(buffer->Plane(0), buffer->PlaneStride(0), buffer->Plane(1),
                           buffer->PlaneStride(1), buffer->Plane(2), buffer->PlaneStride(2),
                           frame.bgra.data(), buffer->width * 4, buffer->width, buffer->height);
    }
    for (int y = 0; y < buffer->height && !i420; ++y) {
        std::copy_n(buffer->Row(y), static_cast<size_t>(buffer->width) * 4,
                    frame.bgra.data() + static_cast<size_t>(y) * buffer->width * 4);
    }
    surface.ReleaseBuffer(buffer);
    frame.stamp = stamp::ReadBgra(frame.bgra.data(), frame.width, frame.height, frame.width * 4);
    return frame;
}

}  // namespace mirrax::test
