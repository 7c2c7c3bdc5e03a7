// A client of mirrax_host built against the installed protocol library: asks the host
// at ADDRESS for a key frame with one onRequestIDRFrame call and prints the answer.
//   mirrax_consumer HOST:PORT
// Exit status 0 when the call completed (whatever its result), 1 when it failed.
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <cstdio>

#include "mirrax.grpc.pb.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: mirrax_consumer HOST:PORT\n");
        return 2;
    }
    auto channel = grpc::CreateChannel(argv[1], grpc::InsecureChannelCredentials());
    auto stub = MirraxService::NewStub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    context.set_wait_for_ready(true);
    ReplyEndMessage reply;
    const grpc::Status status = stub->onRequestIDRFrame(&context, Empty(), &reply);
    if (!status.ok()) {
        fprintf(stderr, "onRequestIDRFrame failed: status %d: %s\n",
                static_cast<int>(status.error_code()), status.error_message().c_str());
        return 1;
    }
    printf("onRequestIDRFrame result: %d\n", reply.result());
    return 0;
}
