// One onStart run from the client's side: reads the stream on the calling thread
// while a control thread ends it (onEnd, TryCancel only as a last resort), asks for
// key frames, warns about a silent stream and refreshes the progress line.
#ifndef MIRRAX_TOOLS_CLIENT_STREAM_RUN_H
#define MIRRAX_TOOLS_CLIENT_STREAM_RUN_H

#include <grpcpp/grpcpp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame_message.h"
#include "progress_line.h"
#include "rpc_session.h"
#include "stream_stats.h"

namespace mirrax::client {

enum class EndReason {
    kNone,
    kFrames,
    kSeconds,
    kInterrupt,
    kSnapshot,
    kTimeout,
    kOutput,
    kServer
};

// "frames", "seconds", "interrupt", ... as the summary names it.
const char *EndReasonName(EndReason reason);

class StreamRun {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        std::optional<std::chrono::milliseconds> duration;  // end the run after this long
        bool progress = false;                              // progress line on stderr
        std::chrono::milliseconds stallWarning{5000};       // warn once after this silence
        std::chrono::milliseconds endGrace{10000};  // after onEnd, wait this long for the end
    };

    struct Outcome {
        grpc::Status status;  // the stream's final status
        EndReason reason = EndReason::kNone;
        bool endFailed = false;  // onEnd failed
        bool cancelled = false;  // the client cancelled the stream (last resort)
        StreamStats stats;       // the messages handed to the handler
        double seconds = 0.0;    // from the stream's opening to its end
    };

    StreamRun(RpcSession &session, Settings settings);
    ~StreamRun();
    StreamRun(const StreamRun &) = delete;
    StreamRun &operator=(const StreamRun &) = delete;

    // Ends the run: the control thread calls onEnd and the stream is read to its end.
    // Any thread, any number of times; the first reason is kept.
    void RequestEnd(EndReason reason);

    // Asks the server for a key frame on the control thread; every call after the
    // previous request went out sends another one.
    void RequestKeyFrame();
    // True from just before the key-frame request goes out. A buffer read after this
    // is true is newer than the request: the key frame it causes can arrive before the
    // request's answer, so the answer is no marker.
    bool KeyFrameRequestSent() const { return keyFrameRequestSent_; }

    // Opens the stream and reads it on the calling thread until the server ends it.
    // Each message that arrives before an end was requested goes to `handler`.
    Outcome Run(const std::function<void(const FrameMessage &)> &handler);

    // A one-line reason when the run failed: the server ended the stream with an
    // error (a refusal included), or the client had to cancel it. Nothing otherwise.
    static std::optional<std::string> Failure(const Outcome &outcome, const std::string &target);

private:
    void ControlLoop();
    Clock::time_point NextDeadline() const;  // with mutex_ held
    void OnTimers(std::unique_lock<std::mutex> &lock);
    void SendEnd(std::unique_lock<std::mutex> &lock);
    void SendKeyFrameRequest(std::unique_lock<std::mutex> &lock);

    RpcSession &session_;
    const Settings settings_;
    ProgressLine progress_{stderr};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool streamOpen_ = false;
    EndReason reason_ = EndReason::kNone;
    int endsWanted_ = 0;
    int endsSent_ = 0;
    std::optional<int32_t> lastEndResult_;
    std::optional<Clock::time_point> endAnsweredAt_;
    bool cancelled_ = false;
    bool endFailed_ = false;
    bool keyFrameWanted_ = false;
    bool keyFrameSent_ = false;
    std::atomic<bool> keyFrameRequestSent_{false};
    Clock::time_point openedAt_;
    Clock::time_point lastMessageAt_;
    bool stallWarned_ = false;
    Clock::time_point nextTick_;
    Clock::time_point intervalStart_;
    uint64_t totalFrames_ = 0;
    uint64_t intervalFrames_ = 0;
    uint64_t intervalBytes_ = 0;
    std::vector<int64_t> intervalLatencies_;

    std::thread control_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_STREAM_RUN_H
