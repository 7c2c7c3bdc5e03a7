// view: holds one stream from the host and relays it to browsers (ViewServer). The
// stream is retried with a bounded backoff while the host is away; Ctrl-C ends the
// run with onEnd, closes the viewers' sockets and exits 0.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "commands.h"
#include "open_file_limit.h"
#include "retry_backoff.h"
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

// What the relay's threads share: the current run, which Ctrl-C ends and the viewers'
// key-frame requests go to.
class RelayState {
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
    settings.address = options.listenAddress;
    settings.port = options.listenPort;
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
        Warn("%s", limitFailure.c_str());
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
        Say("view: the page, its stream and /stats need the token in that address%s", why.c_str());
    }

    tools::SignalWatcher watcher("client-signals", stopSignals,
                                 [&relay](int) { relay.Interrupt(); });

    RetryBackoff retry(kFirstRetry, kLongestRetry);
    bool reportedAway = false;
    int emptyRuns = 0;
    int status = kExitOk;
    while (!relay.Stopping()) {
        auto session = RpcSession::Connect(options.server, kConnectAttempt, &error);
        if (!session) {
            if (!reportedAway) {
                reportedAway = true;
                Say("view: %s; retrying until it answers", error.c_str());
                server.SetHostState(HostState::kDown, "the host does not answer");
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
                Say("view: streaming from %s", options.server.c_str());
                server.SetHostState(HostState::kUp, "");
            }
            server.Publish(RelayBuffer{std::string(frame.data), frame.flags, frame.pts});
        });
        relay.Detach();
        if (outcome.reason == EndReason::kInterrupt) {
            break;
        }
        if (outcome.stats.Frames() > 0) {
            retry.Reset();
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
        Say("view: %s; retrying", why.c_str());
        reportedAway = true;
        server.SetHostState(HostState::kDown, why);
        if (relay.StoppingAfter(retry.Next())) {
            break;
        }
    }
    server.Stop();
    Say("view: stopped");
    return status;
}

}  // namespace mirrax::client
