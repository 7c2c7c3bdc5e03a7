// OHOS::Surface on Linux: a small bounded queue of reusable BGRA frame buffers between
// one producer (a virtual screen's mirror worker) and one consumer (a video encoder).
//
// Queue policy: latest wins. At most one flushed picture waits for the consumer; a
// newer flush replaces it (a screen shows its newest content, and a picture that
// waited is stale). The producer never blocks: with one buffer being drawn, one
// waiting and one held by the consumer, a free buffer is always there for a surface
// of three. Buffers are allocated once per size; steady state allocates nothing.
#ifndef OHOS_SURFACE_H
#define OHOS_SURFACE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "refbase.h"

namespace OHOS {

// The layout of a buffer's pixels.
enum class PixelFormat {
    kBgra8888,  // one plane, B, G, R, A bytes, rows of `stride` bytes
    kI420,      // Y plane (`stride` bytes a row), then U and V at half size each way
};

// One picture, rows of `stride` bytes in its first plane.
struct SurfaceBuffer {
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    PixelFormat format = PixelFormat::kBgra8888;
    int64_t timestampNs = 0;  // CLOCK_MONOTONIC nanoseconds of the content
    uint64_t sequence = 0;    // the source's frame number, for statistics
    std::vector<uint8_t> data;

    uint8_t *Row(int32_t y) { return data.data() + static_cast<size_t>(y) * stride; }
    const uint8_t *Row(int32_t y) const { return data.data() + static_cast<size_t>(y) * stride; }

    // Plane 0 is the whole picture for BGRA; Y, U, V for I420.
    uint8_t *Plane(int index) { return data.data() + PlaneOffset(index); }
    const uint8_t *Plane(int index) const { return data.data() + PlaneOffset(index); }
    int32_t PlaneStride(int index) const { return index == 0 ? stride : (width + 1) / 2; }

private:
    size_t PlaneOffset(int index) const {
        const size_t luma = static_cast<size_t>(stride) * static_cast<size_t>(height);
        const size_t chroma =
            static_cast<size_t>((width + 1) / 2) * static_cast<size_t>((height + 1) / 2);
        return index == 0 ? 0 : luma + (index == 1 ? 0 : chroma);
    }
};

class Surface : public RefBase {
public:
    enum class AcquireResult { kOk, kTimeout, kShutdown, kWoken };

    static constexpr size_t kDefaultQueueSize = 3;

    static sptr<Surface> Create(size_t bufferCount = kDefaultQueueSize);
    ~Surface() override;

    // Producer side. RequestBuffer returns a buffer of the given size and format to
    // draw into, or null when the surface is shut down or every buffer is held by
    // the consumer.
    SurfaceBuffer *RequestBuffer(int32_t width, int32_t height,
                                 PixelFormat format = PixelFormat::kBgra8888);
    // Queues a drawn buffer for the consumer and wakes it.
    void FlushBuffer(SurfaceBuffer *buffer, int64_t timestampNs);
    // Gives a requested buffer back without queueing it.
    void CancelBuffer(SurfaceBuffer *buffer);

    // The format the consumer takes best (a video encoder: I420, which it encodes
    // without converting); producers that can draw it should request it.
    void SetPreferredFormat(PixelFormat format);
    PixelFormat PreferredFormat() const;

    // Consumer side. Waits up to `timeout` for the queued buffer. The buffer
    // stays the consumer's until ReleaseBuffer.
    SurfaceBuffer *AcquireBuffer(std::chrono::nanoseconds timeout, AcquireResult *result);
    void ReleaseBuffer(SurfaceBuffer *buffer);

    // Makes a waiting (or the next) AcquireBuffer return at once with kWoken when no
    // frame is queued, so the consumer can act on an event of its own.
    void WakeConsumer();

    // Wakes a waiting consumer and makes every later Request/Acquire fail until
    // Reopen. Queued frames are discarded.
    void Shutdown();
    void Reopen();
    bool IsShutdown() const;

    // Frames replaced before the consumer read them, or lost to a busy queue.
    uint64_t DroppedFrames() const;
    // Frames flushed so far.
    uint64_t QueuedFrames() const;

private:
    explicit Surface(size_t bufferCount);
    friend class sptr<Surface>;

    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::vector<std::unique_ptr<SurfaceBuffer>> buffers_;  // all buffers, owned here
    std::vector<SurfaceBuffer *> free_;
    std::deque<SurfaceBuffer *> pending_;  // flushed, not yet acquired; oldest first
    bool shutdown_ = false;
    PixelFormat preferred_ = PixelFormat::kBgra8888;
    bool wake_ = false;  // a WakeConsumer not yet seen by AcquireBuffer
    uint64_t dropped_ = 0;
    uint64_t flushed_ = 0;
};

}  // namespace OHOS

#endif  // OHOS_SURFACE_H
