// The physical screen's current picture, shared by the display source that draws it
// (the only writer) and the mirror workers that copy it (readers).
#ifndef MIRRAX_PLATFORM_DISPLAY_SCREEN_CANVAS_H
#define MIRRAX_PLATFORM_DISPLAY_SCREEN_CANVAS_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stop_token>
#include <vector>

namespace mirrax::platform::display {

// A window whose content is hidden on virtual screens unless its id is exempted.
struct SecureWindow {
    uint64_t id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// BGRA pixels, rows of `stride` bytes, and what was drawn. The pixels lie in memory
// the picture owns (ResizePicture) or in a buffer a source lends it (AdoptPixels,
// for example the shared-memory segment a screen was just read into), so a new
// picture is published without copying it.
struct Picture {
    uint8_t *pixels = nullptr;
    std::shared_ptr<void> storage;  // keeps `pixels` valid
    size_t ownedBytes = 0;          // size of the picture's own storage; 0 when lent
    int width = 0;
    int height = 0;
    int stride = 0;
    uint64_t sequence = 0;    // 0 until the first frame
    int64_t timestampNs = 0;  // CLOCK_MONOTONIC of the frame's publication
    std::vector<SecureWindow> secureWindows;

    uint8_t *Row(int y) { return pixels + static_cast<size_t>(y) * stride; }
    const uint8_t *Row(int y) const { return pixels + static_cast<size_t>(y) * stride; }
};

int64_t MonotonicNs();

class ScreenCanvas {
public:
    ScreenCanvas() = default;
    ScreenCanvas(const ScreenCanvas &) = delete;
    ScreenCanvas &operator=(const ScreenCanvas &) = delete;

    // Writer: runs `draw(Picture &, uint64_t nextSequence)` with exclusive access. When
    // it returns true the picture becomes frame `nextSequence` and waiting readers wake;
    // false means nothing changed. Readers never see a half-drawn picture.
    template <typename Draw>
    bool Update(Draw &&draw) {
        uint64_t published = 0;
        {
            std::unique_lock lock(pictureMutex_);
            const uint64_t next = picture_.sequence + 1;
            if (!draw(picture_, next)) {
                return false;
            }
            picture_.sequence = next;
            picture_.timestampNs = MonotonicNs();
            published = next;
        }
        Publish(published);
        return true;
    }

    // Reader: runs `read(const Picture &)` while the writer is held off.
    template <typename Reader>
    void Read(Reader &&read) const {
        std::shared_lock lock(pictureMutex_);
        read(picture_);
    }

    // Latest published frame number (0: none yet).
    uint64_t Sequence() const;

    // Waits until a frame newer than `seen` is published; false when `stop` is
    // requested first.
    bool WaitForFrameAfter(uint64_t seen, std::stop_token stop) const;

private:
    void Publish(uint64_t sequence);

    mutable std::shared_mutex pictureMutex_;
    Picture picture_;

    mutable std::mutex sequenceMutex_;
    mutable std::condition_variable_any published_;
    uint64_t sequence_ = 0;
};

// Makes a picture `width` x `height` in storage of its own, kept when it already
// owns storage of that size. Lent pixels are copied into it, so an incremental
// drawing can go on where the previous picture left off.
void ResizePicture(Picture &picture, int width, int height);

// Makes `pixels` (rows of width * 4 bytes, kept valid by `storage`) the picture's
// content, without copying.
void AdoptPixels(Picture &picture, int width, int height, uint8_t *pixels,
                 std::shared_ptr<void> storage);

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_SCREEN_CANVAS_H
