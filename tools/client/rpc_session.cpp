#include "rpc_session.h"

namespace mirrax::client {

namespace {

const char *StatusCodeName(grpc::StatusCode code) {
    // In the order of their numbers, 0 to 16.
    static constexpr const char *kNames[] = {"OK",
                                             "CANCELLED",
                                             "UNKNOWN",
                                             "INVALID_ARGUMENT",
                                             "DEADLINE_EXCEEDED",
                                             "NOT_FOUND",
                                             "ALREADY_EXISTS",
                                             "PERMISSION_DENIED",
                                             "RESOURCE_EXHAUSTED",
                                             "FAILED_PRECONDITION",
                                             "ABORTED",
                                             "OUT_OF_RANGE",
                                             "UNIMPLEMENTED",
                                             "INTERNAL",
                                             "UNAVAILABLE",
                                             "DATA_LOSS",
                                             "UNAUTHENTICATED"};
    const auto index = static_cast<size_t>(code);
    return index < std::size(kNames) ? kNames[index] : "UNKNOWN_CODE";
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

grpc::Status RpcSession::End(int32_t *result) { return Unary(&MirraxService::Stub::onEnd, result); }

grpc::Status RpcSession::RequestIdrFrame(int32_t *result) {
    return Unary(&MirraxService::Stub::onRequestIDRFrame, result);
}

template <typename Method>
grpc::Status RpcSession::Unary(Method method, int32_t *result) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + kUnaryDeadline);
    ReplyEndMessage reply;
    grpc::Status status = (stub_.get()->*method)(&context, Empty(), &reply);
    *result = reply.result();
    return status;
}

void RpcSession::OpenStream(std::optional<std::chrono::milliseconds> deadline) {
    if (deadline) {
        streamContext_.set_deadline(std::chrono::system_clock::now() + *deadline);
    }
    reader_ = stub_->onStart(&streamContext_, Empty());
}

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
