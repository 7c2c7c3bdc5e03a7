// The live view's wire format and the bounded queue in front of each viewer.
#ifndef MIRRAX_TOOLS_CLIENT_VIEW_QUEUE_H
#define MIRRAX_TOOLS_CLIENT_VIEW_QUEUE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace mirrax::client {

// One encoded buffer as the host sent it, shared by every viewer that sends it.
struct RelayBuffer {
    std::string data;  // Annex B H.264
    int64_t flags = 0;
    int64_t pts = 0;      // the host's wall clock at hand-off, ms since the epoch
    uint16_t device = 0;  // which host it came from, in the relay's order

    bool IsCodecData() const;
    bool IsKeyFrame() const;
};

// Every binary WebSocket message is this header followed by the buffer's bytes.
// Little endian:
//   0  u8   version (1)
//   1  u8   header length in bytes (24)
//   2  u16  the device's index (0 with one host)
//   4  u32  the buffer's flags (2: key frame, 8: codec data)
//   8  f64  pts: the host's hand-off time, ms since the epoch
//   16 f64  the relay's send time, ms since the epoch (CLOCK_REALTIME)
inline constexpr size_t kViewHeaderSize = 24;
inline constexpr uint8_t kViewHeaderVersion = 1;
std::array<uint8_t, kViewHeaderSize> EncodeViewHeader(const RelayBuffer &buffer, double sendMs);

// What waits to be written to one viewer: an encoded buffer or a text (JSON) event.
struct ViewItem {
    std::shared_ptr<const RelayBuffer> buffer;
    std::shared_ptr<const std::string> text;
};

// The pictures queued for one viewer. A viewer starts, and restarts after it fell
// behind, at a key frame: until one arrives, pictures are dropped. Codec data is never
// dropped (a size change brings new codec data that the next key frame needs), and
// text events are few and kept. When the queue holds `limit` buffers and another
// picture comes, the viewer has fallen behind: its queued buffers are dropped, the
// latest codec data is queued again, and it waits for the next key frame.
class ViewerQueue {
public:
    explicit ViewerQueue(size_t limit) : limit_(limit) {}

    // Queues `buffer` or drops it. True when the viewer now needs a key frame that
    // the host should be asked for: it fell behind and had made progress since its
    // last request (a viewer that reads nothing at all asks only once).
    bool Offer(const std::shared_ptr<const RelayBuffer> &buffer,
               const std::shared_ptr<const RelayBuffer> &latestCodecData);
    void OfferText(std::shared_ptr<const std::string> text);

    // Back to waiting for a key frame, e.g. when the host's stream ended.
    void WaitForKeyFrame() { waitingForKeyFrame_ = true; }

    // The next item to write, if any; taking one counts as the viewer's progress.
    std::optional<ViewItem> Pop();

    bool WaitingForKeyFrame() const { return waitingForKeyFrame_; }
    size_t Size() const { return items_.size(); }
    uint64_t Skips() const { return skips_; }

private:
    size_t BufferCount() const;

    const size_t limit_;
    std::deque<ViewItem> items_;
    bool waitingForKeyFrame_ = true;
    bool progressed_ = true;
    uint64_t skips_ = 0;
};

// What waits to be written to one grid page: for each device, at most its latest
// event, its latest codec data and its latest key frame. A newer one of a kind replaces
// the one still queued (new codec data also drops the key frame queued before it, which
// the new codec data cannot decode), so a grid that reads slowly shows each device's
// newest picture, never a backlog, and its queue stays within three items a device.
class GridQueue {
public:
    void Offer(const std::shared_ptr<const RelayBuffer> &buffer);
    void OfferText(uint16_t device, std::shared_ptr<const std::string> text);
    std::optional<ViewItem> Pop();
    size_t Size() const { return items_.size(); }

private:
    struct Entry {
        uint16_t device;
        ViewItem item;
    };
    std::deque<Entry> items_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_VIEW_QUEUE_H
