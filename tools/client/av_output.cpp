#include "av_output.h"

#include <cstring>

namespace mirrax::client {

namespace {

constexpr AVRational kMillisecond{1, 1000};

}  // namespace

int AvOutput::Open(const char *muxer, const std::string &url, const AVIOInterruptCB *interrupt,
                   av::DictionaryPtr options) {
    if (muxer != nullptr) {
        AVFormatContext *raw = nullptr;
        const int rc = avformat_alloc_output_context2(&raw, nullptr, muxer, url.c_str());
        if (rc < 0 || raw == nullptr) {
            return rc < 0 ? rc : AVERROR_MUXER_NOT_FOUND;
        }
        format_.reset(raw);
        if (interrupt != nullptr) {
            format_->interrupt_callback = *interrupt;
        }
        stream_ = avformat_new_stream(format_.get(), nullptr);
        if (stream_ == nullptr) {
            return AVERROR(ENOMEM);
        }
        if ((format_->oformat->flags & AVFMT_NOFILE) != 0) {
            return 0;
        }
    }
    AVIOContext *io = nullptr;
    AVDictionary *dictionary = options.release();
    const int rc = avio_open2(&io, url.c_str(), AVIO_FLAG_WRITE, interrupt, &dictionary);
    options.reset(dictionary);
    if (rc < 0) {
        return rc;
    }
    io_.reset(io);
    if (format_) {
        format_->pb = io;
    }
    return 0;
}

int AvOutput::WriteHeader(PictureSize size, std::string_view codecData, av::DictionaryPtr options) {
    AVCodecParameters *par = stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = size.width;
    par->height = size.height;
    if (!codecData.empty()) {
        par->extradata =
            static_cast<uint8_t *>(av_mallocz(codecData.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            return AVERROR(ENOMEM);
        }
        memcpy(par->extradata, codecData.data(), codecData.size());
        par->extradata_size = static_cast<int>(codecData.size());
    }
    stream_->time_base = kMillisecond;
    packet_.reset(av_packet_alloc());
    if (!packet_) {
        return AVERROR(ENOMEM);
    }
    AVDictionary *dictionary = options.release();
    const int rc = avformat_write_header(format_.get(), &dictionary);
    options.reset(dictionary);
    headerWritten_ = rc >= 0;
    return rc;
}

int AvOutput::WritePicture(std::string_view data, int64_t ptsMs, int64_t durationMs, bool key,
                           bool flush) {
    int rc = av_new_packet(packet_.get(), static_cast<int>(data.size()));
    if (rc < 0) {
        return rc;
    }
    memcpy(packet_->data, data.data(), data.size());
    // The muxer may have chosen another time base for the stream in its header.
    packet_->pts = av_rescale_q(ptsMs, kMillisecond, stream_->time_base);
    packet_->dts = packet_->pts;
    packet_->duration = av_rescale_q(durationMs, kMillisecond, stream_->time_base);
    packet_->stream_index = stream_->index;
    if (key) {
        packet_->flags |= AV_PKT_FLAG_KEY;
    }
    rc = av_interleaved_write_frame(format_.get(), packet_.get());  // takes the data
    if (rc >= 0 && flush && format_->pb != nullptr) {
        avio_flush(format_->pb);
        rc = format_->pb->error;
    }
    return rc;
}

int AvOutput::WriteBytes(std::string_view data, bool flush) {
    avio_write(io_.get(), reinterpret_cast<const unsigned char *>(data.data()),
               static_cast<int>(data.size()));
    if (flush) {
        avio_flush(io_.get());
    }
    return io_->error;
}

int AvOutput::Close() {
    if (format_) {
        format_->pb = nullptr;
    }
    AVIOContext *io = io_.release();
    const int rc = avio_closep(&io);
    format_.reset();
    stream_ = nullptr;
    headerWritten_ = false;
    return rc;
}

}  // namespace mirrax::client
