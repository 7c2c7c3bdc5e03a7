// An in-process stand-in for the mirroring server: a real gRPC MirraxService on
// 127.0.0.1 that streams libx264 pictures of moving (or still) generated content.
#ifndef MIRRAX_TESTS_CLIENT_FAKE_MIRRAX_SERVER_H
#define MIRRAX_TESTS_CLIENT_FAKE_MIRRAX_SERVER_H

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mirrax.grpc.pb.h"

namespace mirrax::test {

class FakeMirraxServer final : public MirraxService::Service {
public:
    struct Behaviour {
        bool refuse = false;        // answer every call with CANCELLED, as for a remote peer
        bool still = false;         // one picture, then another only on a key-frame request
        int32_t idrResult = 0;      // onRequestIDRFrame's answer while a stream runs
        int32_t idrIdleResult = 6;  // and while none runs
        std::chrono::milliseconds frameInterval{10};
    };
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;

    explicit FakeMirraxServer(Behaviour behaviour);
    ~FakeMirraxServer() override;

    bool Started() const { return server_ != nullptr; }
    std::string Target() const { return "127.0.0.1:" + std::to_string(port_); }
    int Port() const { return port_; }

    int StartCalls() const;
    int EndCalls() const;
    int IdrCalls() const;
    bool StreamCancelled() const;  // a stream ended because its client went away
    // The data of every message sent so far, the codec data first.
    std::vector<std::string> SentData() const;

    // Waits until at least `pictures` pictures have been sent.
    bool WaitForPictures(size_t pictures, std::chrono::milliseconds timeout);

    grpc::Status onStart(grpc::ServerContext *context, const Empty *request,
                         grpc::ServerWriter<ReplyMessage> *writer) override;
    grpc::Status onEnd(grpc::ServerContext *context, const Empty *request,
                       ReplyEndMessage *reply) override;
    grpc::Status onRequestIDRFrame(grpc::ServerContext *context, const Empty *request,
                                   ReplyEndMessage *reply) override;

private:
    const Behaviour behaviour_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool streaming_ = false;
    bool endRequested_ = false;
    bool keyFrameWanted_ = false;
    int startCalls_ = 0;
    int endCalls_ = 0;
    int idrCalls_ = 0;
    bool streamCancelled_ = false;
    size_t picturesSent_ = 0;
    std::vector<std::string> sent_;
    std::unique_ptr<grpc::Server> server_;  // last: shut down before the fields go
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_CLIENT_FAKE_MIRRAX_SERVER_H
