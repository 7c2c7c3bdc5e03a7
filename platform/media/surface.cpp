#include "surface.h"

#include <algorithm>

namespace OHOS {

sptr<Surface> Surface::Create(size_t bufferCount) {
    return sptr<Surface>(new Surface(std::max<size_t>(bufferCount, 2)));
}

Surface::Surface(size_t bufferCount) {
    buffers_.reserve(bufferCount);
    for (size_t i = 0; i < bufferCount; ++i) {
        buffers_.push_back(std::make_unique<SurfaceBuffer>());
        free_.push_back(buffers_.back().get());
    }
}

Surface::~Surface() = default;

SurfaceBuffer *Surface::RequestBuffer(int32_t width, int32_t height, PixelFormat format) {
    if (width <= 0 || height <= 0) {
        return nullptr;
    }
    SurfaceBuffer *buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) {
            return nullptr;
        }
        if (!free_.empty()) {
            buffer = free_.back();
            free_.pop_back();
        } else if (!pending_.empty()) {
            buffer = pending_.front();
            pending_.pop_front();
            ++dropped_;
        } else {
            ++dropped_;
            return nullptr;
        }
    }
    // The buffer is the producer's alone now; sizing it needs no lock.
    const int32_t stride = format == PixelFormat::kI420 ? width : width * 4;
    size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(height);
    if (format == PixelFormat::kI420) {
        bytes += 2 * static_cast<size_t>((width + 1) / 2) * static_cast<size_t>((height + 1) / 2);
    }
    if (buffer->data.size() != bytes) {
        buffer->data.assign(bytes, 0);
    }
    buffer->width = width;
    buffer->height = height;
    buffer->stride = stride;
    buffer->format = format;
    return buffer;
}

void Surface::FlushBuffer(SurfaceBuffer *buffer, int64_t timestampNs) {
    if (buffer == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer->timestampNs = timestampNs;
        if (shutdown_) {
            free_.push_back(buffer);
            return;
        }
        // A newer picture makes an unread one stale: the consumer always gets the
        // newest content, never a backlog (for example of pictures drawn while it
        // was still starting, or while it encoded a large key frame).
        while (!pending_.empty()) {
            free_.push_back(pending_.front());
            pending_.pop_front();
            ++dropped_;
        }
        pending_.push_back(buffer);
        ++flushed_;
    }
    queued_.notify_one();
}

void Surface::CancelBuffer(SurfaceBuffer *buffer) {
    if (buffer == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(buffer);
}

SurfaceBuffer *Surface::AcquireBuffer(std::chrono::nanoseconds timeout, AcquireResult *result) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ready =
        queued_.wait_for(lock, timeout, [this] { return shutdown_ || wake_ || !pending_.empty(); });
    AcquireResult outcome = AcquireResult::kOk;
    SurfaceBuffer *buffer = nullptr;
    if (shutdown_) {
        outcome = AcquireResult::kShutdown;
    } else if (!pending_.empty()) {
        buffer = pending_.front();
        pending_.pop_front();
    } else {
        outcome = ready ? AcquireResult::kWoken : AcquireResult::kTimeout;
    }
    wake_ = false;
    if (result != nullptr) {
        *result = outcome;
    }
    return buffer;
}

void Surface::ReleaseBuffer(SurfaceBuffer *buffer) {
    if (buffer == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(buffer);
}

void Surface::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
        for (SurfaceBuffer *buffer : pending_) {
            free_.push_back(buffer);
        }
        pending_.clear();
    }
    queued_.notify_all();
}

void Surface::SetPreferredFormat(PixelFormat format) {
    std::lock_guard<std::mutex> lock(mutex_);
    preferred_ = format;
}

PixelFormat Surface::PreferredFormat() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return preferred_;
}

void Surface::WakeConsumer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_ = true;
    }
    queued_.notify_all();
}

void Surface::Reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = false;
}

bool Surface::IsShutdown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdown_;
}

uint64_t Surface::DroppedFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

uint64_t Surface::QueuedFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flushed_;
}

}  // namespace OHOS
