// A gRPC client of the stream service for tests: one onStart call read on its own
// thread, with bounded waits on the messages and the end of the call.
#ifndef MIRRAX_TESTS_INTEGRATION_STREAM_CLIENT_H
#define MIRRAX_TESTS_INTEGRATION_STREAM_CLIENT_H

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mirrax.grpc.pb.h"

namespace mirrax::test {

// One frame message as the client saw it.
struct Frame {
    std::string data;
    int64_t flags = 0;
    int64_t pts = 0;
    // Exactly the payload keys data (bytes), len (its size), flags and pts (numbers),
    // and nothing else in the message.
    bool wellFormed = false;
    int64_t arrivalMs = 0;   // wall clock
    uint32_t arrivalUs = 0;  // low 32 bits of the monotonic clock, as frame stamps use
};

// The message flags: codec data, a key frame, the end-of-stream buffer.
constexpr int64_t kCodecData = 8;
constexpr int64_t kSyncFrame = 2;
constexpr int64_t kEndOfStream = 1;

// Counts the ended calls of the StreamCalls that share it, so a test can wait until
// some of many calls have ended without waiting on each in turn.
class CallGroup {
public:
    bool WaitForEnded(size_t count, std::chrono::milliseconds timeout);

private:
    friend class StreamCall;
    void AddEnded();

    std::mutex mutex_;
    std::condition_variable changed_;
    size_t ended_ = 0;
};

class StreamCall {
public:
    // With `stalled` the call reads no message, like a client whose own output is
    // blocked, and its receive window stays at its first size (no bandwidth probes):
    // the server's writes block once it is full.
    explicit StreamCall(const std::string &target, std::shared_ptr<CallGroup> group = nullptr,
                        bool stalled = false);
    ~StreamCall();  // cancels a call still open and joins the reader
    StreamCall(const StreamCall &) = delete;
    StreamCall &operator=(const StreamCall &) = delete;

    // Waits for a frame at or after index `from` that satisfies `match`; its index.
    std::optional<size_t> WaitForFrame(size_t from, const std::function<bool(const Frame &)> &match,
                                       std::chrono::milliseconds timeout);
    bool WaitForFrames(size_t count, std::chrono::milliseconds timeout) {
        return WaitForFrame(
                   count - 1, [](const Frame &) { return true; }, timeout)
            .has_value();
    }
    std::optional<grpc::Status> WaitForEnd(std::chrono::milliseconds timeout);
    // onEnd, then this call must end OK within 10 s: onEnd's answer, or nothing.
    std::optional<int32_t> End();
    std::vector<Frame> Frames() const;
    size_t FrameCount() const;
    // The data of frames [from, to), for DecodeBuffers.
    std::vector<std::string> Buffers(size_t from = 0, size_t to = SIZE_MAX) const;

private:
    void Read(bool stalled);

    const std::string target_;
    // Both are released once the call has ended, which closes the connection: an
    // idle open connection would hold up the server's graceful shutdown.
    std::unique_ptr<MirraxService::Stub> stub_;
    std::unique_ptr<grpc::ClientContext> context_ = std::make_unique<grpc::ClientContext>();
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Frame> frames_;
    std::optional<grpc::Status> status_;
    bool cancelled_ = false;
    std::shared_ptr<CallGroup> group_;
    std::thread reader_;
};

// Unary calls with a deadline; the result field, or nothing when the call failed.
std::optional<int32_t> CallEnd(const std::string &target);
std::optional<int32_t> CallRequestIdr(const std::string &target);

int64_t WallClockMs();

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_INTEGRATION_STREAM_CLIENT_H
