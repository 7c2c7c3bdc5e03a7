#include "screen_canvas.h"

#include <time.h>

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
    if (picture.pixels.size() != bytes) {
        picture.pixels.assign(bytes, 0);
    }
    picture.width = width;
    picture.height = height;
    picture.stride = stride;
}

}  // namespace mirrax::platform::display
