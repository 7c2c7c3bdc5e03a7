// The process-wide gRPC server object: launch options, the server's lifecycle, the
// stop signal, and the hand-off of encoded frames to the open stream.
// docs/architecture.md has the whole map.
//
// Threads:
// - the host's calling thread: InitServer, then the wait for the stop signal, the
//   final NativeStopScreenCopy and the wait for the shutdown;
// - the host's signal thread (or any outside caller): StopServer;
// - gRPC handler threads: the service methods, synchronous; onStart holds its thread
//   for the whole stream;
// - the encoder's callback thread: ReplyVideoData, one buffer at a time. Its write
//   blocks until gRPC takes the message, so a slow client slows the encoder; nothing
//   is queued.
// Locks: stopMutex_, callMutex_ and each OpenStream's own mutex are leaves, held only
// for a few statements, never while another lock is taken and never during a write,
// Wait or Shutdown. StartRefusal and SetCurrentCall run inside NativeStartScreenCopy,
// under the pipeline mutex (mtx); EndCurrentStream runs on the stop paths, under mtx
// or just before taking it. ReplyVideoData never takes mtx: the stops that hold it
// wait for the encoder's callback thread.
#ifndef MIRRAX_RPC_RPC_SERVER_H
#define MIRRAX_RPC_RPC_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/start_failure.h"
#include "common/mirrax_log.h"
#include "singleton.h"

namespace grpc {
class Server;
class ServerContext;
template <class W>
class ServerWriter;
}  // namespace grpc
class ReplyMessage;
class OpenStream;

using OptionPairs = std::vector<std::pair<std::string, std::string>>;

class MIRRAX_EXPORT RpcServer {
public:
    class MirraxServiceImpl;

    RpcServer();
    virtual ~RpcServer();
    RpcServer(const RpcServer &) = delete;
    RpcServer &operator=(const RpcServer &) = delete;

    // Parses the options, starts the server and blocks until the stop signal has
    // been raised (or StopServer has run) and the server has shut down.
    void InitServer(OptionPairs params);
    // The waiting half of InitServer, on the calling thread.
    void Run();
    // Shuts the server down; the only way the final wait of InitServer ends.
    void StopServer();

    void parse_params(OptionPairs params);

    int32_t GetMode();
    bool GetSaveFrameStatus();
    int32_t GetScale();
    int32_t GetFrameRefreshInterval();
    int64_t GetFrameBitRate();
    int32_t GetRepeatInterval();
    int32_t GetiFrameInterval();
    std::vector<uint64_t> GetSkipPrivacyWindowsId();
    int32_t GetSkipAppPid();
    int64_t GetScreenId();

    // Sends one encoded buffer to the open stream; called on the encoder's callback
    // thread. Copies the bytes before it returns; never blocks on a pipeline lock.
    void ReplyVideoData(uint8_t *data, size_t len, int flags, int64_t pts);

    // Makes the call the one that the following frames go to (the service's onStart,
    // under the pipeline lock once the previous run has been stopped).
    void SetCurrentCall(grpc::ServerContext *context, grpc::ServerWriter<ReplyMessage> *writer);
    // Closes the current call's stream: no more frames reach it, and a write blocked on
    // a client that stopped reading is released by cancelling that call.
    void EndCurrentStream();
    // Why no run may start now (the stop signal has been raised, or the server is
    // shutting down); none when one may.
    StartFailure StartRefusal() const;

private:
    void RaiseStopSignal();
    void WaitForShutdown();

    // Declared before the server so that it outlives it.
    std::unique_ptr<MirraxServiceImpl> service_;
    std::unique_ptr<grpc::Server> server_;
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    std::atomic<bool> stopped_{false};

    int32_t port_ = 5000;
    int32_t mode_ = 0;
    bool saveFrame_ = false;
    int32_t scale_ = 1;
    int32_t frameRefreshInterval_ = 1;
    int64_t frameBitRate_ = 31457280;
    int32_t repeatInterval_ = 0;
    int32_t iFrameInterval_ = 2000;
    std::vector<uint64_t> skipPrivacyWindowsId_;
    int32_t skipAppPid_ = -1;
    int64_t screenId_ = -1;

    // The current call's context and writer (not owned), published together as one
    // stream under callMutex_; the frame path writes only through an open stream.
    std::shared_ptr<OpenStream> stream_;
    std::mutex callMutex_;

    // Shutdown hand-shake between StopServer and the thread in InitServer, guarded
    // by stopMutex_: StopServer wakes the waiting thread, and whichever of the two
    // finishes last destroys the server, so it outlives a concurrent Wait/Shutdown.
    // Also read without the lock by StartRefusal (under the pipeline lock).
    std::atomic<bool> shutdownRequested_{false};
    bool waiterActive_ = false;
    bool shutdownDone_ = false;
};

// Exported so that every user of the library shares the library's one instance.
extern template class MIRRAX_EXPORT OHOS::DelayedSingleton<RpcServer>;

#endif  // MIRRAX_RPC_RPC_SERVER_H
