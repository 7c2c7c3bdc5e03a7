#include "stream_run.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>

#include "client_log.h"

namespace mirrax::client {

namespace {

constexpr std::chrono::milliseconds kProgressInterval{500};

int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const char *EndReasonName(EndReason reason) {
    // In the order of the enumeration.
    static constexpr const char *kNames[] = {"none",     "frames", "seconds", "interrupt",
                                             "snapshot", "output", "server"};
    return kNames[static_cast<size_t>(reason)];
}

StreamRun::StreamRun(RpcSession &session, Settings settings)
    : session_(session), settings_(settings) {}

StreamRun::~StreamRun() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (control_.joinable()) {
        control_.join();
    }
}

void StreamRun::RequestEnd(EndReason reason) {
    {
        std::lock_guard lock(mutex_);
        if (reason_ != EndReason::kNone) {
            return;
        }
        reason_ = reason;
        endsWanted_ = 1;
    }
    wake_.notify_all();
}

void StreamRun::RequestKeyFrame(KeyFrameNeed need) {
    {
        std::lock_guard lock(mutex_);
        if (reason_ != EndReason::kNone) {
            return;  // the run is ending: the server would find none to ask
        }
        (need == KeyFrameNeed::kJoin ? joinKeyFrameWanted_ : keyFrameWanted_) = true;
    }
    wake_.notify_all();
}

StreamRun::Outcome StreamRun::Run(const std::function<void(const FrameMessage &)> &handler) {
    Outcome outcome;
    {
        std::lock_guard lock(mutex_);
        if (reason_ != EndReason::kNone) {
            // Ended before it began (Ctrl-C while connecting): nothing to end.
            outcome.reason = reason_;
            return outcome;
        }
        session_.OpenStream();
        streamOpen_ = true;
        openedAt_ = Clock::now();
        lastMessageAt_ = openedAt_;
        intervalStart_ = openedAt_;
        nextTick_ = openedAt_ + kProgressInterval;
    }
    control_ = std::thread([this] { ControlLoop(); });

    ReplyMessage message;
    std::string error;
    bool warnedMalformed = false;
    while (session_.Read(&message)) {
        const int64_t arrivalMs = WallClockMs();
        const auto frame = ParseFrameMessage(message, &error);
        bool handle = false;
        {
            std::lock_guard lock(mutex_);
            lastMessageAt_ = Clock::now();
            if (reason_ == EndReason::kNone) {
                handle = frame.has_value();
                if (frame) {
                    totalFrames_ += frame->IsPicture() ? 1 : 0;
                    interval_.Add(frame->IsPicture(), frame->IsKeyFrame(), frame->data.size(),
                                  frame->pts, arrivalMs);
                }
            } else if (endsSent_ == 1 && lastEndResult_ == 0 && endsWanted_ == 1) {
                // onEnd found no run: the server took our onStart only after it. The
                // pictures now arriving belong to our run, so end that one too.
                endsWanted_ = 2;
                wake_.notify_all();
            }
        }
        if (!frame && !warnedMalformed) {
            warnedMalformed = true;
            Warn("skipping a malformed message: %s", error.c_str());
        }
        if (handle) {
            outcome.stats.Add(frame->IsPicture(), frame->IsKeyFrame(), frame->data.size(),
                              frame->pts, arrivalMs);
            handler(*frame);
        }
    }
    outcome.status = session_.FinishStream();

    std::unique_lock lock(mutex_);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - openedAt_).count();
    streamOpen_ = false;
    quit_ = true;
    lock.unlock();
    wake_.notify_all();
    control_.join();  // an onEnd in flight finishes first; its deadline bounds the wait
    lock.lock();
    if (progressWidth_ > 0) {
        fprintf(stderr, "\r%*s\r", static_cast<int>(progressWidth_), "");  // a clean line
    }
    outcome.reason = reason_ == EndReason::kNone ? EndReason::kServer : reason_;
    outcome.endFailed = endFailed_;
    outcome.cancelled = cancelled_;
    return outcome;
}

std::optional<std::string> StreamRun::Failure(const Outcome &outcome, const std::string &target) {
    if (outcome.cancelled) {
        return std::string(outcome.endFailed ? "onEnd failed" : "the stream did not end") +
               ", so the client cancelled it; the server stops streaming until it is "
               "restarted";
    }
    if (!outcome.status.ok()) {
        return ExplainFailedCall("onStart", target, outcome.status);
    }
    return std::nullopt;
}

void StreamRun::ControlLoop() {
    pthread_setname_np(pthread_self(), "client-control");
    std::unique_lock lock(mutex_);
    while (!quit_) {
        // A key-frame request wakes the loop to see when it is due.
        const auto keyFrameDue = KeyFrameDue();
        auto work = [this, keyFrameDue] {
            return quit_ || endsSent_ < endsWanted_ || KeyFrameDue() != keyFrameDue ||
                   (keyFrameDue && *keyFrameDue <= Clock::now());
        };
        wake_.wait_until(lock, NextDeadline(), work);
        if (quit_) {
            break;
        }
        if (endsSent_ < endsWanted_) {
            SendEnd(lock);
        } else if (KeyFrameDue() && *KeyFrameDue() <= Clock::now()) {
            SendKeyFrameRequest(lock);
        }
        OnTimers(lock);
    }
}

std::optional<StreamRun::Clock::time_point> StreamRun::KeyFrameDue() const {
    if (!joinKeyFrameWanted_ && !keyFrameWanted_) {
        return std::nullopt;
    }
    const auto join = lastKeyFrameAsk_ + settings_.keyFrameJoinSpacing;
    return joinKeyFrameWanted_ ? join
                               : std::max(join, lastOtherKeyFrameAsk_ + settings_.keyFrameSpacing);
}

StreamRun::Clock::time_point StreamRun::NextDeadline() const {
    // The loop wakes at least once a minute even with nothing due; that is no poll.
    Clock::time_point next = Clock::now() + std::chrono::minutes(1);
    auto consider = [&next](Clock::time_point t) { next = t < next ? t : next; };
    if (reason_ == EndReason::kNone) {
        if (!stallWarned_) {
            consider(lastMessageAt_ + settings_.stallWarning);
        }
        if (settings_.duration) {
            consider(openedAt_ + *settings_.duration);
        }
    }
    if (settings_.progress) {
        consider(nextTick_);
    }
    if (const auto keyFrameDue = KeyFrameDue()) {
        consider(*keyFrameDue);
    }
    if (endAnsweredAt_ && !cancelled_) {
        consider(*endAnsweredAt_ + settings_.endGrace);
    }
    return next;
}

void StreamRun::OnTimers(std::unique_lock<std::mutex> &lock) {
    const auto now = Clock::now();
    if (reason_ == EndReason::kNone && settings_.duration &&
        now >= openedAt_ + *settings_.duration) {
        reason_ = EndReason::kSeconds;
        endsWanted_ = 1;
        SendEnd(lock);
        return;
    }
    if (reason_ == EndReason::kNone && !stallWarned_ &&
        now >= lastMessageAt_ + settings_.stallWarning) {
        stallWarned_ = true;
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(settings_.stallWarning).count();
        Warn(
            "no frames for %lld s: the screen may be still (try 'mirrax_client idr'), or the "
            "server has stopped streaming for good because an earlier client vanished "
            "mid-stream (restart the host)",
            static_cast<long long>(seconds));
    }
    if (endAnsweredAt_ && !cancelled_ && now >= *endAnsweredAt_ + settings_.endGrace) {
        cancelled_ = true;
        Warn("the server did not end the stream after onEnd; cancelling it");
        session_.CancelStream();
    }
    if (settings_.progress && now >= nextTick_) {
        // "frames 120  29.8 fps  680.1 kbit/s  send-to-arrival 12.0 ms", rewritten in place.
        double seconds = std::chrono::duration<double>(now - intervalStart_).count();
        seconds = seconds > 0.0 ? seconds : 1.0;
        char text[160];
        snprintf(text, sizeof(text), "frames %llu  %.1f fps  %.1f kbit/s",
                 static_cast<unsigned long long>(totalFrames_),
                 static_cast<double>(interval_.Frames()) / seconds,
                 static_cast<double>(interval_.Bytes()) * 8.0 / 1000.0 / seconds);
        std::string line = text;
        if (const auto latency = interval_.LatencyMedian()) {
            snprintf(text, sizeof(text), "  send-to-arrival %.1f ms", *latency);
            line += text;
        }
        const size_t pad = progressWidth_ > line.size() ? progressWidth_ - line.size() : 0;
        fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
        progressWidth_ = line.size();
        intervalStart_ = now;
        interval_ = StreamStats();
        nextTick_ = now + kProgressInterval;
    }
}

void StreamRun::SendEnd(std::unique_lock<std::mutex> &lock) {
    ++endsSent_;
    lock.unlock();
    int32_t result = 0;
    const grpc::Status status = session_.End(&result);
    lock.lock();
    if (status.ok()) {
        lastEndResult_ = result;
        endAnsweredAt_ = Clock::now();
        return;
    }
    // Without onEnd the stream can only be cancelled; the server then stops streaming
    // until it is restarted, which is why this is the last resort.
    endFailed_ = true;
    Say("error: %s; cancelling the stream",
        ExplainFailedCall("onEnd", session_.Target(), status).c_str());
    if (!cancelled_) {
        cancelled_ = true;
        session_.CancelStream();
    }
}

void StreamRun::SendKeyFrameRequest(std::unique_lock<std::mutex> &lock) {
    // One request answers every one waiting, whatever it waits for.
    lastKeyFrameAsk_ = Clock::now();
    if (keyFrameWanted_) {
        lastOtherKeyFrameAsk_ = lastKeyFrameAsk_;
    }
    joinKeyFrameWanted_ = false;
    keyFrameWanted_ = false;
    keyFrameRequestSent_ = true;
    lock.unlock();
    int32_t result = 0;
    const grpc::Status status = session_.RequestIdrFrame(&result);
    lock.lock();
    if (!status.ok()) {
        Warn("%s", ExplainFailedCall("onRequestIDRFrame", session_.Target(), status).c_str());
    } else if (result != 0) {
        Warn("the server did not take the key-frame request (result %d)", result);
    }
}

}  // namespace mirrax::client
