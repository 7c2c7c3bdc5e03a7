// idr and end: one unary call each; record: one onStart that a recording server
// answers at once.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "commands.h"
#include "rpc_session.h"

namespace mirrax::client {

int RunIdr(const ClientOptions &options) {
    std::string error;
    auto session = RpcSession::Connect(options.server, kConnectTimeout, &error);
    if (!session) {
        return Fail(error);
    }
    int32_t result = 0;
    const grpc::Status status = session->RequestIdrFrame(&result);
    if (!status.ok()) {
        return Fail(ExplainFailedCall("onRequestIDRFrame", options.server, status));
    }
    if (result == kNoStreamRunning) {
        return Fail(
            "no stream is running on the server (result 6); start one with "
            "'mirrax_client stream'");
    }
    if (result != 0) {
        return Fail("the server's encoder refused the key-frame request (result " +
                    std::to_string(result) + ")");
    }
    printf("key frame requested (result 0)\n");
    return kExitOk;
}

int RunEnd(const ClientOptions &options) {
    std::string error;
    auto session = RpcSession::Connect(options.server, kConnectTimeout, &error);
    if (!session) {
        return Fail(error);
    }
    int32_t result = 0;
    const grpc::Status status = session->End(&result);
    if (!status.ok()) {
        return Fail(ExplainFailedCall("onEnd", options.server, status));
    }
    printf("frames: %d\n", result);
    return kExitOk;
}

int RunRecord(const ClientOptions &options) {
    std::string error;
    auto session = RpcSession::Connect(options.server, kConnectTimeout, &error);
    if (!session) {
        return Fail(error);
    }
    // A recording server ends onStart at once; a streaming one sends frames, or
    // nothing while its screen is still. Either way it is not recording: the call
    // is given this long before the client ends the run it started.
    constexpr auto kAnswerTimeout = std::chrono::seconds(5);
    session->OpenStream();
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool timedOut = false;
    std::thread watchdog([&] {
        pthread_setname_np(pthread_self(), "client-record");
        std::unique_lock<std::mutex> lock(mutex);
        if (!answered.wait_for(lock, kAnswerTimeout, [&] { return done; })) {
            timedOut = true;
            lock.unlock();
            session->CancelStream();
        }
    });
    ReplyMessage message;
    const bool gotFrame = session->Read(&message);
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    answered.notify_all();
    watchdog.join();
    if (gotFrame || timedOut) {
        // The server streams instead: end the run this call started.
        int32_t frames = 0;
        session->End(&frames);
        session->CancelStream();
        session->FinishStream();
        return Fail("the server is streaming, not recording; start the host with -m 1 to record");
    }
    const grpc::Status status = session->FinishStream();
    if (!status.ok()) {
        return Fail(ExplainFailedCall("onStart", options.server, status));
    }
    printf(
        "recording into /data/local/tmp/mytest.mp4 on the server; 'mirrax_client end' "
        "finishes it\n");
    return kExitOk;
}

}  // namespace mirrax::client
