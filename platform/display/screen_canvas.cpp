#include "screen_canvas.h"

#include <time.h>

#include <cstring>

namespace mirrax::platform::display {

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t ScreenCanvas::Sequence() const {
    std::lock_guard lock(sequenceMutex_);
    return sequence_;
}

bool ScreenCanvas::WaitForFrameAfter(uint64_t seen, std::stop_token stop) const {
    std::unique_lock lock(sequenceMutex_);
    return published_.wait(lock, stop, [&] { return sequence_ > seen; });
}

void ScreenCanvas::Publish(uint64_t sequence) {
    {
        std::lock_guard lock(sequenceMutex_);
        sequence_ = sequence;
    }
    published_.notify_all();
}

void ResizePicture(Picture &picture, int width, int height) {
    const int stride = width * 4;
    const size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(height);
    if (picture.ownedBytes != bytes) {
        auto storage = std::make_shared<uint8_t[]>(bytes);  // zeroed
        if (picture.pixels != nullptr && picture.width == width && picture.height == height &&
            picture.stride == stride) {
            std::memcpy(storage.get(), picture.pixels, bytes);
        }
        picture.pixels = storage.get();
        picture.storage = std::move(storage);
        picture.ownedBytes = bytes;
    }
    picture.width = width;
    picture.height = height;
    picture.stride = stride;
}

void AdoptPixels(Picture &picture, int width, int height, uint8_t *pixels,
                 std::shared_ptr<void> storage) {
    picture.pixels = pixels;
    picture.storage = std::move(storage);
    picture.ownedBytes = 0;
    picture.width = width;
    picture.height = height;
    picture.stride = width * 4;
}

}  // namespace mirrax::platform::display
