#include "rpc/rpc_server.h"

#include <grpcpp/grpcpp.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "capture/native_screen_encoder.h"
#include "mirrax.grpc.pb.h"
#include "rpc/open_stream.h"
#include "rpc/peer_admission.h"

template class OHOS::DelayedSingleton<RpcServer>;

namespace {

constexpr const char *kLogFile = "rpc_server";
const std::string kHost = "0.0.0.0";

constexpr int32_t kDefaultPort = 5000;
constexpr int32_t kMaxPort = 65535;
constexpr int32_t kMaxScale = 5;
constexpr int32_t kDefaultFrameRate = 60;
constexpr int32_t kRefreshClockHz = 120;
constexpr int64_t kMinBitRate = 1048576;
constexpr int64_t kDefaultBitRate = 31457280;
constexpr int32_t kDefaultIFrameInterval = 2000;

// How long a write under way may take to finish once its stream is closed before the
// call is cancelled to release it (a client that stopped reading blocks it).
constexpr std::chrono::milliseconds kCloseGrace{300};
// How long a shutdown waits for the calls in progress before it cancels them.
constexpr std::chrono::milliseconds kShutdownGrace{1000};

constexpr const char *kStopSignalRefusal =
    "streaming has ended for this server: an earlier client went away mid-stream; restart "
    "the server to stream again";
constexpr const char *kShutdownRefusal = "the server is shutting down";

void PrintLine(const std::string &text) {
    std::cout << text << std::endl;  // newline and flush
}

grpc::StatusCode StatusCodeOf(StartFailureKind kind) {
    switch (kind) {
        case StartFailureKind::kNone:
            return grpc::StatusCode::OK;
        case StartFailureKind::kStreamingEnded:
            return grpc::StatusCode::FAILED_PRECONDITION;
        case StartFailureKind::kShuttingDown:
            return grpc::StatusCode::UNAVAILABLE;
        case StartFailureKind::kStartFailed:
        case StartFailureKind::kRestartFailed:
            return grpc::StatusCode::INTERNAL;
    }
    return grpc::StatusCode::INTERNAL;
}

}  // namespace

class RpcServer::MirraxServiceImpl final : public MirraxService::Service {
public:
    grpc::Status onStart(grpc::ServerContext *context, const Empty *,
                         grpc::ServerWriter<ReplyMessage> *writer) override {
        MIRRAX_LOG_LABEL(kLogFile);
        const std::string peer = context->peer();
        MIRRAX_LOGI("%{public}s Request to start mirax, from %{public}s", peer.c_str());
        if (!IsLoopbackPeer(peer)) {
            MIRRAX_LOGI("%{public}s Call start error: connect failed.");
            return grpc::Status::CANCELLED;
        }
        auto server = OHOS::DelayedSingleton<RpcServer>::GetInstance();
        const StartFailure failure = NativeStartScreenCopy({
            .refusal = [&] { return server->StartRefusal(); },
            .bindStream = [&] { server->SetCurrentCall(context, writer); },
        });
        if (!failure) {
            return grpc::Status::OK;
        }
        return grpc::Status(StatusCodeOf(failure.kind), failure.text);
    }

    grpc::Status onEnd(grpc::ServerContext *context, const Empty *,
                       ReplyEndMessage *response) override {
        MIRRAX_LOG_LABEL(kLogFile);
        const std::string peer = context->peer();
        MIRRAX_LOGI("%{public}s Request to stop from %{public}s", peer.c_str());
        if (!IsLoopbackPeer(peer)) {
            MIRRAX_LOGI("%{public}s Call end error: connect failed.");
            return grpc::Status::CANCELLED;
        }
        response->set_result(NativeStopScreenCopy());
        return grpc::Status::OK;
    }

    grpc::Status onRequestIDRFrame(grpc::ServerContext *context, const Empty *,
                                   ReplyEndMessage *response) override {
        MIRRAX_LOG_LABEL(kLogFile);
        const std::string peer = context->peer();
        MIRRAX_LOGI("%{public}s Request to refresh IDR frame from %{public}s", peer.c_str());
        if (!IsLoopbackPeer(peer)) {
            MIRRAX_LOGI("%{public}s Call end error: connect failed.");
            return grpc::Status::CANCELLED;
        }
        response->set_result(RequestIDRFrame());
        return grpc::Status::OK;
    }
};

RpcServer::RpcServer() = default;

RpcServer::~RpcServer() = default;

void RpcServer::parse_params(OptionPairs params) {
    MIRRAX_LOG_LABEL(kLogFile);
    for (const auto &[key, value] : params) {
        const char *text = value.c_str();
        if (key == "-p") {
            const int32_t port = atoi(text);
            if (static_cast<uint32_t>(port) > static_cast<uint32_t>(kMaxPort)) {
                MIRRAX_LOGE(
                    "%{public}s invalid parma port, port range: [0, 65535]. Use default port 5000");
                port_ = kDefaultPort;
            } else {
                port_ = port;
            }
        } else if (key == "-m") {
            mode_ = atoi(text) == 1 ? 1 : 0;
        } else if (key == "-s") {
            saveFrame_ = atoi(text) == 1;
        } else if (key == "-scale") {
            const int32_t scale = atoi(text);
            if (scale <= 0) {
                MIRRAX_LOGD("%{public}s param scale error, %{public}d. Set default value 1.",
                            scale);
                scale_ = 1;
            } else if (scale > kMaxScale) {
                MIRRAX_LOGD("%{public}s param scale too big, %{public}d. Set max value 5.", scale);
                scale_ = kMaxScale;
            } else {
                scale_ = scale;
            }
        } else if (key == "-frameRate") {
            int32_t rate = atoi(text);
            if (rate != 15 && rate != 30 && rate != 60 && rate != 120) {
                MIRRAX_LOGD(
                    "%{public}s param frameRate error, %{public}d. Set default value %{public}d.",
                    rate, kDefaultFrameRate);
                rate = kDefaultFrameRate;
            }
            frameRefreshInterval_ = kRefreshClockHz / rate;
        } else if (key == "-bitRate") {
            const int64_t bitRate = atol(text);
            if (bitRate < kMinBitRate) {
                MIRRAX_LOGD(
                    "%{public}s param bitRate error, %{public}ld. Set default value %{public}ld.",
                    bitRate, kDefaultBitRate);
                frameBitRate_ = kDefaultBitRate;
            } else {
                frameBitRate_ = bitRate;
            }
        } else if (key == "-repeatInterval") {
            const int32_t interval = atoi(text);
            if (interval != 8 && interval != 16 && interval != 33) {
                MIRRAX_LOGD(
                    "%{public}s param repeatInterval error, %{public}d. Set default value "
                    "%{public}d.",
                    interval, 0);
                repeatInterval_ = 0;
            } else {
                repeatInterval_ = interval;
            }
        } else if (key == "-iFrameInterval") {
            const int32_t interval = atoi(text);
            if (interval < 0) {
                MIRRAX_LOGD(
                    "%{public}s param iFrameInterval error, %{public}d. Set default value "
                    "%{public}d.",
                    interval, kDefaultIFrameInterval);
                iFrameInterval_ = kDefaultIFrameInterval;
            } else {
                iFrameInterval_ = interval;
            }
        } else if (key == "-screenId") {
            const int64_t screenId = atol(text);
            if (screenId < 0) {
                MIRRAX_LOGD(
                    "%{public}s param screen id error, %{public}ld. Set default value %{public}ld.",
                    screenId, static_cast<int64_t>(-1));
                screenId_ = -1;
            } else {
                screenId_ = screenId;
            }
        } else if (key == "-appPid") {
            skipAppPid_ = atoi(text);
        } else if (key == "-windowsId") {
            auto addPiece = [&](const std::string &piece) {
                MIRRAX_LOGI("%{public}s windowsId: %{public}s.", piece.c_str());
                skipPrivacyWindowsId_.push_back(static_cast<uint64_t>(atol(piece.c_str())));
            };
            std::string piece;
            for (char c : value) {
                if (c == ',') {
                    addPiece(piece);
                    piece.clear();
                } else {
                    piece += c;
                }
            }
            if (!piece.empty()) {
                addPiece(piece);
            }
        }
    }
    MIRRAX_LOGI("%{public}s Finish parse params.");
    MIRRAX_LOGI("%{public}s port %{public}d.", port_);
    MIRRAX_LOGI("%{public}s mode: %{public}d.", mode_);
    MIRRAX_LOGI("%{public}s saveFrame:  %{public}d.", saveFrame_ ? 1 : 0);
    MIRRAX_LOGI("%{public}s scale:  %{public}d.", scale_);
    MIRRAX_LOGI("%{public}s frameRefreshInterval:  %{public}d.", frameRefreshInterval_);
    MIRRAX_LOGI("%{public}s frameBitRate:  %{public}ld.", frameBitRate_);
    MIRRAX_LOGI("%{public}s iFrameInterval:  %{public}ld.", static_cast<int64_t>(iFrameInterval_));
    MIRRAX_LOGI("%{public}s screenId:  %{public}ld.", screenId_);
    MIRRAX_LOGI("%{public}s appPid:  %{public}ld.", static_cast<int64_t>(skipAppPid_));
    MIRRAX_LOGI("%{public}s repeatInterval:  %{public}ld.", static_cast<int64_t>(repeatInterval_));
}

int32_t RpcServer::GetMode() { return mode_; }
bool RpcServer::GetSaveFrameStatus() { return saveFrame_; }
int32_t RpcServer::GetScale() { return scale_; }
int32_t RpcServer::GetFrameRefreshInterval() { return frameRefreshInterval_; }
int64_t RpcServer::GetFrameBitRate() { return frameBitRate_; }
int32_t RpcServer::GetRepeatInterval() { return repeatInterval_; }
int32_t RpcServer::GetiFrameInterval() { return iFrameInterval_; }
std::vector<uint64_t> RpcServer::GetSkipPrivacyWindowsId() { return skipPrivacyWindowsId_; }
int32_t RpcServer::GetSkipAppPid() { return skipAppPid_; }
int64_t RpcServer::GetScreenId() { return screenId_; }

void RpcServer::InitServer(OptionPairs params) {
    MIRRAX_LOG_LABEL(kLogFile);
    parse_params(params);

    std::stringstream address;
    address << kHost << ":" << port_;
    if (shutdownRequested_.load()) {
        MIRRAX_LOGI("%{public}s Stop requested before the server started, not starting.");
        return;
    }
    if (!service_) {
        service_ = std::make_unique<MirraxServiceImpl>();
    }
    grpc::ServerBuilder builder;
    // gRPC binds with SO_REUSEPORT by default: a second host started on a port that is
    // already served would then listen too and take a share of the clients. Without
    // it, the second host fails to listen and says so.
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    builder.AddListeningPort(address.str(), grpc::InsecureServerCredentials());
    builder.RegisterService(service_.get());
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server) {
        // Nothing listens, so no stop signal can ever come: do not wait for one.
        MIRRAX_LOGE("%{public}s Server failed to listen on: %{public}s, port: %{public}d",
                    address.str().c_str(), port_);
        return;
    }
    // StopServer may have run while the server was being built, when it found no server
    // to shut down: then nobody else will, so shut it down here instead of serving.
    std::unique_ptr<grpc::Server> earlier;
    bool stopNow = false;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopNow = shutdownRequested_.load();
        if (!stopNow) {
            earlier = std::exchange(server_, std::move(server));
            shutdownDone_ = false;
        }
    }
    earlier.reset();
    if (stopNow) {
        server->Shutdown();
        MIRRAX_LOGI("%{public}s Server shutdown success.");
        PrintLine("Server shutdown success.");
        return;
    }
    MIRRAX_LOGI("%{public}s Server Listening on: %{public}s, port: %{public}d",
                address.str().c_str(), port_);
    PrintLine("Server Listening on port: " + address.str());
    Run();
}

void RpcServer::Run() {
    {
        std::unique_lock<std::mutex> lock(stopMutex_);
        waiterActive_ = true;
        stopCv_.wait(lock, [this] { return stopped_.load() || shutdownRequested_.load(); });
    }
    NativeStopScreenCopy();
    WaitForShutdown();
}

void RpcServer::WaitForShutdown() {
    grpc::Server *server = nullptr;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        server = server_.get();
    }
    if (server != nullptr) {
        server->Wait();  // returns once StopServer has shut the server down
    }
    std::unique_ptr<grpc::Server> release;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        waiterActive_ = false;
        if (shutdownDone_) {
            release = std::move(server_);
        }
    }
}

void RpcServer::StopServer() {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI("%{public}s Invoke StopServer.");
    PrintLine("Invoke StopServer.");
    grpc::Server *server = nullptr;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        shutdownRequested_.store(true);
        if (!shutdownDone_) {
            server = server_.get();
        }
    }
    // Wakes the thread in InitServer, which stops a running capture so that an open
    // stream ends and the shutdown below can complete.
    stopCv_.notify_all();
    if (server == nullptr) {
        return;
    }
    // Runs are stopped and new ones refused, so every handler returns at once; the
    // deadline only cuts off calls that a client holds open without reading, which a
    // graceful shutdown would otherwise wait for without end.
    server->Shutdown(std::chrono::system_clock::now() + kShutdownGrace);
    MIRRAX_LOGI("%{public}s Server shutdown success.");
    PrintLine("Server shutdown success.");
    std::unique_ptr<grpc::Server> release;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        shutdownDone_ = true;
        if (!waiterActive_) {
            release = std::move(server_);
        }
    }
}

void RpcServer::RaiseStopSignal() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopped_.store(true);
    }
    stopCv_.notify_one();
}

void RpcServer::SetCurrentCall(grpc::ServerContext *context,
                               grpc::ServerWriter<ReplyMessage> *writer) {
    auto stream = std::make_shared<OpenStream>(context, writer);
    std::lock_guard<std::mutex> lock(callMutex_);
    stream_ = std::move(stream);
}

void RpcServer::EndCurrentStream() {
    MIRRAX_LOG_LABEL(kLogFile);
    std::shared_ptr<OpenStream> stream;
    {
        std::lock_guard<std::mutex> lock(callMutex_);
        stream = stream_;
    }
    if (!stream) {
        return;
    }
    const bool cancelledBefore = stream->CancelledByClose();
    stream->Close(kCloseGrace, [&stream] { stream->Context()->TryCancel(); });
    if (!cancelledBefore && stream->CancelledByClose()) {
        MIRRAX_LOGI(
            "%{public}s The client stopped reading; its call was cancelled to end the stream.");
    }
}

StartFailure RpcServer::StartRefusal() const {
    if (stopped_.load()) {
        return {StartFailureKind::kStreamingEnded, kStopSignalRefusal};
    }
    if (shutdownRequested_.load()) {
        return {StartFailureKind::kShuttingDown, kShutdownRefusal};
    }
    return {};
}

void RpcServer::ReplyVideoData(uint8_t *data, size_t len, int flags, int64_t pts) {
    MIRRAX_LOG_LABEL(kLogFile);
    if (stopped_.load()) {
        MIRRAX_LOGI("%{public}s Server has called stop.");
        return;
    }
    std::shared_ptr<OpenStream> stream;
    {
        std::lock_guard<std::mutex> lock(callMutex_);
        stream = stream_;
    }
    // No stream, or its run is being stopped: the buffer belongs to no open call.
    if (!stream || !stream->BeginWrite()) {
        return;
    }
    struct WriteDone {
        OpenStream &stream;
        ~WriteDone() { stream.EndWrite(); }
    } done{*stream};
    if (stream->Context()->IsCancelled()) {
        // The host may have cancelled the call itself, not a vanished client: a writer
        // descheduled past a close's grace (a client that stopped reading), or one that
        // a shutdown's deadline released before the stop path closed the stream.
        if (!stream->CancelledByClose() && !shutdownRequested_.load()) {
            MIRRAX_LOGI("%{public}s Server context has cancelled.");
            RaiseStopSignal();
        }
        return;
    }
    ReplyMessage message;
    auto &payload = *message.mutable_payload();
    if (data != nullptr && len > 0) {
        payload["data"].set_val_bytes(data, len);
    } else {
        payload["data"].set_val_bytes(std::string());
    }
    payload["len"].set_val_int(static_cast<int64_t>(len));
    payload["flags"].set_val_int(static_cast<int64_t>(flags));
    payload["pts"].set_val_int(pts);
    stream->Writer()->Write(message);
}
