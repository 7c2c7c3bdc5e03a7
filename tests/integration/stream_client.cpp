#include "stream_client.h"

#include <pthread.h>

#include <algorithm>

#include "mirrax_platform/frame_stamp.h"

namespace mirrax::test {

using namespace std::chrono_literals;

int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool CallGroup::WaitForEnded(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_ >= count; });
}

size_t CallGroup::Ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

void CallGroup::AddEnded() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++ended_;
    }
    changed_.notify_all();
}

StreamCall::StreamCall(const std::string &target, std::shared_ptr<CallGroup> group)
    : stub_(
          MirraxService::NewStub(grpc::CreateChannel(target, grpc::InsecureChannelCredentials()))),
      group_(std::move(group)) {
    reader_ = std::thread([this] { Read(); });
}

StreamCall::~StreamCall() {
    Cancel();
    reader_.join();
}

void StreamCall::Read() {
    pthread_setname_np(pthread_self(), "test-stream");
    Empty request;
    auto reader = stub_->onStart(context_.get(), request);
    ReplyMessage message;
    while (reader->Read(&message)) {
        Frame frame{{}, 0, 0, false, WallClockMs(), stamp::NowUs()};
        const auto &payload = message.payload();
        const auto data = payload.find("data");
        const auto len = payload.find("len");
        const auto flags = payload.find("flags");
        const auto pts = payload.find("pts");
        if (payload.size() == 4 && data != payload.end() && data->second.has_val_bytes() &&
            len != payload.end() && len->second.has_val_int() && flags != payload.end() &&
            flags->second.has_val_int() && pts != payload.end() && pts->second.has_val_int()) {
            frame.data = data->second.val_bytes();
            frame.flags = flags->second.val_int();
            frame.pts = pts->second.val_int();
            frame.wellFormed = message.data().empty() && message.reply_type() == 0 &&
                               len->second.val_int() == static_cast<int64_t>(frame.data.size());
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(std::move(frame));
        }
        changed_.notify_all();
    }
    grpc::Status status = reader->Finish();
    reader.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        context_.reset();
        stub_.reset();
    }
    changed_.notify_all();
    if (group_) {
        group_->AddEnded();
    }
}

bool StreamCall::WaitForFrames(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return frames_.size() >= count || status_.has_value();
    }) && frames_.size() >= count;
}

std::optional<size_t> StreamCall::WaitForFrame(size_t from,
                                               const std::function<bool(const Frame &)> &match,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < frames_.size(); ++i) {
            if (match(frames_[i])) {
                found = i;
                return true;
            }
        }
        return status_.has_value();
    });
    return found;
}

std::optional<grpc::Status> StreamCall::WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return status_.has_value(); });
    return status_;
}

std::vector<Frame> StreamCall::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t StreamCall::FrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

std::vector<std::string> StreamCall::Buffers(size_t from, size_t to) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> buffers;
    for (size_t i = from; i < std::min(to, frames_.size()); ++i) {
        buffers.push_back(frames_[i].data);
    }
    return buffers;
}

void StreamCall::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (context_) {
        context_->TryCancel();
    }
}

namespace {

std::optional<int32_t> Unary(const std::string &target, bool end) {
    auto stub =
        MirraxService::NewStub(grpc::CreateChannel(target, grpc::InsecureChannelCredentials()));
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 20s);
    Empty request;
    ReplyEndMessage reply;
    const grpc::Status status = end ? stub->onEnd(&context, request, &reply)
                                    : stub->onRequestIDRFrame(&context, request, &reply);
    if (!status.ok()) {
        return std::nullopt;
    }
    return reply.result();
}

}  // namespace

std::optional<int32_t> CallEnd(const std::string &target) { return Unary(target, true); }

std::optional<int32_t> CallRequestIdr(const std::string &target) { return Unary(target, false); }

std::optional<int32_t> EndStream(const std::string &target, StreamCall &stream) {
    const auto answer = CallEnd(target);
    const auto status = stream.WaitForEnd(10s);
    return status && status->ok() ? answer : std::nullopt;
}

}  // namespace mirrax::test
