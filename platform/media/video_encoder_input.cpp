// The encoder's input thread: takes pictures from the surface, encodes them and
// queues each packet in an output buffer for the callback thread.
#include <libyuv/convert.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "annex_b.h"
#include "media_log.h"
#include "video_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace mirrax::media {

namespace {

constexpr std::chrono::milliseconds kIdleWait{1000};
// Pictures at most this far apart are a moving screen: a key frame asked for waits
// for its next picture.
constexpr std::chrono::milliseconds kMovingInterval{100};
constexpr std::chrono::milliseconds kShutdownRetry{100};
constexpr size_t kMinOutputCapacity = 256 * 1024;
constexpr size_t kMaxPtsMap = 64;

}  // namespace

std::optional<VideoEncoder::Clock::time_point> VideoEncoder::RepeatDue() const {
    if (!havePicture_ || settings_.repeatAfterMs <= 0 ||
        (settings_.repeatMaxCount >= 0 && repeatsDone_ >= settings_.repeatMaxCount)) {
        return std::nullopt;
    }
    return lastPictureTime_ + std::chrono::milliseconds(settings_.repeatAfterMs);
}

// A requested key frame while the surface brings nothing: the last picture again, as
// a key frame, at most once per frame interval of the configured rate however many
// requests come meanwhile. On a moving screen not before its next picture is half an
// interval late: that picture carries the key frame instead.
std::optional<VideoEncoder::Clock::time_point> VideoEncoder::StillKeyDue() const {
    if (!havePicture_ || !keyWaiting_) {
        return std::nullopt;
    }
    const auto frameInterval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / settings_.frameRate));
    auto due = lastPictureTime_ + frameInterval;
    if (screenInterval_ > Clock::duration::zero()) {
        due = std::max(due, lastTakenTime_ + std::max(screenInterval_, frameInterval) * 3 / 2);
    }
    return due;
}

void VideoEncoder::NoteScreenPicture() {
    const auto now = Clock::now();
    const auto interval = now - lastTakenTime_;
    screenInterval_ = interval <= kMovingInterval ? interval : Clock::duration::zero();
    lastTakenTime_ = now;
}

int64_t VideoEncoder::StillPts() const {
    // The previous picture shown again now: its time plus the time since it was
    // encoded, on the surface's clock.
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - lastPictureTime_);
    return lastPtsNs_ + std::max<int64_t>(elapsed.count(), 1000);
}

void VideoEncoder::InputLoop() {
    SetThreadName("mirrax-venc-in");
    while (true) {
        auto due = RepeatDue();
        if (auto keyDue = StillKeyDue(); keyDue && (!due || *keyDue < *due)) {
            due = keyDue;
        }
        std::chrono::nanoseconds timeout = kIdleWait;
        if (due) {
            timeout = std::max(std::chrono::nanoseconds(0), *due - Clock::now());
        }
        OHOS::Surface::AcquireResult result = OHOS::Surface::AcquireResult::kTimeout;
        OHOS::SurfaceBuffer *buffer = surface_->AcquireBuffer(timeout, &result);
        bool endOfStream = false;
        std::optional<int64_t> bitRate;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                surface_->ReleaseBuffer(buffer);
                return;
            }
            keyWaiting_ = keyRequested_;
            endOfStream = eosRequested_;
            bitRate = std::exchange(pendingBitRate_, std::nullopt);
            if (bitRate) {
                // This thread is the only writer of settings_; GetOutputDescription
                // reads them under the lock from other threads.
                settings_.bitRate = *bitRate;
            }
        }
        if (bitRate) {
            ApplyRateControl();
        }
        bool ok = true;
        if (buffer != nullptr) {
            const int64_t ptsNs = buffer->timestampNs;
            if (TakePicture(buffer)) {
                ++framesIn_;
                NoteScreenPicture();
                havePicture_ = true;
                repeatsDone_ = 0;
                ok = EncodePicture(ptsNs, false);
            }
        } else if (result == OHOS::Surface::AcquireResult::kShutdown) {
            std::unique_lock<std::mutex> lock(mutex_);
            slotFreed_.wait_for(lock, kShutdownRetry, [this] { return stopping_; });
            continue;
        } else if (auto keyDue = StillKeyDue(); keyDue && Clock::now() >= *keyDue) {
            ok = EncodePicture(StillPts(), true);
        } else if (auto due = RepeatDue(); due && Clock::now() >= *due) {
            ++repeatsDone_;
            ++repeats_;
            ok = EncodePicture(StillPts(), false);
        }
        if (!ok) {
            WaitForStop();
            return;
        }
        if (endOfStream) {
            if (avcodec_send_frame(codec_.get(), nullptr) >= 0) {
                ReceivePackets(false);
            }
            Emit(nullptr, 0, lastPtsNs_, AVCODEC_BUFFER_FLAGS_EOS);
            WaitForStop();
            return;
        }
    }
}

void VideoEncoder::WaitForStop() {
    std::unique_lock<std::mutex> lock(mutex_);
    slotFreed_.wait(lock, [this] { return stopping_; });
}

// Makes `buffer`, acquired from the surface, the current picture, and gives it back
// to the surface: an I420 picture of the encoder's size is lent to libavcodec as it
// lies (it returns when the next picture replaces it), any other is converted into
// the encoder's own frame and released at once.
bool VideoEncoder::TakePicture(OHOS::SurfaceBuffer *buffer) {
    if (buffer->format == OHOS::PixelFormat::kI420 && buffer->width == settings_.width &&
        buffer->height == settings_.height) {
        if (!lender_.Lend(surface_, buffer, lent_.get())) {
            MEDIA_LOGE("encoder: a surface picture could not be referenced");
            return false;
        }
        current_ = lent_.get();
        return true;
    }
    av_frame_unref(lent_.get());  // a picture lent earlier is not current any more
    const bool converted = ConvertIntoFrame(*buffer);
    surface_->ReleaseBuffer(buffer);
    if (converted) {
        current_ = frame_.get();
    }
    return converted;
}

bool VideoEncoder::ConvertIntoFrame(const OHOS::SurfaceBuffer &buffer) {
    if (buffer.width <= 0 || buffer.height <= 0 || buffer.data.empty()) {
        return false;
    }
    int ret = av_frame_make_writable(frame_.get());
    if (ret < 0) {
        MEDIA_LOGE("encoder: frame not writable: %{public}s", av::AvError(ret).c_str());
        return false;
    }
    const int width = settings_.width;
    const int height = settings_.height;
    if (buffer.format == OHOS::PixelFormat::kI420) {
        // Another size: scaled into the encoder's frame.
        ret = libyuv::I420Scale(buffer.Plane(0), buffer.PlaneStride(0), buffer.Plane(1),
                                buffer.PlaneStride(1), buffer.Plane(2), buffer.PlaneStride(2),
                                buffer.width, buffer.height, frame_->data[0], frame_->linesize[0],
                                frame_->data[1], frame_->linesize[1], frame_->data[2],
                                frame_->linesize[2], width, height, libyuv::kFilterBilinear);
        return ret == 0;
    }
    const uint8_t *source = buffer.data.data();
    int stride = buffer.stride;
    if (buffer.width != width || buffer.height != height) {
        if (!sizeWarned_) {
            MEDIA_LOGW(
                "encoder: surface frame %{public}dx%{public}d scaled to %{public}dx%{public}d",
                buffer.width, buffer.height, width, height);
            sizeWarned_ = true;
        }
        scaled_.resize(static_cast<size_t>(width) * height * 4);
        libyuv::ARGBScale(source, stride, buffer.width, buffer.height, scaled_.data(), width * 4,
                          width, height, libyuv::kFilterBilinear);
        source = scaled_.data();
        stride = width * 4;
    }
    // libyuv's ARGB is B, G, R, A in memory: the surface's BGRA.
    ret = libyuv::ARGBToI420(source, stride, frame_->data[0], frame_->linesize[0], frame_->data[1],
                             frame_->linesize[1], frame_->data[2], frame_->linesize[2], width,
                             height);
    return ret == 0;
}

bool VideoEncoder::EncodePicture(int64_t ptsNs, bool forceKey) {
    bool key = forceKey || !lastKeyPtsNs_.has_value();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        key = key || keyRequested_;
        keyRequested_ = false;
        keyWakeSent_ = false;
    }
    keyWaiting_ = false;
    const int32_t interval = settings_.iFrameIntervalMs;
    if (interval == 0) {
        key = true;
    } else if (interval > 0 && lastKeyPtsNs_ &&
               ptsNs - *lastKeyPtsNs_ >= static_cast<int64_t>(interval) * 1'000'000) {
        key = true;
    }
    TrackFrameRate(ptsNs);
    int64_t ptsUs = ptsNs / 1000;
    if (lastSentPtsUs_ != INT64_MIN && ptsUs <= lastSentPtsUs_) {
        ptsUs = lastSentPtsUs_ + 1;  // x264 needs strictly increasing time stamps
    }
    lastSentPtsUs_ = ptsUs;
    lastPtsNs_ = ptsNs;
    lastPictureTime_ = Clock::now();
    if (key) {
        lastKeyPtsNs_ = ptsNs;
    }
    current_->pts = ptsUs;
    current_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (ptsMap_.size() >= kMaxPtsMap) {
        ptsMap_.pop_front();
    }
    ptsMap_.emplace_back(ptsUs, ptsNs);
    const int ret = avcodec_send_frame(codec_.get(), current_);
    if (ret < 0) {
        MEDIA_LOGE("encoder: avcodec_send_frame failed: %{public}s", av::AvError(ret).c_str());
        PostError(AV_ERR_UNKNOWN);
        return true;  // the next picture may encode
    }
    return ReceivePackets(key);
}

bool VideoEncoder::ReceivePackets(bool keyExpected) {
    while (true) {
        const int ret = avcodec_receive_packet(codec_.get(), packet_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return true;
        }
        if (ret < 0) {
            MEDIA_LOGE("encoder: avcodec_receive_packet failed: %{public}s",
                       av::AvError(ret).c_str());
            PostError(AV_ERR_UNKNOWN);
            return true;
        }
        int64_t ptsNs = packet_->pts * 1000;
        while (!ptsMap_.empty() && ptsMap_.front().first <= packet_->pts) {
            if (ptsMap_.front().first == packet_->pts) {
                ptsNs = ptsMap_.front().second;
            }
            ptsMap_.pop_front();
        }
        const bool isKey = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        if (keyExpected && !isKey) {
            MEDIA_LOGE("encoder: a requested key frame came back as a predicted frame");
        }
        bool ok = true;
        if (!codecDataSent_) {
            // The stream's configuration first: SPS and PPS of the first packet.
            std::vector<uint8_t> config;
            for (const NalUnit &unit : SplitAnnexB(packet_->data, packet_->size)) {
                if (unit.type == 7 || unit.type == 8) {
                    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
                    config.insert(config.end(), kStartCode, kStartCode + 4);
                    config.insert(config.end(), unit.data, unit.data + unit.size);
                }
            }
            if (!config.empty()) {
                ok = Emit(config.data(), config.size(), 0, AVCODEC_BUFFER_FLAGS_CODEC_DATA);
                codecDataSent_ = true;
            }
        }
        if (ok) {
            keyFrames_ += isKey ? 1 : 0;
            ok = Emit(packet_->data, packet_->size, ptsNs,
                      isKey ? AVCODEC_BUFFER_FLAGS_SYNC_FRAME : AVCODEC_BUFFER_FLAGS_NONE);
        }
        av_packet_unref(packet_.get());
        if (!ok) {
            return false;
        }
    }
}

bool VideoEncoder::Emit(const uint8_t *data, size_t size, int64_t ptsNs, uint32_t flags) {
    std::unique_lock<std::mutex> lock(mutex_);
    OutputSlot *slot = nullptr;
    uint32_t index = 0;
    slotFreed_.wait(lock, [&] {
        if (stopping_) {
            return true;
        }
        for (index = 0; index < slots_.size(); ++index) {
            if (slots_[index].state == SlotState::kFree) {
                slot = &slots_[index];
                return true;
            }
        }
        return false;
    });
    if (stopping_) {
        return false;
    }
    slot->state = SlotState::kFilling;
    lock.unlock();
    // The slot is the input thread's alone while filling.
    if (slot->memory.bytes.size() < size) {
        slot->memory.bytes.resize(std::max(size + size / 4, kMinOutputCapacity));
    } else if (slot->memory.bytes.empty()) {
        slot->memory.bytes.resize(kMinOutputCapacity);
    }
    if (size > 0) {
        std::copy(data, data + size, slot->memory.bytes.begin());
    }
    slot->attr = OH_AVCodecBufferAttr{ptsNs, static_cast<int32_t>(size), 0, flags};
    ++packetsOut_;
    bytesOut_ += size;
    lock.lock();
    slot->state = SlotState::kQueued;
    events_.push_back(Event{false, index, 0});
    lock.unlock();
    eventReady_.notify_one();
    return true;
}

void VideoEncoder::PostError(int32_t code) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Errors are not pooled; keep at most a few pending so they stay bounded.
        if (events_.size() >= slots_.size() + 4) {
            return;
        }
        events_.push_back(Event{true, 0, code});
    }
    eventReady_.notify_one();
}

}  // namespace mirrax::media
