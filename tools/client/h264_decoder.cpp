#include "h264_decoder.h"

#include <cstring>

namespace mirrax::client {

bool H264Decoder::Decode(std::string_view data, bool codecData, const PictureFn &onPicture,
                         std::string *error) {
    if (codecData) {
        codecData_.append(data);
        return true;
    }
    if (data.empty()) {
        return true;
    }
    // av_new_packet adds the zeroed padding the parser may read past the end.
    av_packet_unref(packet_.get());
    int rc = av_new_packet(packet_.get(), static_cast<int>(codecData_.size() + data.size()));
    if (rc < 0) {
        *error = "cannot allocate a packet: " + av::AvError(rc);
        return false;
    }
    memcpy(packet_->data, codecData_.data(), codecData_.size());
    memcpy(packet_->data + codecData_.size(), data.data(), data.size());
    codecData_.clear();
    rc = avcodec_send_packet(context_.get(), packet_.get());
    if (rc < 0 && rc != AVERROR(EAGAIN)) {
        *error = "H.264 decoder rejected a buffer: " + av::AvError(rc);
        return false;
    }
    return Drain(onPicture, error);
}

bool H264Decoder::Flush(const PictureFn &onPicture, std::string *error) {
    const int rc = avcodec_send_packet(context_.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        *error = "H.264 decoder cannot flush: " + av::AvError(rc);
        return false;
    }
    return Drain(onPicture, error);
}

bool H264Decoder::Drain(const PictureFn &onPicture, std::string *error) {
    while (true) {
        const int rc = avcodec_receive_frame(context_.get(), frame_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return true;
        }
        if (rc < 0) {
            *error = "H.264 decoder failed: " + av::AvError(rc);
            return false;
        }
        onPicture(*frame_);
        av_frame_unref(frame_.get());
    }
}

std::unique_ptr<H264Decoder> H264Decoder::Create(std::string *error) {
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        *error = "this FFmpeg has no H.264 decoder";
        return nullptr;
    }
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    if (!context || !packet || !frame) {
        *error = "out of memory for the H.264 decoder";
        return nullptr;
    }
    // One picture out per picture in: no frame threads, no reordering delay.
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_count = 1;
    const int rc = avcodec_open2(context.get(), codec, nullptr);
    if (rc < 0) {
        *error = "cannot open the H.264 decoder: " + av::AvError(rc);
        return nullptr;
    }
    return std::unique_ptr<H264Decoder>(
        new H264Decoder(std::move(context), std::move(packet), std::move(frame)));
}

}  // namespace mirrax::client
