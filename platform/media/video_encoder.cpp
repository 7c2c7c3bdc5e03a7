#include "video_encoder.h"

#include <libyuv/convert.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

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

namespace {

constexpr std::chrono::milliseconds kIdleWait{1000};
constexpr std::chrono::milliseconds kShutdownRetry{100};
constexpr int32_t kMaxDimension = 8192;
constexpr size_t kMinOutputCapacity = 256 * 1024;
constexpr size_t kMaxPtsMap = 64;

// Rate control (TrackFrameRate). Each picture is budgeted from the mean of the last
// kRateIntervals intervals between pictures within kRateWindowNs. Short, because a
// change of frame rate costs bits in proportion to the window's lag (a 1 s window
// alone misses a 5 s window's rate by a tenth when the rate halves); counted rather
// than timed, because only a mean over a fixed number of pictures adds up to the
// stream's duration (a timed window overspends when pictures come irregularly).
// Intervals longer than kPauseNs are a still screen, not a low frame rate, and are
// left out. Until the second picture kInitialFrameRate is assumed: the first
// picture is a key frame, worth several average ones.
// The rate the screen offers (pictures flushed into the surface, including those a
// newer one replaced) bounds the budget: the encoder budgets at least
// kOfferedShare of it. An encoder that lags (a slow consumer holds its buffers, or
// its first pictures after start are slow) would otherwise see a low frame rate,
// budget bigger pictures, which take longer to encode, send and decode, and fall
// further behind.
constexpr double kMinFrameRate = 5.0;
constexpr double kInitialFrameRate = 15.0;
constexpr size_t kRateIntervals = 4;
constexpr double kOfferedShare = 0.8;
constexpr int64_t kRateWindowNs = 250'000'000;
constexpr int64_t kPauseNs = 250'000'000;
constexpr int64_t kMaxBitRate = int64_t{INT32_MAX} * 1000;  // libx264: whole kbit/s in an int

// Start of each Annex B NAL unit (after its start code) and its type.
struct NalUnit {
    const uint8_t *data;
    size_t size;
    int type;
};

std::vector<NalUnit> SplitAnnexB(const uint8_t *data, size_t size) {
    std::vector<NalUnit> units;
    size_t i = 0;
    auto findStart = [&](size_t from) -> size_t {
        for (size_t j = from; j + 3 <= size; ++j) {
            if (data[j] == 0 && data[j + 1] == 0 && data[j + 2] == 1) {
                return j;
            }
        }
        return size;
    };
    i = findStart(0);
    while (i < size) {
        const size_t payload = i + 3;
        size_t next = findStart(payload);
        size_t end = next;
        while (end > payload && data[end - 1] == 0 && next < size) {
            --end;  // the zero byte of a 4-byte start code belongs to the next unit
        }
        if (payload < end) {
            units.push_back({data + payload, end - payload, data[payload] & 0x1F});
        }
        i = next;
    }
    return units;
}

double InitialRateScale(const EncoderSettings &settings) {
    return settings.frameRate / std::min(kInitialFrameRate, settings.frameRate);
}

}  // namespace

OH_AVErrCode ParseEncoderSettings(const OH_AVFormat &format, EncoderSettings *settings) {
    EncoderSettings parsed;
    auto width = FormatInt(format, OH_MD_KEY_WIDTH);
    auto height = FormatInt(format, OH_MD_KEY_HEIGHT);
    if (!width || !height || *width <= 0 || *height <= 0 || *width > kMaxDimension ||
        *height > kMaxDimension || (*width % 2) != 0 || (*height % 2) != 0) {
        MEDIA_LOGE("encoder: width and height must be even and in 2..%{public}d", kMaxDimension);
        return AV_ERR_INVALID_VAL;
    }
    parsed.width = *width;
    parsed.height = *height;
    if (auto mime = FormatString(format, OH_MD_KEY_CODEC_MIME);
        mime && *mime != OH_AVCODEC_MIMETYPE_VIDEO_AVC) {
        MEDIA_LOGE("encoder: unsupported mime %{public}s", mime->c_str());
        return AV_ERR_UNSUPPORT;
    }
    if (auto pixel = FormatInt(format, OH_MD_KEY_PIXEL_FORMAT);
        pixel && *pixel != AV_PIXEL_FORMAT_SURFACE_FORMAT) {
        MEDIA_LOGE("encoder: pixel format %{public}d unsupported (surface input only)", *pixel);
        return AV_ERR_UNSUPPORT;
    }
    if (auto bitRate = FormatLong(format, OH_MD_KEY_BITRATE)) {
        if (*bitRate <= 0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.bitRate = *bitRate;
    }
    if (auto rate = FormatDouble(format, OH_MD_KEY_FRAME_RATE)) {
        if (!(*rate > 0.0) || *rate > 1000.0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.frameRate = *rate;
    }
    if (auto interval = FormatInt(format, OH_MD_KEY_I_FRAME_INTERVAL)) {
        parsed.iFrameIntervalMs = *interval;
    }
    if (auto mode = FormatInt(format, OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE)) {
        if (*mode < BITRATE_MODE_CBR || *mode > BITRATE_MODE_CQ) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.bitrateMode = *mode;
    }
    if (auto quality = FormatInt(format, OH_MD_KEY_QUALITY)) {
        if (*quality < 0 || *quality > 100) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.quality = *quality;
    }
    if (auto after = FormatInt(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_FRAME_AFTER)) {
        if (*after <= 0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.repeatAfterMs = *after;
    }
    if (auto count = FormatInt(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_MAX_COUNT)) {
        if (*count == 0) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.repeatMaxCount = *count;
    }
    if (auto profile = FormatInt(format, OH_MD_KEY_PROFILE)) {
        if (*profile != AVC_PROFILE_BASELINE && *profile != AVC_PROFILE_MAIN &&
            *profile != AVC_PROFILE_HIGH) {
            return AV_ERR_INVALID_VAL;
        }
        parsed.profile = *profile;
    }
    *settings = parsed;
    return AV_ERR_OK;
}

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
    context->colorspace = AVCOL_SPC_BT709;
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
    ptsMap_.clear();
    frameIntervals_.clear();
    intervalSumNs_ = 0;
    offered_.clear();
    rateScale_ = InitialRateScale(settings_);
    ApplyRateControl();
    framesIn_ = repeats_ = keyFrames_ = packetsOut_ = bytesOut_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
        keyRequested_ = false;
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kRunning && state_ != State::kEndOfStream) {
            return AV_ERR_INVALID_STATE;
        }
        stopping_ = true;
        surface = surface_;
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
        "frames, %{public}llu buffers out, %{public}llu bytes, %{public}llu frames dropped "
        "by the surface",
        static_cast<unsigned long long>(framesIn_), static_cast<unsigned long long>(repeats_),
        static_cast<unsigned long long>(keyFrames_), static_cast<unsigned long long>(packetsOut_),
        static_cast<unsigned long long>(bytesOut_),
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
            keyRequested_ = true;
            surface = surface_;
        }
    }
    if (surface) {
        surface->WakeConsumer();  // a still screen gets its key frame at once
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

// ---- input thread ----

std::optional<VideoEncoder::Clock::time_point> VideoEncoder::RepeatDue() const {
    if (!havePicture_ || settings_.repeatAfterMs <= 0 ||
        (settings_.repeatMaxCount >= 0 && repeatsDone_ >= settings_.repeatMaxCount)) {
        return std::nullopt;
    }
    return lastPictureTime_ + std::chrono::milliseconds(settings_.repeatAfterMs);
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
        std::chrono::nanoseconds timeout = kIdleWait;
        if (auto due = RepeatDue()) {
            timeout = std::max(std::chrono::nanoseconds(0), *due - Clock::now());
        }
        OHOS::Surface::AcquireResult result = OHOS::Surface::AcquireResult::kTimeout;
        OHOS::SurfaceBuffer *buffer = surface_->AcquireBuffer(timeout, &result);
        bool keyRequested = false;
        bool endOfStream = false;
        std::optional<int64_t> bitRate;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                surface_->ReleaseBuffer(buffer);
                return;
            }
            keyRequested = keyRequested_;
            endOfStream = eosRequested_;
            bitRate = std::exchange(pendingBitRate_, std::nullopt);
        }
        if (bitRate) {
            settings_.bitRate = *bitRate;
            ApplyRateControl();
        }
        bool ok = true;
        if (buffer != nullptr) {
            const int64_t ptsNs = buffer->timestampNs;
            if (TakePicture(buffer)) {
                ++framesIn_;
                havePicture_ = true;
                repeatsDone_ = 0;
                ok = EncodePicture(ptsNs, false);
            }
        } else if (result == OHOS::Surface::AcquireResult::kShutdown) {
            std::unique_lock<std::mutex> lock(mutex_);
            slotFreed_.wait_for(lock, kShutdownRetry, [this] { return stopping_; });
            continue;
        } else if (havePicture_ && keyRequested) {
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
    }
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

VideoEncoder::RateFields VideoEncoder::RatesFor(const EncoderSettings &settings, double scale) {
    // A requested rate above what libx264 takes is handed over as it is, for the
    // encoder to refuse; a scaled one is capped.
    RateFields rates;
    if (settings.bitRate > kMaxBitRate) {
        rates.bitRate = rates.maxRate = settings.bitRate;
        rates.bufferSize = INT32_MAX;
        return rates;
    }
    const auto bitRate = static_cast<int64_t>(std::llround(
        std::min(static_cast<double>(settings.bitRate) * scale, static_cast<double>(kMaxBitRate))));
    rates.bitRate = bitRate;
    rates.maxRate = settings.bitrateMode == BITRATE_MODE_CBR
                        ? bitRate
                        : std::min(bitRate + bitRate / 2, kMaxBitRate);
    // Not scaled: the buffer's size in bits is what bounds a burst in real time (half
    // a second for CBR: room for a key frame without long queues).
    rates.bufferSize = std::min<int64_t>(
        settings.bitrateMode == BITRATE_MODE_CBR ? settings.bitRate / 2 : settings.bitRate,
        INT32_MAX);
    return rates;
}

void VideoEncoder::TrackFrameRate(int64_t ptsNs) {
    if (settings_.bitrateMode == BITRATE_MODE_CQ) {
        return;
    }
    const int64_t interval = ptsNs - lastPtsNs_;
    if (lastKeyPtsNs_.has_value() && interval > 0 && interval <= kPauseNs) {
        frameIntervals_.emplace_back(ptsNs, interval);
        intervalSumNs_ += interval;
    }
    while (!frameIntervals_.empty() && (frameIntervals_.size() > kRateIntervals ||
                                        frameIntervals_.front().first <= ptsNs - kRateWindowNs)) {
        intervalSumNs_ -= frameIntervals_.front().second;
        frameIntervals_.pop_front();
    }
    offered_.emplace_back(ptsNs, surface_->QueuedFrames());
    while (offered_.size() > kRateIntervals + 1 ||
           offered_.front().first <= ptsNs - kRateWindowNs) {
        offered_.pop_front();
    }
    if (!frameIntervals_.empty()) {
        const double meanNs =
            static_cast<double>(intervalSumNs_) / static_cast<double>(frameIntervals_.size());
        double measured = 1e9 / meanNs;
        if (offered_.size() > 1 && offered_.back().first > offered_.front().first) {
            const double offered =
                1e9 * static_cast<double>(offered_.back().second - offered_.front().second) /
                static_cast<double>(offered_.back().first - offered_.front().first);
            measured = std::max(measured, kOfferedShare * offered);
        }
        const double fps =
            std::clamp(measured, std::min(kMinFrameRate, settings_.frameRate), settings_.frameRate);
        const double scale = settings_.frameRate / fps;
        if (std::abs(scale / rateScale_ - 1.0) > 0.02) {  // not for timestamp jitter
            rateScale_ = scale;
            ApplyRateControl();
        }
    }

    // libavcodec's libx264 wrapper hands a changed maximum and buffer to x264 in one
    // reconfiguration and the bit rate in a second, and x264 warns and overrides its
    // bit rate whenever that is above the maximum. So a maximum cut below the current
    // bit rate waits a picture for the bit rate to come down first; a raise goes in
    // at once. x264 also wants the buffer to hold a picture at the maximum (counted
    // in whole kbit, hence the extra one).
    const int64_t bitRate = codec_->bit_rate;
    codec_->bit_rate = rateTarget_.bitRate;
    codec_->rc_max_rate = std::max(rateTarget_.maxRate, bitRate);
    const auto picture = static_cast<int64_t>(
        std::ceil(static_cast<double>(codec_->rc_max_rate) / settings_.frameRate));
    codec_->rc_buffer_size = static_cast<int>(
        std::min<int64_t>(std::max(rateTarget_.bufferSize, picture + 1000), INT32_MAX));
}

void VideoEncoder::ApplyRateControl() {
    // The requested rate composed with the frame rate's scale; x264 gets it from the
    // next picture on (TrackFrameRate).
    rateTarget_ = RatesFor(settings_, rateScale_);
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

// ---- callback thread ----

void VideoEncoder::CallbackLoop() {
    SetThreadName("mirrax-venc-cb");
    while (true) {
        std::unique_lock<std::mutex> lock(mutex_);
        eventReady_.wait(lock, [this] { return stopping_ || !events_.empty(); });
        if (stopping_) {
            return;
        }
        const Event event = events_.front();
        events_.pop_front();
        const OH_AVCodecAsyncCallback callback = callback_;
        void *userData = userData_;
        OH_AVMemory *memory = nullptr;
        OH_AVCodecBufferAttr attr{};
        if (!event.isError) {
            OutputSlot &slot = slots_[event.index];
            slot.state = SlotState::kHeld;
            memory = &slot.memory;
            attr = slot.attr;
        }
        lock.unlock();
        if (event.isError) {
            if (callback.onError != nullptr) {
                callback.onError(handle_, event.errorCode, userData);
            }
        } else if (callback.onNeedOutputData != nullptr) {
            callback.onNeedOutputData(handle_, event.index, memory, &attr, userData);
        } else {
            FreeOutputData(event.index);  // nobody to hand it to
        }
    }
}

}  // namespace mirrax::media
