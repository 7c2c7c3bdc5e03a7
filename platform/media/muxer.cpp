// OH_AVMuxer: libavformat's MP4 writer on the caller's file descriptor, written as
// fragmented MP4 (a fragment per key frame, at most one second long) so a file cut
// off by a crash still plays up to its last complete fragment.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "av_objects.h"
#include "handle_registry.h"
#include "media_log.h"
#include "mirrax_media/av_handles.h"
#include "mirrax_platform/fault_injection.h"
#include "multimedia/player_framework/native_avmuxer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
}

namespace mirrax::media {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

int WriteToFd(void *opaque, uint8_t *data, int size) {
    const int fd = *static_cast<int *>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    return done;
}

int64_t SeekFd(void *opaque, int64_t offset, int whence) {
    const int fd = *static_cast<int *>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st {};
        return fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t result = lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(errno) : result;
}

class Muxer {
public:
    enum class State { kCreated, kStarted, kStopped };

    explicit Muxer(int fd) : fd_(fd) {}
    ~Muxer() { Release(); }

    bool Open() {
        RouteFfmpegLog();
        AVFormatContext *raw = nullptr;
        int ret = avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
        if (ret < 0 || raw == nullptr) {
            MEDIA_LOGE("muxer: no mp4 writer: %{public}s", av::AvError(ret).c_str());
            return false;
        }
        format_.reset(raw);
        auto *buffer = static_cast<uint8_t *>(av_malloc(kIoBufferSize));
        if (buffer == nullptr) {
            return false;
        }
        io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, &fd_, nullptr, WriteToFd, SeekFd));
        if (!io_) {
            av_free(buffer);
            return false;
        }
        format_->pb = io_.get();
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
        packet_.reset(av_packet_alloc());
        return packet_ != nullptr;
    }

    OH_AVErrCode SetRotation(int32_t rotation) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kCreated) {
            return AV_ERR_OPERATE_NOT_PERMIT;
        }
        if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270) {
            return AV_ERR_INVALID_VAL;
        }
        rotation_ = rotation;
        return AV_ERR_OK;
    }

    OH_AVErrCode AddTrack(int32_t *trackIndex, const OH_AVFormat &format) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kCreated) {
            return AV_ERR_OPERATE_NOT_PERMIT;
        }
        auto mime = FormatString(format, OH_MD_KEY_CODEC_MIME);
        if (!mime) {
            return AV_ERR_INVALID_VAL;
        }
        if (*mime != OH_AVCODEC_MIMETYPE_VIDEO_AVC) {
            MEDIA_LOGE("muxer: unsupported track mime %{public}s", mime->c_str());
            return AV_ERR_UNSUPPORT;
        }
        if (stream_ != nullptr) {
            return AV_ERR_OPERATE_NOT_PERMIT;  // one video track per file
        }
        auto width = FormatInt(format, OH_MD_KEY_WIDTH);
        auto height = FormatInt(format, OH_MD_KEY_HEIGHT);
        if (!width || !height || *width <= 0 || *height <= 0) {
            return AV_ERR_INVALID_VAL;
        }
        AVStream *stream = avformat_new_stream(format_.get(), nullptr);
        if (stream == nullptr) {
            return AV_ERR_NO_MEMORY;
        }
        stream->time_base = AVRational{1, 1'000'000};
        stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        stream->codecpar->codec_id = AV_CODEC_ID_H264;
        stream->codecpar->width = *width;
        stream->codecpar->height = *height;
        if (auto rate = FormatDouble(format, OH_MD_KEY_FRAME_RATE); rate && *rate > 0) {
            stream->avg_frame_rate = av_d2q(*rate, 100000);
        }
        if (auto bitRate = FormatLong(format, OH_MD_KEY_BITRATE); bitRate && *bitRate > 0) {
            stream->codecpar->bit_rate = *bitRate;
        }
        stream_ = stream;
        *trackIndex = stream->index;
        return AV_ERR_OK;
    }

    OH_AVErrCode Start() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kCreated || stream_ == nullptr) {
            return AV_ERR_OPERATE_NOT_PERMIT;
        }
        state_ = State::kStarted;  // the header follows once the configuration is known
        return AV_ERR_OK;
    }

    OH_AVErrCode WriteSample(uint32_t track, OH_AVMemory *sample,
                             const OH_AVCodecBufferAttr &info) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kStarted) {
            return AV_ERR_OPERATE_NOT_PERMIT;
        }
        if (stream_ == nullptr || track != static_cast<uint32_t>(stream_->index) ||
            !IsLiveMemory(sample) || info.size < 0 || info.offset < 0 ||
            static_cast<size_t>(info.offset) + static_cast<size_t>(info.size) >
                sample->bytes.size()) {
            return AV_ERR_INVALID_VAL;
        }
        const uint8_t *data = sample->bytes.data() + info.offset;
        const size_t size = static_cast<size_t>(info.size);
        if ((info.flags & AVCODEC_BUFFER_FLAGS_CODEC_DATA) != 0) {
            return SetConfig(data, size);
        }
        if (size == 0) {
            return AV_ERR_OK;  // an end-of-stream marker carries no frame
        }
        const bool key = (info.flags & AVCODEC_BUFFER_FLAGS_SYNC_FRAME) != 0;
        if (!headerWritten_) {
            // No configuration given: a key frame carries its own SPS and PPS.
            if (!key) {
                MEDIA_LOGE("muxer: a frame before the stream configuration is dropped");
                return AV_ERR_INVALID_VAL;
            }
            if (OH_AVErrCode code = SetConfig(data, size); code != AV_ERR_OK) {
                return code;
            }
        }
        int64_t pts = info.pts;
        if (lastPts_ != INT64_MIN && pts <= lastPts_) {
            MEDIA_LOGW("muxer: sample time %{public}lld not after %{public}lld, moved",
                       static_cast<long long>(pts), static_cast<long long>(lastPts_));
            pts = lastPts_ + 1;
        }
        lastPts_ = pts;
        AVPacket *packet = packet_.get();
        av_packet_unref(packet);
        packet->data = const_cast<uint8_t *>(data);
        packet->size = static_cast<int>(size);
        packet->pts = pts;
        packet->dts = pts;
        packet->stream_index = stream_->index;
        packet->flags = key ? AV_PKT_FLAG_KEY : 0;
        int ret = av_write_frame(format_.get(), packet);
        packet->data = nullptr;
        packet->size = 0;
        if (ret >= 0) {
            avio_flush(format_->pb);   // completed fragments reach the file at once
            ret = format_->pb->error;  // a failed flush (a full disk) sticks here
        }
        if (ret < 0) {
            // Once the file cannot take data, every later sample fails the same way:
            // the first failure is logged, the rest counted and reported by Stop.
            if (failedSamples_++ == 0) {
                MEDIA_LOGE("muxer: writing a sample failed: %{public}s", av::AvError(ret).c_str());
            }
            return AV_ERR_IO;
        }
        ++samples_;
        return AV_ERR_OK;
    }

    OH_AVErrCode Stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::kStarted) {
            return AV_ERR_OPERATE_NOT_PERMIT;
        }
        state_ = State::kStopped;
        if (!headerWritten_) {
            return AV_ERR_OK;
        }
        const int ret = av_write_trailer(format_.get());
        avio_flush(format_->pb);
        MEDIA_LOGI("muxer stopped: %{public}llu samples",
                   static_cast<unsigned long long>(samples_));
        if (failedSamples_ > 0) {
            MEDIA_LOGE("muxer: %{public}llu samples could not be written",
                       static_cast<unsigned long long>(failedSamples_));
        }
        return ret < 0 ? AV_ERR_IO : AV_ERR_OK;
    }

    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        // Teardown order: (trailer in Stop), then the I/O context, then the format.
        if (format_) {
            format_->pb = nullptr;
        }
        io_.reset();
        format_.reset();
    }

private:
    OH_AVErrCode SetConfig(const uint8_t *data, size_t size) {
        if (headerWritten_) {
            return AV_ERR_OK;  // the track's configuration is fixed once written
        }
        if (size == 0) {
            return AV_ERR_INVALID_VAL;
        }
        AVCodecParameters *par = stream_->codecpar;
        av_freep(&par->extradata);
        par->extradata = static_cast<uint8_t *>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            return AV_ERR_NO_MEMORY;
        }
        memcpy(par->extradata, data, size);
        par->extradata_size = static_cast<int>(size);
        if (rotation_ != 0) {
            uint8_t *side =
                av_stream_new_side_data(stream_, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9);
            if (side != nullptr) {
                av_display_rotation_set(reinterpret_cast<int32_t *>(side), -rotation_);
            }
        }
        AVDictionary *raw = nullptr;
        av_dict_set(&raw, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&raw, "frag_duration", "1000000", 0);
        av::DictionaryPtr options(raw);
        raw = options.release();
        const int ret = avformat_write_header(format_.get(), &raw);
        options.reset(raw);
        if (ret < 0) {
            MEDIA_LOGE("muxer: writing the header failed: %{public}s", av::AvError(ret).c_str());
            return AV_ERR_IO;
        }
        avio_flush(format_->pb);
        headerWritten_ = true;
        return AV_ERR_OK;
    }

    int fd_;
    std::mutex mutex_;
    State state_ = State::kCreated;
    av::FormatContextPtr format_;
    av::CustomIoContextPtr io_;
    av::PacketPtr packet_;
    AVStream *stream_ = nullptr;  // owned by format_
    int32_t rotation_ = 0;
    bool headerWritten_ = false;
    int64_t lastPts_ = INT64_MIN;
    uint64_t samples_ = 0;
    uint64_t failedSamples_ = 0;
};

}  // namespace
}  // namespace mirrax::media

struct OH_AVMuxer {
    int unused = 0;  // identity only; the muxer lives in the registry
};

namespace {

using mirrax::media::Muxer;

mirrax::media::HandleMap<OH_AVMuxer, Muxer> &Muxers() {
    static mirrax::media::HandleMap<OH_AVMuxer, Muxer> muxers;
    return muxers;
}

template <typename Call>
OH_AVErrCode WithMuxer(const char *name, OH_AVMuxer *muxer, Call call) {
    if (auto code = mirrax::platform::TakeFault(name)) {
        return static_cast<OH_AVErrCode>(*code);
    }
    auto impl = Muxers().Find(muxer);
    return impl ? call(*impl) : AV_ERR_INVALID_VAL;
}

}  // namespace

extern "C" {

OH_AVMuxer *OH_AVMuxer_Create(int32_t fd, OH_AVOutputFormat format) {
    if (mirrax::platform::TakeFault("OH_AVMuxer_Create") || fd < 0 ||
        format != AV_OUTPUT_FORMAT_MPEG_4 || fcntl(fd, F_GETFD) < 0) {
        return nullptr;
    }
    const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
    if (mode == O_RDONLY) {
        MEDIA_LOGE("muxer: descriptor %{public}d is not writable", fd);
        return nullptr;
    }
    auto impl = std::make_shared<Muxer>(fd);
    if (!impl->Open()) {
        return nullptr;
    }
    auto handle = std::make_unique<OH_AVMuxer>();
    Muxers().Add(handle.get(), std::move(impl));
    return handle.release();
}

OH_AVErrCode OH_AVMuxer_SetRotation(OH_AVMuxer *muxer, int32_t rotation) {
    return WithMuxer("OH_AVMuxer_SetRotation", muxer,
                     [&](Muxer &m) { return m.SetRotation(rotation); });
}

OH_AVErrCode OH_AVMuxer_AddTrack(OH_AVMuxer *muxer, int32_t *trackIndex, OH_AVFormat *trackFormat) {
    return WithMuxer("OH_AVMuxer_AddTrack", muxer, [&](Muxer &m) {
        if (trackIndex == nullptr || !mirrax::media::IsLiveFormat(trackFormat)) {
            return AV_ERR_INVALID_VAL;
        }
        return m.AddTrack(trackIndex, *trackFormat);
    });
}

OH_AVErrCode OH_AVMuxer_Start(OH_AVMuxer *muxer) {
    return WithMuxer("OH_AVMuxer_Start", muxer, [](Muxer &m) { return m.Start(); });
}

OH_AVErrCode OH_AVMuxer_WriteSample(OH_AVMuxer *muxer, uint32_t trackIndex, OH_AVMemory *sample,
                                    OH_AVCodecBufferAttr info) {
    return WithMuxer("OH_AVMuxer_WriteSample", muxer,
                     [&](Muxer &m) { return m.WriteSample(trackIndex, sample, info); });
}

OH_AVErrCode OH_AVMuxer_Stop(OH_AVMuxer *muxer) {
    return WithMuxer("OH_AVMuxer_Stop", muxer, [](Muxer &m) { return m.Stop(); });
}

OH_AVErrCode OH_AVMuxer_Destroy(OH_AVMuxer *muxer) {
    if (auto code = mirrax::platform::TakeFault("OH_AVMuxer_Destroy")) {
        return static_cast<OH_AVErrCode>(*code);
    }
    auto impl = Muxers().Remove(muxer);
    if (!impl) {
        return AV_ERR_INVALID_VAL;
    }
    impl->Release();
    impl.reset();
    delete muxer;
    return AV_ERR_OK;
}

}  // extern "C"
