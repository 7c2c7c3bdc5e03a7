// One host of the view: its stream, retried with a bounded backoff while the host is
// away, relayed to the ViewServer as one device.
#include "view_device.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "commands.h"
#include "retry_backoff.h"
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

// What the device's thread shares with the others: the current run, which Ctrl-C ends
// and the viewers' key-frame requests go to.
class ViewDevice::RelayState {
public:
    void RequestKeyFrame(KeyFrameNeed need) {
        std::lock_guard lock(mutex_);
        if (run_ != nullptr) {
            run_->RequestKeyFrame(need);
        }
    }

    void Interrupt() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            if (run_ != nullptr) {
                run_->RequestEnd(EndReason::kInterrupt);
            }
        }
        changed_.notify_all();
    }

    // False when the relay is stopping: the run must not start.
    bool Attach(StreamRun *run) {
        std::lock_guard lock(mutex_);
        run_ = stopping_ ? nullptr : run;
        return !stopping_;
    }
    void Detach() { Attach(nullptr); }

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
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    StreamRun *run_ = nullptr;
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
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(),
                           ("view-host-" + std::to_string(settings_.index)).c_str());
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
    RetryBackoff retry(kFirstRetry, kLongestRetry);
    bool reportedAway = false;
    int emptyRuns = 0;
    int status = kExitOk;
    while (!relay.Stopping()) {
        auto session = RpcSession::Connect(target, kConnectAttempt, &error);
        if (!session) {
            if (!reportedAway) {
                reportedAway = true;
                Say("view: %s%s; retrying until it answers", prefix, error.c_str());
                server.SetHostState(HostState::kDown, "the host does not answer", index);
            }
            if (relay.StoppingAfter(retry.Next())) {
                break;
            }
            continue;
        }
        StreamRun::Settings runSettings;
        runSettings.keyFrameJoinSpacing = kJoinKeyFrameSpacing;
        runSettings.keyFrameSpacing = kKeyFrameSpacing;
        StreamRun run(*session, runSettings);
        if (!relay.Attach(&run)) {
            break;
        }
        bool announced = false;
        const StreamRun::Outcome outcome = run.Run([&](const FrameMessage &frame) {
            if (!announced) {
                announced = true;
                reportedAway = false;
                Say("view: %sstreaming from %s", prefix, target.c_str());
                server.SetHostState(HostState::kUp, "", index);
            }
            server.Publish(RelayBuffer{std::string(frame.data), frame.flags, frame.pts}, index);
        });
        relay.Detach();
        if (outcome.reason == EndReason::kInterrupt) {
            break;
        }
        if (outcome.stats.Frames() > 0) {
            retry.Reset();
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
                Say("view: %s%s; its tile shows no stream", prefix, why.c_str());
                server.SetHostState(HostState::kNoStream, "the host is in record mode (-m 1)",
                                    index);
                status = kExitFailure;
                break;
            }
        }
        const std::string why = failure ? *failure : "the host ended the stream";
        Say("view: %s%s; retrying", prefix, why.c_str());
        reportedAway = true;
        server.SetHostState(HostState::kDown, why, index);
        if (relay.StoppingAfter(retry.Next())) {
            break;
        }
    }
    return status;
}

}  // namespace mirrax::client
