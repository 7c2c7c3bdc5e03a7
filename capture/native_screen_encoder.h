// The capture pipeline: a virtual screen mirrors the chosen display into the input
// surface of an H.264 encoder whose output goes to the client's stream or the MP4
// recorder. At most one ScreenEncoder is current; the control functions below and the
// screen-change restart replace it under one global mutex. docs/architecture.md has
// the whole map.
//
// Threads:
// - gRPC handler threads call the control functions (onStart, onEnd,
//   onRequestIDRFrame); the host's calling thread calls NativeStopScreenCopy once the
//   stop signal is raised; the exiting thread stops a run still current at exit.
// - The display's notification thread ("screen-notify") calls
//   ScreenChangeListener::OnChange and so AdapteScreenChange.
// - The encoder's callback thread ("mirrax-venc-cb") calls OnNeedOutputData, one
//   buffer at a time: ScreenEncoder::RouteOutput, then RpcServer::ReplyVideoData or
//   the muxer. It finds its encoder through an atomic pointer, never through
//   g_screenEncoder.
// Locks, outermost first:
// - mtx: held for every start, stop, restart and key-frame request. Under it a stop
//   waits (bounded) for the end-of-stream buffer, closes the stream, and joins the
//   encoder's threads. The encoder's callback thread never takes mtx: the stops that
//   hold it wait for that thread.
// - leaves, never held while another lock is taken: ScreenEncoder::mutex_ (end of
//   run, end-of-stream buffer out), RunWait::mutex (the waiting onStart call), and
//   the RpcServer locks (rpc/rpc_server.h).
#ifndef MIRRAX_CAPTURE_NATIVE_SCREEN_ENCODER_H
#define MIRRAX_CAPTURE_NATIVE_SCREEN_ENCODER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "capture/start_failure.h"
#include "common/mirrax_log.h"
#include "multimedia/player_framework/native_avcodec_base.h"
#include "refbase.h"
#include "screen_manager.h"
#include "surface.h"

// The end of a streaming run as the waiting onStart call sees it. It is shared by an
// encoder and the encoders that screen-change restarts put in its place, and by the
// waiting thread, so the wait survives restarts and never touches a destroyed encoder.
struct RunWait {
    std::mutex mutex;
    std::condition_variable ended;
    bool isEnded = false;
    StartFailure failure;  // why the run ended early; none for a requested stop

    // Records why the run is about to end early; the end itself follows.
    void SetFailure(StartFailure why);
    void End();
    // Returns why the run ended early, none for a requested stop.
    StartFailure Wait();
};

// Watches one screen and calls its callback, on the platform's notification thread,
// when that screen changes.
class MIRRAX_EXPORT ScreenChangeListener : public OHOS::Rosen::ScreenManager::IScreenListener {
public:
    ScreenChangeListener(std::function<void()> callback, uint64_t targetId);
    ~ScreenChangeListener() override;

    void OnConnect(uint64_t) override {}
    void OnDisconnect(uint64_t) override {}
    void OnChange(uint64_t id) override;

private:
    std::function<void()> callback_;
    uint64_t targetId_;
};

class ScreenRecorder;

class MIRRAX_EXPORT ScreenEncoder {
public:
    ScreenEncoder();
    virtual ~ScreenEncoder();
    ScreenEncoder(const ScreenEncoder &) = delete;
    ScreenEncoder &operator=(const ScreenEncoder &) = delete;

    bool Setup();
    void Run();
    void Loop();
    // Ends the run: the encoder's remaining buffers go out, the end-of-stream buffer
    // last (waited for at most a second), then the encoder and the virtual
    // screen are released. With notify it also closes the client's stream before it
    // waits for the encoder's threads, and ends the wait of the streaming call;
    // without (a restart) the stream stays open for the next encoder. mtx held.
    void Stop(bool notify);
    int32_t RequestIFrame();
    void UpdateFrameCount();
    int32_t GetTotalFrameCount();
    int32_t GetMode();

    // Makes this encoder continue the run of `previous` (a screen-change restart):
    // the streaming call keeps waiting for the end of the same run.
    void ContinueRunOf(const ScreenEncoder &previous);
    std::shared_ptr<RunWait> GetRunWait() const { return runWait_; }

    // Why Setup or Run gave up (the text of its error line); empty once the encoder
    // runs.
    std::string GetStartError() const { return startError_; }
    bool IsRunning() const;

    // Called on the encoder's callback thread for every output buffer. Takes no lock
    // but mutex_, briefly, for the end-of-stream buffer.
    void RouteOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *data,
                     OH_AVCodecBufferAttr *attr);

    static OHOS::sptr<ScreenChangeListener> g_screenChangeListener;

private:
    OH_AVCodec *encoder_ = nullptr;
    OHOS::sptr<OHOS::Surface> surface_;
    uint64_t virtualScreenId_ = UINT64_MAX;
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::mutex mutex_;
    std::condition_variable stopCond_;
    bool isStopped_ = false;
    // The end-of-stream buffer has been routed (guarded by mutex_).
    std::condition_variable endOfStreamCond_;
    bool endOfStreamOut_ = false;
    int32_t mode_ = 0;
    std::atomic<int32_t> frameCount_{0};

    std::shared_ptr<RunWait> runWait_ = std::make_shared<RunWait>();
    std::string startError_ = "not set up";
    bool running_ = false;
    // The recorder of this run (owned by g_screenRecorder), for the callback thread.
    ScreenRecorder *recorder_ = nullptr;
    // Output failures of this run: counted on the callback thread, the first one
    // logged there, the totals logged when the run stops.
    std::atomic<int32_t> unreadableBuffers_{0};
    std::atomic<int32_t> saveFailures_{0};
    // When Setup began (steady clock, ms), and whether the first picture has gone out
    // since: the start-up time is logged once per run.
    int64_t setupStartMs_ = 0;
    std::atomic<bool> firstPictureOut_{false};
    std::atomic<int32_t> sampleFailures_{0};

    bool Fail(const std::string &cause);
    void LogOutputFailures();
};

// Restarts the capture after a change of the mirrored screen.
void AdapteScreenChange();

// Builds the encoder format; the caller releases it with OH_AVFormat_Destroy.
MIRRAX_EXPORT OH_AVFormat *initFormat(int width, int height);

// Wall-clock (true) or monotonic (false) time in whole milliseconds.
MIRRAX_EXPORT int64_t GetCurrentMillisecond(bool wallClock);

// How the caller of NativeStartScreenCopy takes part in the start, under the pipeline lock.
struct RunAdmission {
    // Why no run may start now; none to go on. Asked before the current run is
    // touched.
    std::function<StartFailure()> refusal;
    // Makes the caller's stream the one the new run's frames go to. Called after the
    // previous run has been stopped, so none of its buffers reaches the new stream.
    std::function<void()> bindStream;
};

// Starts a mirroring run. Returns no failure when the run started (in stream mode:
// once it has been stopped with notification), otherwise why it did not start or
// why its stream ended early; a run that cannot start is stopped and released at once.
MIRRAX_EXPORT StartFailure NativeStartScreenCopy(const RunAdmission &admission);
// A start without admission or stream of its own; the outcome goes only to the log.
MIRRAX_EXPORT void NativeStartScreenCopy();
// Stops the current run; returns its frame count, 0 when none was current.
MIRRAX_EXPORT int32_t NativeStopScreenCopy();
// Asks the current encoder for a key frame; 6 when none is current.
MIRRAX_EXPORT int32_t RequestIDRFrame();

#endif  // MIRRAX_CAPTURE_NATIVE_SCREEN_ENCODER_H
