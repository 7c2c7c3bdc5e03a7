#include "client/fake_mirrax_server.h"

#include <cstring>

#include "mirrax_media/av_handles.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace mirrax::test {

namespace {

constexpr int64_t kCodecDataFlag = 8;
constexpr int64_t kSyncFrameFlag = 2;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ReplyMessage MakeMessage(const std::string &data, int64_t flags) {
    ReplyMessage message;
    auto &payload = *message.mutable_payload();
    payload["data"].set_val_bytes(data);
    payload["len"].set_val_int(static_cast<int64_t>(data.size()));
    payload["flags"].set_val_int(flags);
    payload["pts"].set_val_int(NowMs());
    return message;
}

// libx264 with its headers out of band, so the first message can be the codec data.
class TestEncoder {
public:
    bool Open() {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        context_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (codec == nullptr || !context_ || !frame_ || !packet_) {
            return false;
        }
        context_->width = FakeMirraxServer::kWidth;
        context_->height = FakeMirraxServer::kHeight;
        context_->pix_fmt = AV_PIX_FMT_YUV420P;
        context_->time_base = AVRational{1, 100};
        context_->gop_size = 50;
        context_->max_b_frames = 0;
        context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
        av_opt_set(context_->priv_data, "forced-idr", "1", 0);
        if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
            return false;
        }
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = context_->width;
        frame_->height = context_->height;
        return av_frame_get_buffer(frame_.get(), 0) >= 0;
    }

    std::string CodecData() const {
        return std::string(reinterpret_cast<const char *>(context_->extradata),
                           static_cast<size_t>(context_->extradata_size));
    }

    // Encodes picture `index` (a bar moving across a gradient); the packets that come out.
    std::vector<std::pair<std::string, bool>> Encode(int64_t index, bool key) {
        av_frame_make_writable(frame_.get());
        for (int y = 0; y < frame_->height; ++y) {
            uint8_t *row = frame_->data[0] + y * frame_->linesize[0];
            for (int x = 0; x < frame_->width; ++x) {
                const bool bar = ((x + index * 4) % frame_->width) < 24;
                row[x] = bar ? 235 : static_cast<uint8_t>(16 + (x + y) % 200);
            }
        }
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = 0; y < frame_->height / 2; ++y) {
                memset(frame_->data[plane] + y * frame_->linesize[plane],
                       static_cast<int>(96 + plane * 32), static_cast<size_t>(frame_->width / 2));
            }
        }
        frame_->pts = index;
        frame_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        std::vector<std::pair<std::string, bool>> out;
        if (avcodec_send_frame(context_.get(), frame_.get()) < 0) {
            return out;
        }
        while (avcodec_receive_packet(context_.get(), packet_.get()) == 0) {
            out.emplace_back(std::string(reinterpret_cast<const char *>(packet_->data),
                                         static_cast<size_t>(packet_->size)),
                             (packet_->flags & AV_PKT_FLAG_KEY) != 0);
            av_packet_unref(packet_.get());
        }
        return out;
    }

private:
    av::CodecContextPtr context_;
    av::FramePtr frame_;
    av::PacketPtr packet_;
};

}  // namespace

FakeMirraxServer::FakeMirraxServer(Behaviour behaviour) : behaviour_(behaviour) {
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
    builder.RegisterService(this);
    server_ = builder.BuildAndStart();
}

FakeMirraxServer::~FakeMirraxServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (server_) {
        server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
        server_->Wait();
    }
}

int FakeMirraxServer::StartCalls() const {
    std::lock_guard lock(mutex_);
    return startCalls_;
}
int FakeMirraxServer::EndCalls() const {
    std::lock_guard lock(mutex_);
    return endCalls_;
}
int FakeMirraxServer::IdrCalls() const {
    std::lock_guard lock(mutex_);
    return idrCalls_;
}
bool FakeMirraxServer::StreamCancelled() const {
    std::lock_guard lock(mutex_);
    return streamCancelled_;
}
std::vector<std::string> FakeMirraxServer::SentData() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

bool FakeMirraxServer::WaitForPictures(size_t pictures, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return picturesSent_ >= pictures; });
}

grpc::Status FakeMirraxServer::onStart(grpc::ServerContext *context, const Empty *,
                                       grpc::ServerWriter<ReplyMessage> *writer) {
    {
        std::lock_guard lock(mutex_);
        ++startCalls_;
        if (behaviour_.refuse) {
            return grpc::Status::CANCELLED;
        }
        streaming_ = true;
        endRequested_ = false;
    }
    TestEncoder encoder;
    if (!encoder.Open()) {
        return grpc::Status(grpc::StatusCode::INTERNAL, "libx264 is not available");
    }
    auto send = [&](const std::string &data, int64_t flags) {
        writer->Write(MakeMessage(data, flags));
        std::lock_guard lock(mutex_);
        sent_.push_back(data);
        if ((flags & kCodecDataFlag) == 0) {
            ++picturesSent_;
        }
        changed_.notify_all();
    };
    send(encoder.CodecData(), kCodecDataFlag);

    int64_t index = 0;
    bool cancelled = false;
    while (true) {
        bool key = false;
        {
            std::unique_lock lock(mutex_);
            const bool wake = changed_.wait_for(lock, behaviour_.frameInterval, [this] {
                return stopping_ || endRequested_ || keyFrameWanted_;
            });
            if (stopping_ || endRequested_) {
                break;
            }
            if (context->IsCancelled()) {
                cancelled = true;
                break;
            }
            key = keyFrameWanted_ || index == 0;
            keyFrameWanted_ = false;
            if (behaviour_.still && index > 0 && !(wake && key)) {
                continue;  // nothing changed on the screen: nothing to encode
            }
        }
        for (const auto &[data, isKey] : encoder.Encode(index++, key)) {
            send(data, isKey ? kSyncFrameFlag : 0);
        }
    }
    std::lock_guard lock(mutex_);
    streamCancelled_ = streamCancelled_ || cancelled;
    streaming_ = false;
    changed_.notify_all();
    return grpc::Status::OK;
}

grpc::Status FakeMirraxServer::onEnd(grpc::ServerContext *, const Empty *, ReplyEndMessage *reply) {
    std::unique_lock lock(mutex_);
    ++endCalls_;
    if (behaviour_.refuse) {
        return grpc::Status::CANCELLED;
    }
    if (!streaming_) {
        reply->set_result(0);
        return grpc::Status::OK;
    }
    endRequested_ = true;
    changed_.notify_all();
    // Like the real server, answer once the run has stopped.
    changed_.wait_for(lock, std::chrono::seconds(3), [this] { return !streaming_; });
    reply->set_result(static_cast<int32_t>(sent_.size()));
    return grpc::Status::OK;
}

grpc::Status FakeMirraxServer::onRequestIDRFrame(grpc::ServerContext *, const Empty *,
                                                 ReplyEndMessage *reply) {
    std::unique_lock lock(mutex_);
    ++idrCalls_;
    if (behaviour_.refuse) {
        return grpc::Status::CANCELLED;
    }
    if (!streaming_) {
        reply->set_result(behaviour_.idrIdleResult);
        return grpc::Status::OK;
    }
    reply->set_result(behaviour_.idrResult);
    if (behaviour_.idrResult == 0) {
        keyFrameWanted_ = true;
        changed_.notify_all();
        // Answer only after the key frame has gone out: a client must not rely on the
        // answer arriving before the picture it causes.
        const size_t before = picturesSent_;
        changed_.wait_for(lock, std::chrono::seconds(2),
                          [&] { return picturesSent_ > before || stopping_ || !streaming_; });
    }
    return grpc::Status::OK;
}

}  // namespace mirrax::test
