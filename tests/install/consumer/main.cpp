// A client of mirrax_host built against the installed protocol library: asks the host
// at HOST:PORT (its one argument) for a key frame and prints the answer.
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <cstdio>

#include "mirrax.grpc.pb.h"
#include "mirrax_protocol/results.h"

int main(int, char **argv) {
    auto channel = grpc::CreateChannel(argv[1], grpc::InsecureChannelCredentials());
    auto stub = MirraxService::NewStub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    context.set_wait_for_ready(true);
    ReplyEndMessage reply;
    const grpc::Status status = stub->onRequestIDRFrame(&context, Empty(), &reply);
    printf("status %d: %s, result %d%s\n", static_cast<int>(status.error_code()),
           status.error_message().c_str(), reply.result(),
           reply.result() == mirrax::protocol::kNoStreamRunning ? " (no stream running)" : "");
    return status.ok() ? 0 : 1;
}
