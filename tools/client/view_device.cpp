// One host of the view: its stream, retried with a bounded backoff while the host is
// away, relayed to the ViewServer as one device.
#include "view_device.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "commands.h"
#include "stream_run.h"

namespace mirrax::client {

namespace {

constexpr std::chrono::milliseconds kConnectAttempt{1000};
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};
// A joining viewer's key frame is asked for at once; joins within this time of an
// ask come out as one.
constexpr std::chrono::milliseconds kJoinKeyFrameSpacing{100};
// Every other request (a viewer's button, a viewer that fell behind) is asked for at
// most once in this time, however many viewers want one.
constexpr std::chrono::milliseconds kKeyFrameSpacing{1000};
// A host in record mode ends onStart at once, without a picture; after this many
// such runs in a row the relay gives up instead of restarting its recording forever.
constexpr int kEmptyRunsBeforeGivingUp = 3;

}  // namespace

// What the relay's threads share: the session of the current run, the run itself
// (so Ctrl-C can end it) and the key-frame requests waiting to go out.
class ViewDevice::RelayState {
public:
    using Clock = std::chrono::steady_clock;

    ~RelayState() { StopKeyFrames(); }

    void StartKeyFrames(std::string threadName) {
        keyFrames_ = std::thread([this, threadName] {
            pthread_setname_np(pthread_self(), threadName.c_str());
            KeyFrameLoop();
        });
    }
    void StopKeyFrames() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        if (keyFrames_.joinable()) {
            keyFrames_.join();
        }
    }

    void RequestKeyFrame(KeyFrameNeed need) {
        {
            std::lock_guard lock(mutex_);
            (need == KeyFrameNeed::kJoin ? joinWanted_ : askedWanted_) = true;
        }
        changed_.notify_all();
    }

    void Interrupt() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            if (run_) {
                run_->RequestEnd(EndReason::kInterrupt);
            }
        }
        changed_.notify_all();
    }

    // False when the relay is stopping: the run must not start.
    bool Attach(const std::shared_ptr<RpcSession> &session, StreamRun *run) {
        std::lock_guard lock(mutex_);
        session_ = session;
        run_ = run;
        return !stopping_;
    }
    void Detach() {
        std::lock_guard lock(mutex_);
        session_.reset();
        run_ = nullptr;
    }

    // Waits `delay` unless the relay stops first; true when it is stopping.
    bool StoppingAfter(std::chrono::milliseconds delay) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, delay, [this] { return stopping_; });
        return stopping_;
    }
    bool Stopping() const {
        std::lock_guard lock(mutex_);
        return stopping_;
    }

private:
    // When the wanted key frame may be asked for (guarded by mutex_); nothing when none
    // is wanted.
    std::optional<Clock::time_point> KeyFrameDue() const {
        std::optional<Clock::time_point> due;
        if (askedWanted_) {
            due = std::max(lastAsk_ + kJoinKeyFrameSpacing, lastAskedAsk_ + kKeyFrameSpacing);
        }
        if (joinWanted_) {
            due = std::min(due.value_or(Clock::time_point::max()), lastAsk_ + kJoinKeyFrameSpacing);
        }
        return due;
    }

    void KeyFrameLoop() {
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return quit_ || (KeyFrameDue() && session_); });
            if (quit_) {
                return;
            }
            const Clock::time_point due = *KeyFrameDue();
            if (Clock::now() < due) {
                // A join that comes meanwhile may be due sooner.
                changed_.wait_until(lock, due, [this, due] {
                    const auto now = KeyFrameDue();
                    return quit_ || (now && *now < due);
                });
                continue;
            }
            // One ask answers every viewer waiting, whatever it waits for.
            lastAsk_ = Clock::now();
            if (askedWanted_) {
                lastAskedAsk_ = lastAsk_;
            }
            joinWanted_ = false;
            askedWanted_ = false;
            const std::shared_ptr<RpcSession> session = session_;
            lock.unlock();
            int32_t result = 0;
            const grpc::Status status = session->RequestIdrFrame(&result);
            if (!status.ok()) {
                fprintf(stderr, "mirrax_client: warning: %s\n",
                        ExplainFailedCall("onRequestIDRFrame", session->Target(), status).c_str());
            }
            lock.lock();
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool quit_ = false;
    bool stopping_ = false;
    bool joinWanted_ = false;
    bool askedWanted_ = false;
    Clock::time_point lastAsk_{};
    Clock::time_point lastAskedAsk_{};
    std::shared_ptr<RpcSession> session_;
    StreamRun *run_ = nullptr;
    std::thread keyFrames_;
};

ViewDevice::ViewDevice(ViewServer &server, Settings settings)
    : server_(server),
      settings_(std::move(settings)),
      prefix_(settings_.name.empty() ? "" : settings_.name + ": "),
      relay_(std::make_unique<RelayState>()) {}

ViewDevice::~ViewDevice() {
    Interrupt();
    Join();
}

void ViewDevice::Start() {
    const std::string index = std::to_string(settings_.index);
    relay_->StartKeyFrames("view-key-" + index);
    thread_ = std::thread([this, index] {
        pthread_setname_np(pthread_self(), ("view-host-" + index).c_str());
        status_ = Loop();
    });
}

void ViewDevice::RequestKeyFrame(KeyFrameNeed need) { relay_->RequestKeyFrame(need); }

void ViewDevice::Interrupt() { relay_->Interrupt(); }

int ViewDevice::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return status_;
}

int ViewDevice::Loop() {
    ViewServer &server = server_;
    RelayState &relay = *relay_;
    const std::string &target = settings_.server;
    const size_t index = settings_.index;
    const char *prefix = prefix_.c_str();
    std::string error;
    auto retry = kFirstRetry;
    bool reportedAway = false;
    int emptyRuns = 0;
    int status = kExitOk;
    while (!relay.Stopping()) {
        std::shared_ptr<RpcSession> session = RpcSession::Connect(target, kConnectAttempt, &error);
        if (!session) {
            if (!reportedAway) {
                reportedAway = true;
                fprintf(stderr, "mirrax_client: view: %s%s; retrying until it answers\n", prefix,
                        error.c_str());
                server.SetHostState(HostState::kDown, "the host does not answer", index);
            }
            if (relay.StoppingAfter(retry)) {
                break;
            }
            retry = std::min(retry * 2, kLongestRetry);
            continue;
        }
        StreamRun::Settings runSettings;
        StreamRun run(*session, runSettings);
        if (!relay.Attach(session, &run)) {
            relay.Detach();
            break;
        }
        bool announced = false;
        const StreamRun::Outcome outcome = run.Run([&](const FrameMessage &frame) {
            if (!announced) {
                announced = true;
                reportedAway = false;
                fprintf(stderr, "mirrax_client: view: %sstreaming from %s\n", prefix,
                        target.c_str());
                server.SetHostState(HostState::kUp, "", index);
            }
            server.Publish(RelayBuffer{std::string(frame.data), frame.flags, frame.pts}, index);
        });
        relay.Detach();
        if (outcome.reason == EndReason::kInterrupt) {
            break;
        }
        if (outcome.stats.Frames() > 0) {
            retry = kFirstRetry;
            emptyRuns = 0;
        }
        const auto failure = StreamRun::Failure(outcome, target);
        if (!failure && outcome.stats.Frames() == 0) {
            // Answered without a stream: whatever that onStart started (a recording)
            // is ended again.
            int32_t ignored = 0;
            session->End(&ignored);
            if (++emptyRuns >= kEmptyRunsBeforeGivingUp) {
                const std::string why = "the host at " + target +
                                        " answers onStart without streaming: it is in record "
                                        "mode (-m 1); view needs a host in stream mode";
                if (!settings_.oneOfMany) {
                    status = Fail(why);
                    break;
                }
                // One device of a grid: its tile says so, the others go on.
                fprintf(stderr, "mirrax_client: view: %s%s; its tile shows no stream\n", prefix,
                        why.c_str());
                server.SetHostState(HostState::kNoStream, "the host is in record mode (-m 1)",
                                    index);
                status = kExitFailure;
                break;
            }
        }
        const std::string why = failure ? *failure : "the host ended the stream";
        fprintf(stderr, "mirrax_client: view: %s%s; retrying\n", prefix, why.c_str());
        reportedAway = true;
        server.SetHostState(HostState::kDown, why, index);
        if (relay.StoppingAfter(retry)) {
            break;
        }
        retry = std::min(retry * 2, kLongestRetry);
    }
    relay.StopKeyFrames();
    return status;
}

}  // namespace mirrax::client
