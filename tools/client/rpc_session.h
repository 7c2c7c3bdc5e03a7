// The client's side of MirraxService: one channel, the two unary calls with a
// deadline, and one onStart stream.
#ifndef MIRRAX_TOOLS_CLIENT_RPC_SESSION_H
#define MIRRAX_TOOLS_CLIENT_RPC_SESSION_H

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mirrax.grpc.pb.h"
#include "mirrax_protocol/results.h"

namespace mirrax::client {

inline constexpr std::chrono::seconds kConnectTimeout{3};
inline constexpr std::chrono::seconds kUnaryDeadline{5};

using protocol::kNoStreamRunning;

class RpcSession {
public:
    // A session whose channel is connected, or null with a message naming the address
    // when no connection came up within `timeout`.
    static std::unique_ptr<RpcSession> Connect(const std::string &target,
                                               std::chrono::milliseconds timeout,
                                               std::string *error);

    struct PrivateTag {
        explicit PrivateTag() = default;
    };
    RpcSession(PrivateTag, std::string target, std::shared_ptr<grpc::Channel> channel);
    RpcSession(const RpcSession &) = delete;
    RpcSession &operator=(const RpcSession &) = delete;

    const std::string &Target() const { return target_; }

    // Unary calls, each with its own deadline; `result` is the reply's result.
    grpc::Status End(int32_t *result);
    grpc::Status RequestIdrFrame(int32_t *result);

    // The stream: open once, read on one thread until false, then finish. Cancel may
    // be called from any thread after OpenStream. Past `deadline` gRPC cancels it.
    void OpenStream(std::optional<std::chrono::milliseconds> deadline = std::nullopt);
    bool Read(ReplyMessage *message);
    grpc::Status FinishStream();
    void CancelStream();

private:
    // onEnd or onRequestIDRFrame, with its deadline.
    template <typename Method>
    grpc::Status Unary(Method method, int32_t *result);

    std::string target_;
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<MirraxService::Stub> stub_;
    grpc::ClientContext streamContext_;
    std::unique_ptr<grpc::ClientReader<ReplyMessage>> reader_;
};

// "status 1 (CANCELLED)", with ": message" when the status has one.
std::string DescribeStatus(const grpc::Status &status);

// A one-line explanation of a failed call, for the user.
std::string ExplainFailedCall(const std::string &call, const std::string &target,
                              const grpc::Status &status);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_RPC_SESSION_H
