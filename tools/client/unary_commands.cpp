// idr and end: one unary call each; record: one onStart that a recording server
// answers at once.
#include <chrono>
#include <cstdio>

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
    // is given this long (its deadline) before the client ends the run it started.
    session->OpenStream(std::chrono::seconds(5));
    ReplyMessage message;
    const bool gotFrame = session->Read(&message);
    int32_t frames = 0;
    if (gotFrame) {
        // onEnd first: a stream cancelled while it runs stops the server's streaming.
        session->End(&frames);
        session->CancelStream();
    }
    const grpc::Status status = session->FinishStream();
    if (gotFrame || status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED) {
        if (!gotFrame) {
            session->End(&frames);  // the server streams instead: end the run it started
        }
        return Fail("the server is streaming, not recording; start the host with -m 1 to record");
    }
    if (!status.ok()) {
        return Fail(ExplainFailedCall("onStart", options.server, status));
    }
    printf(
        "recording into /data/local/tmp/mytest.mp4 on the server; 'mirrax_client end' "
        "finishes it\n");
    return kExitOk;
}

}  // namespace mirrax::client
