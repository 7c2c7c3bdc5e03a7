// idr and end: one unary call each.
#include <cstdio>

#include "commands.h"
#include "rpc_session.h"

namespace mirrax::client {

int Fail(const std::string &message) {
    fprintf(stderr, "mirrax_client: error: %s\n", message.c_str());
    return kExitFailure;
}

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

}  // namespace mirrax::client
