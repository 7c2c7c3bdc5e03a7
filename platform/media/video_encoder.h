// The H.264 encoder behind OH_AVCodec: libx264 through libavcodec, fed from its own
// surface, delivering encoded buffers to the output callback.
//
// Threads (both owned, named and joined by Stop):
// - input ("mirrax-venc-in"): waits on the surface, encodes its pictures (I420, the
//   surface's preferred format, as they lie; BGRA converted with libyuv), and copies
//   each packet into a free output buffer. A requested key frame is the next
//   picture; while none comes, the last one is encoded again as a key frame, at most
//   once per frame interval whatever the number of requests (StillKeyDue);
// - callback ("mirrax-venc-cb"): hands ready buffers to onNeedOutputData one at a
//   time, in order.
// Output buffers form a fixed pool of kOutputBufferCount OH_AVMemory blocks. A buffer
// returns to the pool only through FreeOutputData; when all are held or queued the
// input thread waits (backpressure reaches the surface, which drops its oldest
// frame). Encoded packets are never dropped while running.
#ifndef MIRRAX_PLATFORM_MEDIA_VIDEO_ENCODER_H
#define MIRRAX_PLATFORM_MEDIA_VIDEO_ENCODER_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "av_objects.h"
#include "encoder_settings.h"
#include "mirrax_media/av_handles.h"
#include "multimedia/player_framework/native_avcodec_base.h"
#include "surface.h"
#include "surface_frame.h"

namespace mirrax::media {

class VideoEncoder {
public:
    static constexpr size_t kOutputBufferCount = 8;
    static constexpr size_t kSurfaceQueueSize = 4;

    explicit VideoEncoder(OH_AVCodec *handle);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder &) = delete;
    VideoEncoder &operator=(const VideoEncoder &) = delete;

    OH_AVErrCode SetCallback(const OH_AVCodecAsyncCallback &callback, void *userData);
    OH_AVErrCode Configure(const OH_AVFormat &format);
    OH_AVErrCode GetSurface(OHNativeWindow **window);
    OH_AVErrCode Prepare();
    OH_AVErrCode Start();
    OH_AVErrCode Stop();
    OH_AVErrCode Flush();
    OH_AVErrCode Reset();
    OH_AVErrCode SetParameter(const OH_AVFormat &format);
    OH_AVErrCode FreeOutputData(uint32_t index);
    OH_AVErrCode NotifyEndOfStream();
    OH_AVFormat *GetOutputDescription();
    bool IsRunning() const;

private:
    enum class State { kInitialized, kConfigured, kPrepared, kRunning, kEndOfStream };
    enum class SlotState { kFree, kFilling, kQueued, kHeld };
    struct OutputSlot {
        OH_AVMemory memory;
        OH_AVCodecBufferAttr attr{};
        SlotState state = SlotState::kFree;
    };
    struct Event {
        bool isError = false;
        uint32_t index = 0;
        int32_t errorCode = 0;
    };
    using Clock = std::chrono::steady_clock;

    OH_AVErrCode OpenCodec();
    OH_AVErrCode StopLocked();
    bool CalledFromCallbackThread() const;

    // Input thread.
    void InputLoop();
    std::optional<Clock::time_point> RepeatDue() const;
    std::optional<Clock::time_point> StillKeyDue() const;
    void NoteScreenPicture();
    int64_t StillPts() const;
    bool TakePicture(OHOS::SurfaceBuffer *buffer);
    bool ConvertIntoFrame(const OHOS::SurfaceBuffer &buffer);
    bool EncodePicture(int64_t ptsNs, bool forceKey);
    bool ReceivePackets(bool keyExpected);
    bool Emit(const uint8_t *data, size_t size, int64_t ptsNs, uint32_t flags);
    void PostError(int32_t code);
    void TrackFrameRate(int64_t ptsNs);  // once per picture, just before it is encoded
    void ApplyRateControl();             // recomputes rateTarget_ from rate and scale
    void ResetRateControl();             // before a start: no intervals measured yet
    void WaitForStop();

    // Callback thread.
    void CallbackLoop();

    OH_AVCodec *const handle_;
    std::mutex apiMutex_;  // serialises lifecycle calls

    mutable std::mutex mutex_;            // everything below up to the input-thread state
    std::condition_variable slotFreed_;   // input thread: a slot is free, or stop
    std::condition_variable eventReady_;  // callback thread: an event, or stop
    State state_ = State::kInitialized;
    bool stopping_ = false;
    bool keyRequested_ = false;
    bool keyWakeSent_ = false;  // the input thread was woken for the pending request
    uint64_t keyRequests_ = 0;
    bool eosRequested_ = false;
    std::optional<int64_t> pendingBitRate_;
    std::array<OutputSlot, kOutputBufferCount> slots_;
    std::deque<Event> events_;  // at most one output event per slot, plus errors
    OH_AVCodecAsyncCallback callback_{};
    void *userData_ = nullptr;
    EncoderSettings settings_;
    OHOS::sptr<OHOS::Surface> surface_;

    // Declared before the frames and the codec that reference its loans, so it
    // outlives them.
    SurfaceFrameLender lender_;
    av::CodecContextPtr codec_;
    av::FramePtr frame_;          // owned planes: converted pictures
    av::FramePtr lent_;           // an I420 surface buffer, lent
    AVFrame *current_ = nullptr;  // the last picture: frame_ or lent_
    av::PacketPtr packet_;
    std::vector<uint8_t> scaled_;  // BGRA of a surface frame of another size, scaled
    std::thread inputThread_;
    std::thread callbackThread_;
    std::atomic<std::thread::id> callbackThreadId_{};

    // Input-thread state, reset by Start.
    bool havePicture_ = false;
    bool codecDataSent_ = false;
    int64_t lastPtsNs_ = 0;
    int64_t lastSentPtsUs_ = 0;
    std::optional<int64_t> lastKeyPtsNs_;
    Clock::time_point lastPictureTime_{};  // when the last picture was encoded
    int32_t repeatsDone_ = 0;
    bool keyWaiting_ = false;  // a requested key frame not encoded yet
    // When the last picture came from the surface, and the time since the one before
    // (zero when the screen was still in between).
    Clock::time_point lastTakenTime_{};
    Clock::duration screenInterval_{};
    std::deque<std::pair<int64_t, int64_t>> ptsMap_;  // encoder pts (us) -> surface pts (ns)
    bool sizeWarned_ = false;
    // Rate control. Without lookahead x264 takes every picture to last 1/nominal rate
    // and budgets its bits from that, so the rates it is given are the requested ones
    // scaled by nominal / real frame rate, measured from the pictures' timestamps.
    struct RateFields {
        int64_t bitRate = 0;
        int64_t maxRate = 0;
        int64_t bufferSize = 0;
    };
    std::deque<std::pair<int64_t, int64_t>> frameIntervals_;  // (pts, ns since previous)
    int64_t intervalSumNs_ = 0;
    // (pts, pictures flushed into the surface so far) of the recent pictures: the
    // rate the screen offered, which bounds the budget when the encoder lags.
    std::deque<std::pair<int64_t, uint64_t>> offered_;
    double rateScale_ = 1.0;
    RateFields rateTarget_;  // what x264 should reach; moved to over one or more pictures
    static RateFields RatesFor(const EncoderSettings &settings, double scale);
    uint64_t framesIn_ = 0;
    uint64_t repeats_ = 0;
    uint64_t keyFrames_ = 0;
    uint64_t packetsOut_ = 0;
    uint64_t bytesOut_ = 0;
};

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_VIDEO_ENCODER_H
