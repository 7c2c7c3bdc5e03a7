// One open onStart call as the frame path sees it: the call's context and writer,
// usable only while the stream is open. Closing it ends that and does not return
// while a write still uses the call, so the handler may return (and gRPC free the
// call) as soon as its run has been stopped.
#ifndef MIRRAX_RPC_OPEN_STREAM_H
#define MIRRAX_RPC_OPEN_STREAM_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace grpc {
class ServerContext;
template <class W>
class ServerWriter;
}  // namespace grpc
class ReplyMessage;

class OpenStream {
public:
    OpenStream(grpc::ServerContext *context, grpc::ServerWriter<ReplyMessage> *writer)
        : context_(context), writer_(writer) {}
    OpenStream(const OpenStream &) = delete;
    OpenStream &operator=(const OpenStream &) = delete;

    // Reserves the call for one write; false once the stream has been closed. Every
    // true result is paired with EndWrite.
    bool BeginWrite() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) {
            return false;
        }
        writing_ = true;
        return true;
    }

    void EndWrite() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            writing_ = false;
        }
        idle_.notify_all();
    }

    // Accepts no more writes. A write under way gets `grace` to finish; a write still
    // blocked after that (a client that stopped reading holds it under flow control)
    // is released by cancelling the call. Returns once no write uses the call.
    // `cancel` cancels the call (grpc::ServerContext::TryCancel on the real server).
    template <class Cancel>
    void Close(std::chrono::milliseconds grace, Cancel cancel) {
        std::unique_lock<std::mutex> lock(mutex_);
        open_ = false;
        if (idle_.wait_for(lock, grace, [this] { return !writing_; })) {
            return;
        }
        cancelled_ = true;
        lock.unlock();
        cancel();
        lock.lock();
        idle_.wait(lock, [this] { return !writing_; });
    }

    // Whether Close had to cancel the call to release a blocked write.
    bool CancelledByClose() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return cancelled_;
    }

    grpc::ServerContext *Context() const { return context_; }
    grpc::ServerWriter<ReplyMessage> *Writer() const { return writer_; }

private:
    grpc::ServerContext *const context_;
    grpc::ServerWriter<ReplyMessage> *const writer_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool open_ = true;
    bool writing_ = false;
    bool cancelled_ = false;
};

#endif  // MIRRAX_RPC_OPEN_STREAM_H
