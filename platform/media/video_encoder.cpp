// The encoder's life cycle: configuration, start, stop, parameters and output
// buffers. The threads it starts are in video_encoder_input.cpp and
// video_encoder_callback.cpp, rate control in video_encoder_rate.cpp.
#include "video_encoder.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "media_log.h"
#include "window.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace mirrax::media {

OHNativeWindow *MakeNativeWindow(OHOS::sptr<OHOS::Surface> surface);

VideoEncoder::VideoEncoder(OH_AVCodec *handle) : handle_(handle) {
    RouteFfmpegLog();
    for (auto &slot : slots_) {
        RegisterMemory(&slot.memory);
    }
}

VideoEncoder::~VideoEncoder() {
    {
        std::lock_guard<std::mutex> api(apiMutex_);
        StopLocked();
    }
    for (auto &slot : slots_) {
        UnregisterMemory(&slot.memory);
    }
}

bool VideoEncoder::CalledFromCallbackThread() const {
    return callbackThreadId_.load() == std::this_thread::get_id();
}

OH_AVErrCode VideoEncoder::SetCallback(const OH_AVCodecAsyncCallback &callback, void *userData) {
    std::lock_guard<std::mutex> api(apiMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kInitialized && state_ != State::kConfigured) {
        return AV_ERR_INVALID_STATE;
    }
    callback_ = callback;
    userData_ = userData;
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::Configure(const OH_AVFormat &format) {
    std::lock_guard<std::mutex> api(apiMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kInitialized) {
            return AV_ERR_INVALID_STATE;
        }
    }
    EncoderSettings settings;
    if (OH_AVErrCode code = ParseEncoderSettings(format, &settings); code != AV_ERR_OK) {
        return code;
    }
    auto surface = OHOS::Surface::Create(kSurfaceQueueSize);
    if (!surface) {
        return AV_ERR_NO_MEMORY;
    }
    // x264 takes I420: a producer that draws it spares a conversion and a copy here.
    surface->SetPreferredFormat(OHOS::PixelFormat::kI420);
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = settings;
    surface_ = surface;
    state_ = State::kConfigured;
    MEDIA_LOGI(
        "encoder configured: %{public}dx%{public}d, %{public}lld bit/s, mode %{public}d, "
        "key frame every %{public}d ms, repeat after %{public}d ms (max %{public}d)",
        settings.width, settings.height, static_cast<long long>(settings.bitRate),
        settings.bitrateMode, settings.iFrameIntervalMs, settings.repeatAfterMs,
        settings.repeatMaxCount);
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::GetSurface(OHNativeWindow **window) {
    if (window == nullptr) {
        return AV_ERR_INVALID_VAL;
    }
    std::lock_guard<std::mutex> api(apiMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kConfigured || !surface_) {
        return AV_ERR_INVALID_STATE;
    }
    *window = MakeNativeWindow(surface_);
    return *window != nullptr ? AV_ERR_OK : AV_ERR_NO_MEMORY;
}

OH_AVErrCode VideoEncoder::Prepare() {
    std::lock_guard<std::mutex> api(apiMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kConfigured) {
            return AV_ERR_INVALID_STATE;
        }
    }
    if (OH_AVErrCode code = OpenCodec(); code != AV_ERR_OK) {
        return code;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kPrepared;
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::OpenCodec() {
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        MEDIA_LOGE("encoder: libavcodec has no libx264");
        return AV_ERR_UNSUPPORT;
    }
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    av::FramePtr frame(av_frame_alloc());
    av::FramePtr lent(av_frame_alloc());
    av::PacketPtr packet(av_packet_alloc());
    if (!context || !frame || !lent || !packet) {
        return AV_ERR_NO_MEMORY;
    }
    const EncoderSettings &s = settings_;
    context->width = s.width;
    context->height = s.height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    // Microsecond time base: frames carry their own capture times (variable rate);
    // the nominal rate only seeds x264's rate control.
    context->time_base = AVRational{1, 1'000'000};
    context->framerate = AVRational{static_cast<int>(std::lround(s.frameRate * 1000)), 1000};
    context->max_b_frames = 0;
    context->color_range = AVCOL_RANGE_MPEG;
    // The matrix is the one the pictures are converted with (libyuv's ARGBToI420,
    // BT.601, here and in the mirror worker); the screen's primaries and transfer
    // are sRGB's, which are BT.709's.
    context->colorspace = AVCOL_SPC_SMPTE170M;
    context->color_primaries = AVCOL_PRI_BT709;
    context->color_trc = AVCOL_TRC_BT709;
    if (s.bitrateMode == BITRATE_MODE_CQ) {
        const int crf = 51 - (s.quality * 51 + 50) / 100;
        av_opt_set_int(context->priv_data, "crf", crf, 0);
    } else {
        // At the nominal frame rate, from which x264 picks the stream's level; the
        // first picture moves them to the measured or assumed rate (TrackFrameRate).
        const RateFields rates = RatesFor(s, 1.0);
        context->bit_rate = rates.bitRate;
        context->rc_max_rate = rates.maxRate;
        context->rc_buffer_size = static_cast<int>(rates.bufferSize);
    }
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(context->priv_data, "forced-idr", 1, 0);
    // Key frames only when asked for (by time or request), each carrying SPS and PPS.
    av_opt_set(context->priv_data, "x264-params", "keyint=infinite:scenecut=0:repeat-headers=1", 0);
    if (s.profile >= 0) {
        const char *name = s.profile == AVC_PROFILE_BASELINE ? "baseline"
                           : s.profile == AVC_PROFILE_MAIN   ? "main"
                                                             : "high";
        av_opt_set(context->priv_data, "profile", name, 0);
    }
    int ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret < 0) {
        MEDIA_LOGE("encoder: avcodec_open2 failed: %{public}s", av::AvError(ret).c_str());
        return AV_ERR_UNKNOWN;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = s.width;
    frame->height = s.height;
    if ((ret = av_frame_get_buffer(frame.get(), 0)) < 0) {
        MEDIA_LOGE("encoder: frame allocation failed: %{public}s", av::AvError(ret).c_str());
        return AV_ERR_NO_MEMORY;
    }
    codec_ = std::move(context);
    frame_ = std::move(frame);
    lent_ = std::move(lent);
    current_ = nullptr;
    packet_ = std::move(packet);
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::Start() {
    std::lock_guard<std::mutex> api(apiMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kPrepared) {
            return AV_ERR_INVALID_STATE;
        }
    }
    if (!codec_) {
        if (OH_AVErrCode code = OpenCodec(); code != AV_ERR_OK) {
            return code;
        }
    }
    havePicture_ = false;
    codecDataSent_ = false;
    lastPtsNs_ = 0;
    lastSentPtsUs_ = INT64_MIN;
    lastKeyPtsNs_.reset();
    repeatsDone_ = 0;
    keyWaiting_ = false;
    lastTakenTime_ = Clock::time_point{};
    screenInterval_ = Clock::duration::zero();
    ptsMap_.clear();
    ResetRateControl();
    framesIn_ = repeats_ = keyFrames_ = packetsOut_ = bytesOut_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
        keyRequested_ = false;
        keyWakeSent_ = false;
        keyRequests_ = 0;
        eosRequested_ = false;
        pendingBitRate_.reset();
        events_.clear();
        for (auto &slot : slots_) {
            slot.state = SlotState::kFree;
        }
        state_ = State::kRunning;
    }
    callbackThread_ = std::thread([this] { CallbackLoop(); });
    callbackThreadId_.store(callbackThread_.get_id());
    inputThread_ = std::thread([this] { InputLoop(); });
    MEDIA_LOGI("encoder started");
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::Stop() {
    if (CalledFromCallbackThread()) {
        MEDIA_LOGE("encoder: Stop from the output callback is not permitted");
        return AV_ERR_OPERATE_NOT_PERMIT;
    }
    std::lock_guard<std::mutex> api(apiMutex_);
    return StopLocked();
}

OH_AVErrCode VideoEncoder::StopLocked() {
    OHOS::sptr<OHOS::Surface> surface;
    uint64_t keyRequests = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kRunning && state_ != State::kEndOfStream) {
            return AV_ERR_INVALID_STATE;
        }
        stopping_ = true;
        surface = surface_;
        keyRequests = keyRequests_;
    }
    slotFreed_.notify_all();
    eventReady_.notify_all();
    if (surface) {
        surface->WakeConsumer();
    }
    // The callback thread may be inside the user's callback: joining waits for it.
    if (inputThread_.joinable()) {
        inputThread_.join();
    }
    if (callbackThread_.joinable()) {
        callbackThread_.join();
    }
    callbackThreadId_.store(std::thread::id());
    codec_.reset();  // a new stream after Start opens a fresh encoder
    frame_.reset();
    lent_.reset();  // the last lent picture goes back to the surface
    current_ = nullptr;
    packet_.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        for (auto &slot : slots_) {
            slot.state = SlotState::kFree;
        }
        stopping_ = false;
        state_ = State::kPrepared;
    }
    MEDIA_LOGI(
        "encoder stopped: %{public}llu frames in, %{public}llu repeats, %{public}llu key "
        "frames, %{public}llu key-frame requests, %{public}llu buffers out, %{public}llu bytes, "
        "%{public}llu frames dropped by the surface",
        static_cast<unsigned long long>(framesIn_), static_cast<unsigned long long>(repeats_),
        static_cast<unsigned long long>(keyFrames_), static_cast<unsigned long long>(keyRequests),
        static_cast<unsigned long long>(packetsOut_), static_cast<unsigned long long>(bytesOut_),
        static_cast<unsigned long long>(surface ? surface->DroppedFrames() : 0));
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kRunning) {
        return AV_ERR_INVALID_STATE;
    }
    // Nothing waits inside the encoder (zero latency); the next picture restarts the
    // stream with a key frame.
    keyRequested_ = true;
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::Reset() {
    if (CalledFromCallbackThread()) {
        return AV_ERR_OPERATE_NOT_PERMIT;
    }
    std::lock_guard<std::mutex> api(apiMutex_);
    StopLocked();
    codec_.reset();
    frame_.reset();
    lent_.reset();
    current_ = nullptr;
    packet_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    if (surface_) {
        surface_->Shutdown();  // its producer must not wait for this encoder any more
    }
    surface_.clear();
    settings_ = EncoderSettings();
    state_ = State::kInitialized;
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::SetParameter(const OH_AVFormat &format) {
    OHOS::sptr<OHOS::Surface> surface;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kRunning && state_ != State::kEndOfStream) {
            return AV_ERR_INVALID_STATE;
        }
        if (auto bitRate = FormatLong(format, OH_MD_KEY_BITRATE)) {
            if (*bitRate <= 0 || *bitRate > kMaxBitRate) {
                return AV_ERR_INVALID_VAL;
            }
            pendingBitRate_ = *bitRate;
        }
        auto request = FormatInt(format, OH_MD_KEY_REQUEST_I_FRAME);
        if (!request) {
            request = FormatLong(format, OH_MD_KEY_REQUEST_I_FRAME);
        }
        if (request && *request != 0 && state_ == State::kRunning) {
            // Requests before the next picture make one key frame: only the first
            // wakes the input thread.
            ++keyRequests_;
            keyRequested_ = true;
            if (!keyWakeSent_) {
                keyWakeSent_ = true;
                surface = surface_;
            }
        }
    }
    if (surface) {
        surface->WakeConsumer();  // a still screen gets its key frame soon
    }
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::FreeOutputData(uint32_t index) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kRunning && state_ != State::kEndOfStream) {
            return AV_ERR_INVALID_STATE;
        }
        if (index >= slots_.size() || slots_[index].state != SlotState::kHeld) {
            return AV_ERR_INVALID_VAL;
        }
        slots_[index].state = SlotState::kFree;
    }
    slotFreed_.notify_one();
    return AV_ERR_OK;
}

OH_AVErrCode VideoEncoder::NotifyEndOfStream() {
    OHOS::sptr<OHOS::Surface> surface;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kRunning) {
            return AV_ERR_INVALID_STATE;
        }
        eosRequested_ = true;
        state_ = State::kEndOfStream;
        surface = surface_;
    }
    surface->WakeConsumer();
    return AV_ERR_OK;
}

OH_AVFormat *VideoEncoder::GetOutputDescription() {
    EncoderSettings settings;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::kInitialized) {
            return nullptr;
        }
        settings = settings_;
    }
    OH_AVFormat *format = OH_AVFormat_Create();
    if (format == nullptr) {
        return nullptr;
    }
    OH_AVFormat_SetStringValue(format, OH_MD_KEY_CODEC_MIME, OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, settings.width);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_HEIGHT, settings.height);
    OH_AVFormat_SetDoubleValue(format, OH_MD_KEY_FRAME_RATE, settings.frameRate);
    OH_AVFormat_SetLongValue(format, OH_MD_KEY_BITRATE, settings.bitRate);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_I_FRAME_INTERVAL, settings.iFrameIntervalMs);
    return format;
}

bool VideoEncoder::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kRunning || state_ == State::kEndOfStream;
}

}  // namespace mirrax::media
