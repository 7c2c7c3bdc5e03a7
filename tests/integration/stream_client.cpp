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

void CallGroup::AddEnded() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++ended_;
    }
    changed_.notify_all();
}

StreamCall::StreamCall(const std::string &target, std::shared_ptr<CallGroup> group, bool stalled)
    : target_(target), group_(std::move(group)) {
    grpc::ChannelArguments args;
    args.SetInt(GRPC_ARG_HTTP2_BDP_PROBE, stalled ? 0 : 1);
    stub_ = MirraxService::NewStub(
        grpc::CreateCustomChannel(target, grpc::InsecureChannelCredentials(), args));
    reader_ = std::thread([this, stalled] { Read(stalled); });
}

StreamCall::~StreamCall() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        if (context_) {
            context_->TryCancel();
        }
    }
    changed_.notify_all();
    reader_.join();
}

void StreamCall::Read(bool stalled) {
    pthread_setname_np(pthread_self(), "test-stream");
    auto reader = stub_->onStart(context_.get(), Empty());
    ReplyMessage message;
    if (stalled) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_; });
    }
    while (!stalled && reader->Read(&message)) {
        Frame frame{{}, 0, 0, false, WallClockMs(), stamp::NowUs()};
        const auto &p = message.payload();
        const auto has = [&p](const char *key, bool bytes) {
            const auto it = p.find(key);
            return it != p.end() && (bytes ? it->second.has_val_bytes() : it->second.has_val_int());
        };
        if (p.size() == 4 && has("data", true) && has("len", false) && has("flags", false) &&
            has("pts", false)) {
            frame.data = p.at("data").val_bytes();
            frame.flags = p.at("flags").val_int();
            frame.pts = p.at("pts").val_int();
            frame.wellFormed = message.data().empty() && message.reply_type() == 0 &&
                               p.at("len").val_int() == static_cast<int64_t>(frame.data.size());
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

std::optional<size_t> StreamCall::WaitForFrame(size_t from,
                                               const std::function<bool(const Frame &)> &match,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < frames_.size() && !found; ++i) {
            found = match(frames_[i]) ? std::optional(i) : std::nullopt;
        }
        return found || status_;
    });
    return found;
}

std::optional<grpc::Status> StreamCall::WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return status_.has_value(); });
    return status_;
}

std::optional<int32_t> StreamCall::End() {
    const auto answer = CallEnd(target_);
    const auto status = WaitForEnd(10s);
    return status && status->ok() ? answer : std::nullopt;
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

namespace {

std::optional<int32_t> Unary(const std::string &target, bool end) {
    auto stub =
        MirraxService::NewStub(grpc::CreateChannel(target, grpc::InsecureChannelCredentials()));
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 20s);
    ReplyEndMessage reply;
    const grpc::Status status = end ? stub->onEnd(&context, Empty(), &reply)
                                    : stub->onRequestIDRFrame(&context, Empty(), &reply);
    return status.ok() ? std::optional(reply.result()) : std::nullopt;
}

}  // namespace

std::optional<int32_t> CallEnd(const std::string &target) { return Unary(target, true); }

std::optional<int32_t> CallRequestIdr(const std::string &target) { return Unary(target, false); }

}  // namespace mirrax::test
