// view: holds one stream from the host and relays it to browsers (ViewServer). The
// stream is retried with a bounded backoff while the host is away; Ctrl-C ends the
// run with onEnd, closes the viewers' sockets and exits 0.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "commands.h"
#include "signal_watcher.h"
#include "stream_run.h"
#include "view_server.h"

namespace mirrax::client {

namespace {

constexpr std::chrono::milliseconds kConnectAttempt{1000};
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};
// Requests from many viewers at once come out as one.
constexpr std::chrono::milliseconds kKeyFrameSpacing{100};
// A host in record mode ends onStart at once, without a picture; after this many
// such runs in a row the relay gives up instead of restarting its recording forever.
constexpr int kEmptyRunsBeforeGivingUp = 3;

// What the relay's threads share: the session of the current run, the run itself
// (so Ctrl-C can end it) and the key-frame requests waiting to go out.
class RelayState {
public:
    using Clock = std::chrono::steady_clock;

    ~RelayState() { StopKeyFrames(); }

    void StartKeyFrames() {
        keyFrames_ = std::thread([this] { KeyFrameLoop(); });
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

    void RequestKeyFrame() {
        {
            std::lock_guard lock(mutex_);
            keyFrameWanted_ = true;
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
    void KeyFrameLoop() {
        pthread_setname_np(pthread_self(), "view-keyframe");
        std::unique_lock lock(mutex_);
        Clock::time_point last{};
        while (true) {
            changed_.wait(lock, [this] { return quit_ || (keyFrameWanted_ && session_); });
            if (quit_) {
                return;
            }
            if (Clock::now() < last + kKeyFrameSpacing) {
                changed_.wait_until(lock, last + kKeyFrameSpacing, [this] { return quit_; });
                continue;
            }
            keyFrameWanted_ = false;
            last = Clock::now();
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
    bool keyFrameWanted_ = false;
    std::shared_ptr<RpcSession> session_;
    StreamRun *run_ = nullptr;
    std::thread keyFrames_;
};

// HOST:PORT, the host possibly in brackets.
void SplitListen(const std::string &listen, std::string *host, uint16_t *port) {
    const size_t colon = listen.rfind(':');
    *host = listen.substr(0, colon);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    *port = static_cast<uint16_t>(std::stoi(listen.substr(colon + 1)));
}

}  // namespace

int RunView(const ClientOptions &options, sigset_t stopSignals) {
    RelayState relay;
    ViewServer::Settings settings;
    SplitListen(options.listen, &settings.address, &settings.port);
    ViewServer server(settings, [&relay] { relay.RequestKeyFrame(); });
    std::string error;
    if (!server.Start(&error)) {
        return Fail(error);
    }
    const bool loopback = IsLoopbackAddress(settings.address);
    const std::string shownHost = settings.address.find(':') == std::string::npos
                                      ? settings.address
                                      : "[" + settings.address + "]";
    if (!loopback) {
        fprintf(stderr,
                "mirrax_client: warning: the view listens on %s:%u, not on loopback: anyone "
                "who reaches this address can watch the screen\n",
                shownHost.c_str(), server.Port());
    }
    printf("view: watch the screen at http://%s:%u/ (Ctrl-C to stop)\n", shownHost.c_str(),
           server.Port());
    fflush(stdout);

    tools::SignalWatcher watcher("client-signals", stopSignals,
                                 [&relay](int) { relay.Interrupt(); });
    relay.StartKeyFrames();

    auto retry = kFirstRetry;
    bool reportedAway = false;
    int emptyRuns = 0;
    int status = kExitOk;
    while (!relay.Stopping()) {
        std::shared_ptr<RpcSession> session =
            RpcSession::Connect(options.server, kConnectAttempt, &error);
        if (!session) {
            if (!reportedAway) {
                reportedAway = true;
                fprintf(stderr, "mirrax_client: view: %s; retrying until it answers\n",
                        error.c_str());
                server.SetHostState(HostState::kDown, "the host does not answer");
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
                fprintf(stderr, "mirrax_client: view: streaming from %s\n", options.server.c_str());
                server.SetHostState(HostState::kUp, "");
            }
            server.Publish(RelayBuffer{std::string(frame.data), frame.flags, frame.pts});
        });
        relay.Detach();
        if (outcome.reason == EndReason::kInterrupt) {
            break;
        }
        if (outcome.stats.Frames() > 0) {
            retry = kFirstRetry;
            emptyRuns = 0;
        }
        const auto failure = StreamRun::Failure(outcome, options.server);
        if (!failure && outcome.stats.Frames() == 0) {
            // Answered without a stream: whatever that onStart started (a recording)
            // is ended again.
            int32_t ignored = 0;
            session->End(&ignored);
            if (++emptyRuns >= kEmptyRunsBeforeGivingUp) {
                status = Fail("the host at " + options.server +
                              " answers onStart without streaming: it is in record mode (-m "
                              "1); view needs a host in stream mode");
                break;
            }
        }
        const std::string why = failure ? *failure : "the host ended the stream";
        fprintf(stderr, "mirrax_client: view: %s; retrying\n", why.c_str());
        reportedAway = true;
        server.SetHostState(HostState::kDown, why);
        if (relay.StoppingAfter(retry)) {
            break;
        }
        retry = std::min(retry * 2, kLongestRetry);
    }
    relay.StopKeyFrames();
    server.Stop();
    fprintf(stderr, "mirrax_client: view: stopped\n");
    return status;
}

}  // namespace mirrax::client
