#include "rpc_session.h"

namespace mirrax::client {

namespace {

const char *StatusCodeName(grpc::StatusCode code) {
    switch (code) {
        case grpc::StatusCode::OK:
            return "OK";
        case grpc::StatusCode::CANCELLED:
            return "CANCELLED";
        case grpc::StatusCode::UNKNOWN:
            return "UNKNOWN";
        case grpc::StatusCode::INVALID_ARGUMENT:
            return "INVALID_ARGUMENT";
        case grpc::StatusCode::DEADLINE_EXCEEDED:
            return "DEADLINE_EXCEEDED";
        case grpc::StatusCode::NOT_FOUND:
            return "NOT_FOUND";
        case grpc::StatusCode::ALREADY_EXISTS:
            return "ALREADY_EXISTS";
        case grpc::StatusCode::PERMISSION_DENIED:
            return "PERMISSION_DENIED";
        case grpc::StatusCode::RESOURCE_EXHAUSTED:
            return "RESOURCE_EXHAUSTED";
        case grpc::StatusCode::FAILED_PRECONDITION:
            return "FAILED_PRECONDITION";
        case grpc::StatusCode::ABORTED:
            return "ABORTED";
        case grpc::StatusCode::OUT_OF_RANGE:
            return "OUT_OF_RANGE";
        case grpc::StatusCode::UNIMPLEMENTED:
            return "UNIMPLEMENTED";
        case grpc::StatusCode::INTERNAL:
            return "INTERNAL";
        case grpc::StatusCode::UNAVAILABLE:
            return "UNAVAILABLE";
        case grpc::StatusCode::DATA_LOSS:
            return "DATA_LOSS";
        case grpc::StatusCode::UNAUTHENTICATED:
            return "UNAUTHENTICATED";
        default:
            return "UNKNOWN_CODE";
    }
}

std::chrono::system_clock::time_point UnaryDeadline() {
    return std::chrono::system_clock::now() + kUnaryDeadline;
}

}  // namespace

std::unique_ptr<RpcSession> RpcSession::Connect(const std::string &target,
                                                std::chrono::milliseconds timeout,
                                                std::string *error) {
    auto channel = grpc::CreateChannel(target, grpc::InsecureChannelCredentials());
    if (!channel || !channel->WaitForConnected(std::chrono::system_clock::now() + timeout)) {
        const auto ms = timeout.count();
        *error = "cannot reach the server at " + target + " (no connection within " +
                 (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms") +
                 "; is mirrax_host running there?)";
        return nullptr;
    }
    return std::make_unique<RpcSession>(PrivateTag(), target, std::move(channel));
}

RpcSession::RpcSession(PrivateTag, std::string target, std::shared_ptr<grpc::Channel> channel)
    : target_(std::move(target)),
      channel_(std::move(channel)),
      stub_(MirraxService::NewStub(channel_)) {}

grpc::Status RpcSession::End(int32_t *result) {
    grpc::ClientContext context;
    context.set_deadline(UnaryDeadline());
    ReplyEndMessage reply;
    grpc::Status status = stub_->onEnd(&context, Empty(), &reply);
    *result = reply.result();
    return status;
}

grpc::Status RpcSession::RequestIdrFrame(int32_t *result) {
    grpc::ClientContext context;
    context.set_deadline(UnaryDeadline());
    ReplyEndMessage reply;
    grpc::Status status = stub_->onRequestIDRFrame(&context, Empty(), &reply);
    *result = reply.result();
    return status;
}

void RpcSession::OpenStream() { reader_ = stub_->onStart(&streamContext_, Empty()); }

bool RpcSession::Read(ReplyMessage *message) { return reader_->Read(message); }

grpc::Status RpcSession::FinishStream() { return reader_->Finish(); }

void RpcSession::CancelStream() { streamContext_.TryCancel(); }

std::string DescribeStatus(const grpc::Status &status) {
    std::string text = "status " + std::to_string(static_cast<int>(status.error_code())) + " (" +
                       StatusCodeName(status.error_code()) + ")";
    if (!status.error_message().empty()) {
        text += ": " + status.error_message();
    }
    return text;
}

std::string ExplainFailedCall(const std::string &call, const std::string &target,
                              const grpc::Status &status) {
    if (status.error_code() == grpc::StatusCode::CANCELLED) {
        return "the server refused the call (only 127.0.0.1 clients are admitted): " + call +
               " at " + target + " ended with " + DescribeStatus(status);
    }
    return call + " at " + target + " failed with " + DescribeStatus(status);
}

}  // namespace mirrax::client
