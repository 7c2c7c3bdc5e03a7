#include "capture/native_screen_encoder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/screen_recorder.h"
#include "display_manager.h"
#include "mirrax_protocol/results.h"
#include "multimedia/player_framework/native_avcodec_videoencoder.h"
#include "multimedia/player_framework/native_avmuxer.h"
#include "native_window/external_window.h"
#include "rpc/rpc_server.h"
#include "window.h"

namespace {

constexpr const char *kLogFile = "native_screen_encoder";
constexpr int32_t kSurfacePixelFormat = 4;
constexpr double kEncoderFrameRate = 120.0;
constexpr int32_t kRecordMode = 1;
constexpr int32_t kMaxSameNameFiles = 1000;
// How long a stop waits for the encoder's end-of-stream buffer to go out. It comes in
// milliseconds unless a client that stopped reading holds the callback thread in a
// stream write, which the stream's close then cancels.
constexpr std::chrono::seconds kEndOfStreamWait{1};

std::shared_ptr<RpcServer> Server() { return OHOS::DelayedSingleton<RpcServer>::GetInstance(); }

void OnError(OH_AVCodec *, int32_t, void *) {}
void OnStreamChanged(OH_AVCodec *, OH_AVFormat *, void *) {}
void OnNeedInputData(OH_AVCodec *, uint32_t, OH_AVMemory *, void *) {}
void OnNeedOutputData(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                      OH_AVCodecBufferAttr *attr, void *userData);

constexpr OH_AVCodecAsyncCallback kEncoderCallbacks = {OnError, OnStreamChanged, OnNeedInputData,
                                                       OnNeedOutputData};

struct FormatDeleter {
    void operator()(OH_AVFormat *format) const { OH_AVFormat_Destroy(format); }
};

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};

// The encoder whose callbacks run now. Set by Run before the platform encoder
// starts and cleared by Stop once it is destroyed (no callback runs after that), so
// the callback thread never reads the pipeline's owning globals.
std::atomic<ScreenEncoder *> g_outputEncoder{nullptr};

}  // namespace

// File-level objects are destroyed in reverse order of definition: the encoder is
// defined last so that it is destroyed first, while everything its stop path and its
// callback use (the recorder, the folder name, the lock, the listener) still exists.
std::unique_ptr<ScreenRecorder> g_screenRecorder;
std::mutex mtx;
uint64_t mainId = UINT64_MAX;
const std::string saveFrameDir = "/data/local/tmp/orvindo_record_data";
OHOS::sptr<ScreenChangeListener> ScreenEncoder::g_screenChangeListener;
std::unique_ptr<ScreenEncoder> g_screenEncoder;

void RunWait::SetFailure(StartFailure why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!isEnded && !failure) {
        failure = std::move(why);
    }
}

void RunWait::End() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        isEnded = true;
    }
    ended.notify_all();
}

StartFailure RunWait::Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait(lock, [this] { return isEnded; });
    return failure;
}

int64_t GetCurrentMillisecond(bool wallClock) {
    using namespace std::chrono;
    if (wallClock) {
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

OH_AVFormat *initFormat(int width, int height) {
    auto server = Server();
    const int32_t iFrameInterval = server->GetiFrameInterval();
    const int64_t bitRate = server->GetFrameBitRate();
    const int32_t repeatInterval = server->GetRepeatInterval();
    OH_AVFormat *format = OH_AVFormat_Create();
    OH_AVFormat_SetStringValue(format, OH_MD_KEY_CODEC_MIME, OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_WIDTH, width);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_HEIGHT, height);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_PIXEL_FORMAT, kSurfacePixelFormat);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_I_FRAME_INTERVAL, iFrameInterval);
    OH_AVFormat_SetDoubleValue(format, OH_MD_KEY_FRAME_RATE, kEncoderFrameRate);
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODE_BITRATE_MODE, BITRATE_MODE_CBR);
    OH_AVFormat_SetLongValue(format, OH_MD_KEY_BITRATE, bitRate);
    if (repeatInterval >= 1) {
        OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_FRAME_AFTER,
                                repeatInterval);
        OH_AVFormat_SetIntValue(format, OH_MD_KEY_VIDEO_ENCODER_REPEAT_PREVIOUS_MAX_COUNT, 1);
    }
    return format;
}

ScreenChangeListener::ScreenChangeListener(std::function<void()> callback, uint64_t targetId)
    : callback_(std::move(callback)), targetId_(targetId) {}

ScreenChangeListener::~ScreenChangeListener() = default;

void ScreenChangeListener::OnChange(uint64_t id) {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI(
        "%{public}s ScreenChangeListener OnChange, id is %{public}lu, targetId_ is %{public}lu", id,
        targetId_);
    if (callback_ && id == targetId_) {
        callback_();
    }
}

ScreenEncoder::ScreenEncoder() = default;

ScreenEncoder::~ScreenEncoder() {
    if (!isStopped_) {
        Stop(true);
    }
}

void ScreenEncoder::ContinueRunOf(const ScreenEncoder &previous) { runWait_ = previous.runWait_; }

bool ScreenEncoder::IsRunning() const { return running_; }

bool ScreenEncoder::Fail(const std::string &cause) {
    startError_ = cause;
    return false;
}

// Logs a failure line and records it as the reason this encoder did not start.
#define MIRRAX_START_FAILED(text) (MIRRAX_LOGE("%{public}s " text), Fail(text))

bool ScreenEncoder::Setup() {
    MIRRAX_LOG_LABEL(kLogFile);
    startError_.clear();
    setupStartMs_ = GetCurrentMillisecond(false);
    firstPictureOut_ = false;
    auto server = Server();
    mode_ = server->GetMode();
    frameCount_ = 0;
    const int32_t scale = server->GetScale();
    mainId = static_cast<uint64_t>(server->GetScreenId());

    auto &displayManager = OHOS::Rosen::DisplayManager::GetInstance();
    auto &screenManager = OHOS::Rosen::ScreenManager::GetInstance();
    if (mainId == UINT64_MAX) {
        mainId = displayManager.GetDefaultDisplayId();
        MIRRAX_LOGI("%{public}s Init mainId success!");
        if (mainId == UINT64_MAX) {
            return MIRRAX_START_FAILED("get default display id failed!");
        }
    }
    MIRRAX_LOGI("%{public}s Setup by screen Id: %{public}lu.", mainId);

    OHOS::sptr<OHOS::Rosen::Screen> screen = screenManager.GetScreenById(mainId);
    if (!screen) {
        return MIRRAX_START_FAILED("get default screen failed.");
    }
    displayManager.DisablePowerOffRenderControl(mainId);
    MIRRAX_LOGI("%{public}s disable power off render control success.");

    if (!g_screenChangeListener && mode_ == 0) {
        g_screenChangeListener =
            OHOS::sptr<ScreenChangeListener>::MakeSptr(AdapteScreenChange, mainId);
        const OHOS::Rosen::DMError ret = screenManager.RegisterScreenListener(
            OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener>(g_screenChangeListener));
        MIRRAX_LOGD("%{public}s Register DisplayListener, ret=%{public}d",
                    static_cast<int32_t>(ret));
    }

    OHOS::sptr<OHOS::Rosen::Display> display = displayManager.GetDisplayByScreen(mainId);
    if (!display) {
        // A screen without a display has no size to mirror.
        MIRRAX_LOGE("%{public}s get display of screen %{public}lu failed.", mainId);
        return Fail("get display of screen " + std::to_string(mainId) + " failed.");
    }
    width_ = display->GetWidth() / scale;
    height_ = display->GetHeight() / scale;
    MIRRAX_LOGI("%{public}s screen width=%{public}d, screen height=%{public}d", display->GetWidth(),
                display->GetHeight());
    if (width_ % 2 != 0) {
        width_ += 1;
    }
    if (height_ % 2 != 0) {
        height_ += 1;
    }

    encoder_ = OH_VideoEncoder_CreateByMime(OH_AVCODEC_MIMETYPE_VIDEO_AVC);
    if (OH_VideoEncoder_SetCallback(encoder_, kEncoderCallbacks, nullptr) != AV_ERR_OK) {
        return MIRRAX_START_FAILED("Failed to register encoder callback!");
    }
    std::unique_ptr<OH_AVFormat, FormatDeleter> format(initFormat(width_, height_));
    MIRRAX_LOGI("%{public}s video width=%{public}d, video height=%{public}d, scale=%{public}d",
                width_, height_, scale);
    if (OH_VideoEncoder_Configure(encoder_, format.get()) != AV_ERR_OK) {
        return MIRRAX_START_FAILED("Failed to configure encoder!");
    }

    OHNativeWindow *nativeWindow = nullptr;
    OH_VideoEncoder_GetSurface(encoder_, &nativeWindow);
    if (nativeWindow != nullptr) {
        MIRRAX_LOGI("%{public}s nativeWindow is not null!");
        surface_ = nativeWindow->surface;
        OH_NativeWindow_DestroyNativeWindow(nativeWindow);
        if (surface_) {
            MIRRAX_LOGI("%{public}s surface is not null!");
        } else {
            MIRRAX_LOGI("%{public}s surface is null!");
        }
    } else {
        MIRRAX_LOGI("%{public}s nativeWindow is null!");
    }

    if (OH_VideoEncoder_Prepare(encoder_) != AV_ERR_OK) {
        return MIRRAX_START_FAILED("Failed to prepare encoder!");
    }
    if (mode_ == kRecordMode) {
        g_screenRecorder = std::make_unique<ScreenRecorder>();
        recorder_ = g_screenRecorder.get();
        if (!g_screenRecorder->Setup(format.get())) {
            return MIRRAX_START_FAILED("Record setup failed!");
        }
    }
    format.reset();

    if (server->GetSaveFrameStatus() && access(saveFrameDir.c_str(), F_OK) == -1) {
        mkdir(saveFrameDir.c_str(), 0700);
    }
    return true;
}

void ScreenEncoder::Run() {
    MIRRAX_LOG_LABEL(kLogFile);
    if (!startError_.empty()) {
        // Setup gave up: nothing to run.
        MIRRAX_LOGI("%{public}s encoder is not ready, run skipped.");
        return;
    }
    if (encoder_ == nullptr || !surface_) {
        MIRRAX_START_FAILED("encoder has no input surface.");
        return;
    }
    auto server = Server();
    auto &displayManager = OHOS::Rosen::DisplayManager::GetInstance();
    auto &screenManager = OHOS::Rosen::ScreenManager::GetInstance();

    OHOS::Rosen::VirtualScreenOption option;
    option.name_ = "mirrax";
    option.width_ = static_cast<uint32_t>(width_);
    option.height_ = static_cast<uint32_t>(height_);
    option.density_ = 0.0f;
    option.surface_ = nullptr;
    option.flags_ = 0;
    option.isForShot_ = true;
    option.missionIds_ = {};
    option.virtualScreenType_ = 0;
    option.isSecurity_ = true;
    option.virtualScreenFlag_ = 0;
    option.supportsFocus_ = true;
    option.supportsInput_ = true;
    option.serialNumber_ = "";

    OHOS::sptr<OHOS::Rosen::Display> display = displayManager.GetDisplayByScreen(mainId);
    if (display) {
        MIRRAX_LOGI("%{public}s get displayInfo density:%{public}d", display->GetDpi());
        option.density_ = static_cast<float>(display->GetDpi());
    }
    virtualScreenId_ = screenManager.CreateVirtualScreen(option);
    if (screenManager.SetVirtualScreenSurface(virtualScreenId_, surface_) !=
        OHOS::Rosen::DMError::DM_OK) {
        MIRRAX_START_FAILED("set virtual screen surface failed.");
        return;
    }
    if (screenManager.SetVirtualScreenRefreshRate(
            virtualScreenId_, static_cast<uint32_t>(server->GetFrameRefreshInterval())) !=
        OHOS::Rosen::DMError::DM_OK) {
        MIRRAX_START_FAILED("set virtual screen refresh frame rate failed.");
        return;
    }
    std::vector<uint64_t> windowIds = server->GetSkipPrivacyWindowsId();
    const int32_t appPid = server->GetSkipAppPid();
    if (!windowIds.empty() && displayManager.SetVirtualScreenSecurityExemption(
                                  virtualScreenId_, static_cast<uint32_t>(appPid), windowIds) !=
                                  OHOS::Rosen::DMError::DM_OK) {
        MIRRAX_START_FAILED("set virtual screen skip privacy windows failed.");
        return;
    }
    if (mode_ == 0) {
        if (screenManager.SetVirtualMirrorScreenCanvasRotation(virtualScreenId_, true) !=
            OHOS::Rosen::DMError::DM_OK) {
            MIRRAX_START_FAILED("set virtual screen rotation failed.");
            return;
        }
        MIRRAX_LOGI("%{public}s set virtual screen rotation success.");
    }
    uint64_t groupId = display ? display->GetScreenId() : mainId;
    if (screenManager.MakeMirror(mainId, {virtualScreenId_}, groupId) !=
        OHOS::Rosen::DMError::DM_OK) {
        MIRRAX_START_FAILED("create virtual screen failed.");
        return;
    }

    // The muxer starts before the encoder, so the codec data and the first key frame,
    // which the encoder may deliver at once, find it ready.
    if (mode_ == kRecordMode && recorder_ != nullptr) {
        if (OH_AVMuxer_Start(recorder_->GetMuxer()) != AV_ERR_OK) {
            MIRRAX_START_FAILED("Failed to start video muxer!");
            return;
        }
        MIRRAX_LOGI("%{public}s Start muxer success!");
        recorder_->MarkRunning();
    }

    g_outputEncoder.store(this, std::memory_order_release);
    if (OH_VideoEncoder_Start(encoder_) != AV_ERR_OK) {
        MIRRAX_START_FAILED("Failed to start video encoder!");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        isStopped_ = false;
    }
    running_ = true;
    MIRRAX_LOGI("%{public}s video encoder was successfully started, pid=%{public}d", getpid());
}

#undef MIRRAX_START_FAILED

void ScreenEncoder::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopCond_.wait(lock, [this] { return isStopped_; });
}

void ScreenEncoder::Stop(bool notify) {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI("%{public}s Invoke ScreenEncoder::Stop....");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (isStopped_) {
            MIRRAX_LOGI("%{public}s ScreenEncoder already stop....");
            return;
        }
        isStopped_ = true;
    }
    // The encoder finishes its stream before it is stopped: what it still holds goes
    // out, the end-of-stream buffer last.
    if (OH_VideoEncoder_NotifyEndOfStream(encoder_) == AV_ERR_OK) {
        std::unique_lock<std::mutex> lock(mutex_);
        endOfStreamCond_.wait_for(lock, kEndOfStreamWait, [this] { return endOfStreamOut_; });
    }
    if (notify) {
        // No buffer reaches the stream after this, and a write still blocked on a client
        // that stopped reading is cancelled: the encoder's stop below waits for its
        // callback thread, which that write would hold for good.
        Server()->EndCurrentStream();
    }
    MIRRAX_LOGI("%{public}s Stop encoder");
    const OH_AVErrCode stopped = OH_VideoEncoder_Stop(encoder_);
    MIRRAX_LOGI("%{public}s Destroy encoder");
    const OH_AVErrCode destroyed = OH_VideoEncoder_Destroy(encoder_);
    MIRRAX_LOGI("%{public}s Destroy encoder success.");
    encoder_ = nullptr;
    ScreenEncoder *self = this;
    g_outputEncoder.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    if (stopped != AV_ERR_OK || destroyed != AV_ERR_OK) {
        MIRRAX_LOGE("%{public}s Stop encoder failed");
    }

    MIRRAX_LOGI("%{public}s Destroy virtual screen ...");
    auto &screenManager = OHOS::Rosen::ScreenManager::GetInstance();
    screenManager.StopMirror({virtualScreenId_});
    if (screenManager.DestroyVirtualScreen(virtualScreenId_) != OHOS::Rosen::DMError::DM_OK) {
        MIRRAX_LOGE("%{public}s destroy virtual screen failed..");
    }
    MIRRAX_LOGI("%{public}s Destroy virtual screen success.");

    if (mode_ == kRecordMode && g_screenRecorder) {
        g_screenRecorder->Stop();
        g_screenRecorder.reset();
    }
    recorder_ = nullptr;
    LogOutputFailures();
    if (notify) {
        stopCond_.notify_one();
        runWait_->End();
    } else {
        MIRRAX_LOGI("%{public}s Do not notify rpc stop!");
    }
    MIRRAX_LOGI("%{public}s Finish ScreenEncoder::Stop....");
}

void ScreenEncoder::LogOutputFailures() {
    MIRRAX_LOG_LABEL(kLogFile);
    if (const int32_t n = unreadableBuffers_.load(); n > 0) {
        MIRRAX_LOGE("%{public}s %{public}d output buffers had no readable memory and were dropped",
                    n);
    }
    if (const int32_t n = saveFailures_.load(); n > 0) {
        MIRRAX_LOGE("%{public}s %{public}d frames could not be saved to %{public}s", n,
                    saveFrameDir.c_str());
    }
    if (const int32_t n = sampleFailures_.load(); n > 0) {
        MIRRAX_LOGE("%{public}s WriteSample failed for %{public}d buffers of this run", n);
    }
}

int32_t ScreenEncoder::RequestIFrame() {
    MIRRAX_LOG_LABEL(kLogFile);
    OH_AVFormat *format = OH_AVFormat_Create();
    OH_AVFormat_SetIntValue(format, OH_MD_KEY_REQUEST_I_FRAME, 1);
    const int32_t ret = OH_VideoEncoder_SetParameter(encoder_, format);
    if (ret == AV_ERR_OK) {
        MIRRAX_LOGI("%{public}s Request IDR frame success, %{public}d", ret);
    } else {
        MIRRAX_LOGE("%{public}s Request IDR frame failed, %{public}d", ret);
    }
    OH_AVFormat_Destroy(format);
    return ret;
}

void ScreenEncoder::UpdateFrameCount() { frameCount_.fetch_add(1, std::memory_order_relaxed); }

int32_t ScreenEncoder::GetTotalFrameCount() { return frameCount_.load(std::memory_order_relaxed); }

int32_t ScreenEncoder::GetMode() { return mode_; }

namespace {

// The output path's lines carry the label of the encoder's output callback.
constexpr mirrax::TagChars kOutputLabel = mirrax::MakeTagChars(kLogFile, "OnNeedOutputData");

// Writes one buffer's payload to a file of its own, named by the monotonic time in
// milliseconds. Buffers within the same millisecond get "_1", "_2", ... so none
// overwrites another. Returns an empty text when the file holds the whole payload;
// otherwise what failed, and no file is left behind.
std::string SaveFrame(const uint8_t *payload, int32_t size) {
    const auto &tagChars = kOutputLabel;
    const std::string stem = saveFrameDir + "/" + std::to_string(GetCurrentMillisecond(false));
    std::string name = stem + ".h264";
    std::unique_ptr<FILE, FileCloser> file(fopen(name.c_str(), "wbx"));
    for (int n = 1; !file && errno == EEXIST && n < kMaxSameNameFiles; ++n) {
        name = stem + "_" + std::to_string(n) + ".h264";
        file.reset(fopen(name.c_str(), "wbx"));
    }
    MIRRAX_LOGD("%{public}s Saving file %{public}s", name.c_str());
    if (!file) {
        return "open " + name + ": " + strerror(errno);
    }
    std::string error;
    if (size > 0 &&
        fwrite(payload, 1, static_cast<size_t>(size), file.get()) != static_cast<size_t>(size)) {
        error = "write " + name + ": " + strerror(errno);
    }
    // A full disk often shows only when the buffered bytes are flushed by the close.
    if (fclose(file.release()) != 0 && error.empty()) {
        error = "close " + name + ": " + strerror(errno);
    }
    if (!error.empty()) {
        unlink(name.c_str());
    }
    return error;
}

// Writes one buffer into the recorder's muxer, rebased on the first non-zero pts.
// False when the muxer refused it.
bool WriteSample(ScreenRecorder *recorder, OH_AVMemory *data, OH_AVCodecBufferAttr attr) {
    const auto &tagChars = kOutputLabel;
    const int64_t first = recorder->GetFirstFrameTime();
    const int64_t pts = attr.pts;
    int64_t relative = 0;
    if (first == -1) {
        if (pts != 0) {
            recorder->SetFirstFrameTime(pts);
        } else {
            MIRRAX_LOGI("%{public}s first encode output");
        }
    } else if (pts != 0) {
        relative = pts - first;
    }
    attr.pts = relative / 1000;  // nanoseconds to microseconds, truncated toward zero
    if (OH_AVMuxer_WriteSample(recorder->GetMuxer(), static_cast<uint32_t>(recorder->GetTrackId()),
                               data, attr) != AV_ERR_OK) {
        return false;
    }
    MIRRAX_LOGI("%{public}s WriteSample success! presentationTimeUs=%{public}ld", attr.pts);
    return true;
}

void OnNeedOutputData(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                      OH_AVCodecBufferAttr *attr, void *) {
    ScreenEncoder *encoder = g_outputEncoder.load(std::memory_order_acquire);
    if (encoder == nullptr || attr == nullptr) {
        OH_VideoEncoder_FreeOutputData(codec, index);
        return;
    }
    encoder->RouteOutput(codec, index, data, attr);
}

}  // namespace

void ScreenEncoder::RouteOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                                OH_AVCodecBufferAttr *attr) {
    const auto &tagChars = kOutputLabel;
    auto server = Server();
    uint8_t *base = OH_AVMemory_GetAddr(data);
    if (base == nullptr && attr->size > 0) {
        // Nothing to send, save or mux: a message would claim bytes it does not carry.
        if (unreadableBuffers_.fetch_add(1) == 0) {
            MIRRAX_LOGE("%{public}s Output buffer %{public}u has no readable memory, dropped",
                        index);
        }
        UpdateFrameCount();
        OH_VideoEncoder_FreeOutputData(codec, index);
        return;
    }
    uint8_t *payload = base != nullptr ? base + attr->offset : nullptr;
    if (server->GetSaveFrameStatus()) {
        if (const std::string error = SaveFrame(payload, attr->size); !error.empty()) {
            if (saveFailures_.fetch_add(1) == 0) {
                MIRRAX_LOGE("%{public}s Failed to save frame: %{public}s", error.c_str());
            }
        }
    }
    if (mode_ == kRecordMode) {
        if (recorder_ != nullptr && recorder_->GetMuxer() != nullptr &&
            !WriteSample(recorder_, data, *attr) && sampleFailures_.fetch_add(1) == 0) {
            MIRRAX_LOGE("%{public}s WriteSample failed!");
        }
    } else if (mode_ == 0) {
        server->ReplyVideoData(payload, static_cast<size_t>(attr->size),
                               static_cast<int>(attr->flags), GetCurrentMillisecond(true));
    }
    if ((attr->flags & AVCODEC_BUFFER_FLAGS_CODEC_DATA) == 0 && attr->size > 0 &&
        !firstPictureOut_.exchange(true)) {
        MIRRAX_LOGI("%{public}s First picture out %{public}lld ms after the start",
                    static_cast<long long>(GetCurrentMillisecond(false) - setupStartMs_));
    }
    // Counted once routed, so a count read before the stream closes never includes a
    // buffer that the closing then kept from the client.
    UpdateFrameCount();
    OH_VideoEncoder_FreeOutputData(codec, index);
    if ((attr->flags & AVCODEC_BUFFER_FLAGS_EOS) != 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            endOfStreamOut_ = true;
        }
        endOfStreamCond_.notify_all();
    }
}

namespace {

// Ends the current run: stops the encoder with notification (which sends the run's
// last buffers and closes its stream) and releases it. mtx held.
void EndCurrentRun() {
    if (!g_screenEncoder) {
        return;
    }
    g_screenEncoder->Stop(true);
    g_screenEncoder.reset();
}

// Takes mtx for a stop. A screen-change restart may hold it while it waits for the
// encoder's callback thread, which a client that stopped reading can hold in its stream
// write for good: when mtx is taken, that write is released first.
std::unique_lock<std::mutex> LockForStop() {
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (!lock.owns_lock()) {
        Server()->EndCurrentStream();
        lock.lock();
    }
    return lock;
}

void EndRunAtExit() {
    auto lock = LockForStop();
    EndCurrentRun();
}

// A run still current when the process exits is stopped before the objects it uses are
// destroyed. The platform's services create theirs on first use, after this module's
// file-level objects, so those are destroyed first at exit; a handler registered once
// a run of the mode has started, when every service such a run uses exists, runs
// before any of them is destroyed.
void StopAtExitOnceStarted(int32_t mode) {
    static std::once_flag registered[2];
    std::call_once(registered[mode == kRecordMode ? 1 : 0], [] { std::atexit(EndRunAtExit); });
}

}  // namespace

void AdapteScreenChange() {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGD("%{public}s Enter AdapteScreenChange...");
    std::lock_guard<std::mutex> lock(mtx);
    if (!g_screenEncoder) {
        return;
    }
    MIRRAX_LOGD("%{public}s Screen changed, auto restart ScreenCopy");
    g_screenEncoder->Stop(false);
    auto next = std::make_unique<ScreenEncoder>();
    next->ContinueRunOf(*g_screenEncoder);
    g_screenEncoder = std::move(next);
    g_screenEncoder->Setup();
    g_screenEncoder->Run();
    if (!g_screenEncoder->IsRunning()) {
        // The stream would stay open and silent: end it with the reason instead.
        StartFailure failure{StartFailureKind::kRestartFailed,
                             "the screen copy could not restart after a screen change: " +
                                 g_screenEncoder->GetStartError()};
        MIRRAX_LOGE("%{public}s %{public}s", failure.text.c_str());
        g_screenEncoder->GetRunWait()->SetFailure(std::move(failure));
        EndCurrentRun();
    }
}

StartFailure NativeStartScreenCopy(const RunAdmission &admission) {
    MIRRAX_LOG_LABEL(kLogFile);
    std::shared_ptr<RunWait> runWait;
    {
        std::lock_guard<std::mutex> lock(mtx);
        MIRRAX_LOGI("%{public}s Invoke StartScreenCopy....");
        if (admission.refusal) {
            if (StartFailure refusal = admission.refusal()) {
                MIRRAX_LOGE("%{public}s Start refused: %{public}s", refusal.text.c_str());
                return refusal;
            }
        }
        EndCurrentRun();
        if (admission.bindStream) {
            admission.bindStream();
        }
        g_screenEncoder = std::make_unique<ScreenEncoder>();
        g_screenEncoder->Setup();
        g_screenEncoder->Run();
        if (!g_screenEncoder->IsRunning()) {
            // The failing step has logged its line; the caller is told the same text.
            StartFailure failure{
                StartFailureKind::kStartFailed,
                "the screen copy could not start: " + g_screenEncoder->GetStartError()};
            EndCurrentRun();
            return failure;
        }
        StopAtExitOnceStarted(g_screenEncoder->GetMode());
        if (g_screenEncoder->GetMode() != 0) {
            return {};
        }
        runWait = g_screenEncoder->GetRunWait();
    }
    return runWait->Wait();
}

void NativeStartScreenCopy() { NativeStartScreenCopy(RunAdmission{}); }

int32_t NativeStopScreenCopy() {
    MIRRAX_LOG_LABEL(kLogFile);
    auto lock = LockForStop();
    MIRRAX_LOGI("%{public}s Invoke StopScreenCopy....");
    int32_t frameCount = 0;
    if (g_screenEncoder) {
        frameCount = g_screenEncoder->GetTotalFrameCount();
        EndCurrentRun();
    }
    mainId = UINT64_MAX;
    MIRRAX_LOGI("%{public}s Finish StopScreenCopy...., frame_count: %{public}d", frameCount);
    return frameCount;
}

int32_t RequestIDRFrame() {
    MIRRAX_LOG_LABEL(kLogFile);
    std::lock_guard<std::mutex> lock(mtx);
    MIRRAX_LOGI("%{public}s Invoke RequestIDRFrame....");
    const int32_t result =
        g_screenEncoder ? g_screenEncoder->RequestIFrame() : mirrax::protocol::kNoStreamRunning;
    MIRRAX_LOGI("%{public}s Finish RequestIDRFrame....");
    return result;
}
