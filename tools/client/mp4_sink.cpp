// H.264 in a container through libavformat (MP4 files, NUT or MPEG-TS on standard
// output), track parameters from the stream's codec data.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "frame_sink.h"
#include "mirrax_media/av_handles.h"
#include "monotonic_pts.h"

namespace mirrax::client {

namespace {

// Pictures kept while waiting for the first one that decodes; a stream that has
// none by then is not H.264 this client can write.
constexpr size_t kMaxPendingPictures = 300;
constexpr AVRational kMillisecond{1, 1000};
// Duration of a last picture that no other one follows.
constexpr int64_t kDefaultDurationMs = 33;

class ContainerSink : public FrameSink {
public:
    // `live`: a pipe to a player. Each picture is written and flushed as it arrives
    // (no waiting for the next one to know its duration).
    ContainerSink(std::string url, std::string name, av::FormatContextPtr format, AVStream *stream,
                  bool live)
        : url_(std::move(url)),
          path_(std::move(name)),
          format_(std::move(format)),
          stream_(stream),
          live_(live) {}

    bool Open(std::string *error) {
        AVIOContext *io = nullptr;
        const int rc = avio_open(&io, url_.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) {
            *error = "cannot create " + path_ + ": " + av::AvError(rc);
            return false;
        }
        io_.reset(io);
        format_->pb = io;
        packet_.reset(av_packet_alloc());
        if (!packet_) {
            *error = "out of memory for the writer";
            return false;
        }
        return true;
    }

    bool Write(const FrameMessage &frame, std::string *error) override {
        if (frame.IsCodecData()) {
            if (!headerWritten_) {
                codecData_.assign(frame.data);
            } else if (codecData_ != frame.data && !warnedCodecChange_) {
                warnedCodecChange_ = true;
                fprintf(stderr,
                        "mirrax_client: warning: the stream's codec data changed (the screen "
                        "was reconfigured); %s keeps the first track parameters\n",
                        path_.c_str());
            }
            probe_.Feed(frame.data, true);
            return true;
        }
        if (!frame.IsPicture()) {
            return true;
        }
        const int64_t pts = pts_.Next(frame.pts);
        if (headerWritten_) {
            return Take(Pending{std::string(frame.data), pts, frame.IsKeyFrame()}, error);
        }
        pending_.push_back(Pending{std::string(frame.data), pts, frame.IsKeyFrame()});
        if (!probe_.Feed(frame.data, false)) {
            if (pending_.size() >= kMaxPendingPictures) {
                *error = "no decodable picture in the first " +
                         std::to_string(kMaxPendingPictures) + " pictures; " + path_ +
                         " cannot be written";
                return false;
            }
            return true;
        }
        if (!WriteHeader(error)) {
            return false;
        }
        std::vector<Pending> pending = std::move(pending_);
        pending_.clear();
        for (auto &p : pending) {
            if (!Take(std::move(p), error)) {
                return false;
            }
        }
        return true;
    }

    bool Finish(std::string *error) override {
        bool ok = true;
        if (headerWritten_ && held_) {
            ok = WritePacket(*held_, lastDuration_, error);
            held_.reset();
        }
        if (headerWritten_ && ok) {
            const int rc = av_write_trailer(format_.get());
            if (rc < 0) {
                *error = "cannot finish " + path_ + ": " + av::AvError(rc);
                ok = false;
            }
        } else {
            *error = "no picture arrived; nothing was written to " + path_;
            ok = false;
        }
        AVIOContext *io = io_.release();
        format_->pb = nullptr;
        const int rc = avio_closep(&io);
        if (rc < 0 && ok) {
            *error = "cannot close " + path_ + ": " + av::AvError(rc);
            ok = false;
        }
        if (!headerWritten_ && !live_) {
            std::remove(path_.c_str());
        }
        return ok;
    }

    bool ReaderGone() const override { return readerGone_; }

    std::optional<PictureSize> Size() const override { return probe_.Size(); }

private:
    struct Pending {
        std::string data;
        int64_t pts;
        bool key;
    };

    bool WriteHeader(std::string *error) {
        const auto size = probe_.Size();
        AVCodecParameters *par = stream_->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_H264;
        par->width = size->width;
        par->height = size->height;
        if (!codecData_.empty()) {
            par->extradata = static_cast<uint8_t *>(
                av_mallocz(codecData_.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (par->extradata == nullptr) {
                *error = "out of memory for the writer";
                return false;
            }
            memcpy(par->extradata, codecData_.data(), codecData_.size());
            par->extradata_size = static_cast<int>(codecData_.size());
        }
        stream_->time_base = kMillisecond;
        const int rc = avformat_write_header(format_.get(), nullptr);
        if (rc < 0) {
            *error = "cannot start " + path_ + ": " + av::AvError(rc);
            return false;
        }
        headerWritten_ = true;
        return true;
    }

    bool Take(Pending next, std::string *error) {
        if (!live_) {
            return Hold(std::move(next), error);
        }
        if (!WritePacket(next, 0, error)) {
            return false;
        }
        avio_flush(format_->pb);
        if (format_->pb->error < 0) {
            readerGone_ = format_->pb->error == AVERROR(EPIPE);
            *error = "cannot write " + path_ + ": " + av::AvError(format_->pb->error);
            return false;
        }
        return true;
    }

    // A picture lasts until the next one; without durations the muxer's edit list
    // would cut the last picture off. So each one is written when its successor comes.
    bool Hold(Pending next, std::string *error) {
        if (held_) {
            lastDuration_ = next.pts - held_->pts;
            if (!WritePacket(*held_, lastDuration_, error)) {
                return false;
            }
        }
        held_ = std::move(next);
        return true;
    }

    bool WritePacket(const Pending &picture, int64_t durationMs, std::string *error) {
        const std::string &data = picture.data;
        int rc = av_new_packet(packet_.get(), static_cast<int>(data.size()));
        if (rc < 0) {
            *error = "out of memory for the writer";
            return false;
        }
        memcpy(packet_->data, data.data(), data.size());
        packet_->pts = av_rescale_q(picture.pts, kMillisecond, stream_->time_base);
        packet_->dts = packet_->pts;
        packet_->duration = av_rescale_q(durationMs, kMillisecond, stream_->time_base);
        packet_->stream_index = stream_->index;
        if (picture.key) {
            packet_->flags |= AV_PKT_FLAG_KEY;
        }
        rc = av_interleaved_write_frame(format_.get(), packet_.get());  // takes the data
        if (rc < 0) {
            readerGone_ = rc == AVERROR(EPIPE);
            *error = "cannot write " + path_ + ": " + av::AvError(rc);
            return false;
        }
        return true;
    }

    std::string url_;
    std::string path_;  // for messages
    // Destroyed in reverse order: the I/O context before the format context.
    av::FormatContextPtr format_;
    av::IoContextPtr io_;
    AVStream *stream_;  // owned by format_
    av::PacketPtr packet_;
    PictureSizeProbe probe_;
    MonotonicPts pts_;
    std::string codecData_;
    std::vector<Pending> pending_;  // before the header
    std::optional<Pending> held_;   // after it: the picture waiting for its duration
    int64_t lastDuration_ = kDefaultDurationMs;
    bool live_;
    bool headerWritten_ = false;
    bool warnedCodecChange_ = false;
    bool readerGone_ = false;
};

std::unique_ptr<FrameSink> OpenContainerSink(const std::string &url, const std::string &name,
                                             const char *formatName, bool live,
                                             std::string *error) {
    AVFormatContext *raw = nullptr;
    const int rc = avformat_alloc_output_context2(&raw, nullptr, formatName, nullptr);
    if (rc < 0 || raw == nullptr) {
        *error = std::string("cannot set up a ") + formatName + " writer: " + av::AvError(rc);
        return nullptr;
    }
    av::FormatContextPtr format(raw);
    AVStream *stream = avformat_new_stream(format.get(), nullptr);
    if (stream == nullptr) {
        *error = "out of memory for the writer";
        return nullptr;
    }
    auto sink = std::make_unique<ContainerSink>(url, name, std::move(format), stream, live);
    if (!sink->Open(error)) {
        return nullptr;
    }
    return sink;
}

}  // namespace

std::unique_ptr<FrameSink> OpenMp4Sink(const std::string &path, std::string *error) {
    return OpenContainerSink(path, path, "mp4", false, error);
}

std::unique_ptr<FrameSink> OpenPipeSink(const char *formatName, std::string *error) {
    return OpenContainerSink("pipe:1", "standard output", formatName, true, error);
}

}  // namespace mirrax::client
