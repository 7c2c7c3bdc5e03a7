// One onStart run from the client's side: reads the stream on the calling thread
// while a control thread ("client-control") ends it (onEnd, TryCancel only as a last
// resort), asks for the key frames that the commands, the publishing and the view's
// viewers want (the only place that does), warns about a silent stream and refreshes
// the progress line.
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
#include "rpc_session.h"
#include "stream_stats.h"

namespace mirrax::client {

enum class EndReason { kNone, kFrames, kSeconds, kInterrupt, kSnapshot, kOutput, kServer };

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
        // Key-frame requests go out at most this often: a joining viewer's this long
        // after the last request, any other this long after the last other one. Those
        // that come meanwhile make one request. Zero: each goes out at once.
        std::chrono::milliseconds keyFrameJoinSpacing{0};
        std::chrono::milliseconds keyFrameSpacing{0};
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

    // Asks the server for a key frame on the control thread, spaced as the settings say;
    // a call after the previous request went out makes another one. Any thread.
    void RequestKeyFrame(KeyFrameNeed need = KeyFrameNeed::kAsked);
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
    // With mutex_ held.
    Clock::time_point NextDeadline() const;
    std::optional<Clock::time_point> KeyFrameDue() const;  // nothing: none wanted
    void OnTimers(std::unique_lock<std::mutex> &lock);
    void SendEnd(std::unique_lock<std::mutex> &lock);
    void SendKeyFrameRequest(std::unique_lock<std::mutex> &lock);

    RpcSession &session_;
    const Settings settings_;

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
    bool joinKeyFrameWanted_ = false;
    bool keyFrameWanted_ = false;
    Clock::time_point lastKeyFrameAsk_{};
    Clock::time_point lastOtherKeyFrameAsk_{};
    std::atomic<bool> keyFrameRequestSent_{false};
    Clock::time_point openedAt_;
    Clock::time_point lastMessageAt_;
    bool stallWarned_ = false;
    Clock::time_point nextTick_;
    Clock::time_point intervalStart_;
    uint64_t totalFrames_ = 0;
    size_t progressWidth_ = 0;  // of the progress line on the terminal
    StreamStats interval_;      // for the progress line

    std::thread control_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_STREAM_RUN_H
