// view: holds one stream from the host and relays it to browsers (ViewServer). The
// stream is retried with a bounded backoff while the host is away; Ctrl-C ends the
// run with onEnd, closes the viewers' sockets and exits 0.
#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "commands.h"
#include "open_file_limit.h"
#include "signal_watcher.h"
#include "stream_run.h"
#include "view_server.h"

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
constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxConnectionsPerAddress = 32;
constexpr size_t kTokenBytes = 24;  // 192 bits
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
        pthread_setname_np(pthread_self(), "view-keyframe");
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

// HOST:PORT, the host possibly in brackets.
void SplitListen(const std::string &listen, std::string *host, uint16_t *port) {
    const size_t colon = listen.rfind(':');
    *host = listen.substr(0, colon);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    *port = static_cast<uint16_t>(std::stoi(listen.substr(colon + 1)));
}

// A random token in hex; empty when the system has no randomness to give.
std::string RandomToken() {
    uint8_t bytes[kTokenBytes];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0 && errno != EINTR) {
            return {};
        }
        filled += got > 0 ? static_cast<size_t>(got) : 0;
    }
    std::string token;
    for (const uint8_t byte : bytes) {
        static constexpr char kHex[] = "0123456789abcdef";
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

}  // namespace

int RunView(const ClientOptions &options, sigset_t stopSignals) {
    RelayState relay;
    ViewServer::Settings settings;
    SplitListen(options.listen, &settings.address, &settings.port);
    settings.token = options.token.empty() ? RandomToken() : options.token;
    if (settings.token.empty()) {
        return Fail(std::string("cannot make a token: getrandom: ") + strerror(errno));
    }
    settings.requireToken = options.requireToken;
    settings.allowedOrigins = options.allowOrigins;
    // Well below the descriptors the process may hold, so a flood of connections
    // never leaves it without one.
    std::string limitFailure;
    size_t descriptors = tools::RaiseOpenFileLimit(&limitFailure);
    if (descriptors == 0) {
        descriptors = 1024;
    } else if (!limitFailure.empty()) {
        fprintf(stderr, "mirrax_client: warning: %s\n", limitFailure.c_str());
    }
    settings.maxConnections = std::clamp<size_t>(descriptors / 4, 8, kMaxConnections);
    settings.maxConnectionsPerAddress =
        std::min(kMaxConnectionsPerAddress, settings.maxConnections);
    ViewServer server(settings, [&relay](KeyFrameNeed need) { relay.RequestKeyFrame(need); });
    std::string error;
    if (!server.Start(&error)) {
        return Fail(error);
    }
    const std::string shownHost = settings.address.find(':') == std::string::npos
                                      ? settings.address
                                      : "[" + settings.address + "]";
    // The only place the token is shown.
    printf("view: watch the screen at http://%s:%u/?token=%s (Ctrl-C to stop)\n", shownHost.c_str(),
           server.Port(), settings.token.c_str());
    fflush(stdout);
    if (settings.requireToken) {
        std::string why;
        if (settings.address == "0.0.0.0" || settings.address == "::") {
            why =
                " (it listens on every address: open it with this machine's address in place "
                "of " +
                shownHost + ")";
        } else if (!IsLoopbackAddress(settings.address)) {
            why = " (it listens off loopback)";
        }
        fprintf(stderr,
                "mirrax_client: view: the page, its stream and /stats need the token in that "
                "address%s\n",
                why.c_str());
    }

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
