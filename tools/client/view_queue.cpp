#include "view_queue.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "frame_message.h"

namespace mirrax::client {

namespace {

template <typename T>
void PutLittleEndian(uint8_t *out, T value) {
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
        std::reverse(bytes, bytes + sizeof(T));
    }
    std::memcpy(out, bytes, sizeof(T));
}

}  // namespace

bool RelayBuffer::IsCodecData() const { return (flags & kFlagCodecData) != 0; }
bool RelayBuffer::IsKeyFrame() const { return (flags & kFlagSyncFrame) != 0; }

std::array<uint8_t, kViewHeaderSize> EncodeViewHeader(const RelayBuffer &buffer, double sendMs) {
    std::array<uint8_t, kViewHeaderSize> header{};
    header[0] = kViewHeaderVersion;
    header[1] = static_cast<uint8_t>(kViewHeaderSize);
    PutLittleEndian(header.data() + 2, buffer.device);
    PutLittleEndian(header.data() + 4, static_cast<uint32_t>(buffer.flags));
    PutLittleEndian(header.data() + 8, static_cast<double>(buffer.pts));
    PutLittleEndian(header.data() + 16, sendMs);
    return header;
}

size_t ViewerQueue::BufferCount() const {
    return static_cast<size_t>(
        std::count_if(items_.begin(), items_.end(), [](const ViewItem &i) { return i.buffer; }));
}

bool ViewerQueue::Offer(const std::shared_ptr<const RelayBuffer> &buffer,
                        const std::shared_ptr<const RelayBuffer> &latestCodecData) {
    const bool codecData = buffer->IsCodecData();
    if (!codecData && buffer->data.empty()) {
        return false;  // an empty end-of-stream marker: nothing to show
    }
    if (!codecData && waitingForKeyFrame_ && !buffer->IsKeyFrame()) {
        return false;
    }
    bool wantKeyFrame = false;
    if (BufferCount() >= limit_) {
        // Fallen behind: drop what it has not taken yet and restart at a key frame.
        std::erase_if(items_, [](const ViewItem &i) { return i.buffer != nullptr; });
        ++skips_;
        waitingForKeyFrame_ = true;
        if (!codecData && latestCodecData) {
            items_.push_back(ViewItem{latestCodecData, nullptr});
        }
        if (!codecData && !buffer->IsKeyFrame()) {
            wantKeyFrame = progressed_;
            progressed_ = false;
            return wantKeyFrame;
        }
    }
    if (!codecData && buffer->IsKeyFrame()) {
        waitingForKeyFrame_ = false;
    }
    items_.push_back(ViewItem{buffer, nullptr});
    return wantKeyFrame;
}

void ViewerQueue::OfferText(std::shared_ptr<const std::string> text) {
    items_.push_back(ViewItem{nullptr, std::move(text)});
}

std::optional<ViewItem> ViewerQueue::Pop() {
    if (items_.empty()) {
        return std::nullopt;
    }
    ViewItem item = std::move(items_.front());
    items_.pop_front();
    progressed_ = true;
    return item;
}

void GridQueue::Offer(const std::shared_ptr<const RelayBuffer> &buffer) {
    if (buffer->data.empty() || (!buffer->IsCodecData() && !buffer->IsKeyFrame())) {
        return;  // a grid shows key frames only
    }
    const bool codecData = buffer->IsCodecData();
    std::erase_if(items_, [&](const Entry &e) {
        return e.device == buffer->device && e.item.buffer &&
               (codecData || !e.item.buffer->IsCodecData());
    });
    items_.push_back(Entry{buffer->device, ViewItem{buffer, nullptr}});
}

void GridQueue::OfferText(uint16_t device, std::shared_ptr<const std::string> text) {
    std::erase_if(items_, [&](const Entry &e) { return e.device == device && e.item.text; });
    items_.push_back(Entry{device, ViewItem{nullptr, std::move(text)}});
}

std::optional<ViewItem> GridQueue::Pop() {
    if (items_.empty()) {
        return std::nullopt;
    }
    ViewItem item = std::move(items_.front().item);
    items_.pop_front();
    return item;
}

}  // namespace mirrax::client
