// The stream into a file or standard output: raw H.264 as received, or in a container
// (MP4 files, NUT or MPEG-TS on standard output) with track parameters from the
// stream's codec data.
#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "av_output.h"
#include "client_log.h"
#include "frame_sink.h"
#include "monotonic_pts.h"

namespace mirrax::client {

namespace {

// Pictures kept while waiting for the first one that decodes; a stream that has
// none by then is not H.264 this client can write.
constexpr size_t kMaxPendingPictures = 300;
// Duration of a last picture that no other one follows.
constexpr int64_t kDefaultDurationMs = 33;

class FileSink : public FrameSink {
public:
    // `muxer` null: raw. On standard output ("-": a pipe to a player) each buffer is
    // written and flushed as it arrives (no waiting for the next one to know its
    // duration).
    FileSink(const std::string &path, const char *muxer)
        : path_(path), name_(path == "-" ? "standard output" : path), muxer_(muxer) {}

    bool Open(std::string *error) {
        const int rc = output_.Open(muxer_, Live() ? "pipe:1" : "file:" + path_);
        if (rc < 0 && muxer_ != nullptr && !output_.HasMuxer()) {
            *error = std::string("cannot set up a ") + muxer_ + " writer: " + av::AvError(rc);
        } else if (rc < 0) {
            *error = "cannot create " + name_ + ": " + av::AvError(rc);
        }
        return rc >= 0;
    }

    bool Write(const FrameMessage &frame, std::string *error) override {
        if (muxer_ == nullptr) {
            probe_.Feed(frame.data, frame.IsCodecData());
            return Written(output_.WriteBytes(frame.data, Live()), error);
        }
        if (frame.IsCodecData()) {
            if (!output_.HeaderWritten()) {
                codecData_.assign(frame.data);
            } else if (codecData_ != frame.data && !warnedCodecChange_) {
                warnedCodecChange_ = true;
                Warn(
                    "the stream's codec data changed (the screen was reconfigured); %s keeps "
                    "the first track parameters",
                    name_.c_str());
            }
            probe_.Feed(frame.data, true);
            return true;
        }
        if (!frame.IsPicture()) {
            return true;
        }
        Pending picture{std::string(frame.data), pts_.Next(frame.pts), frame.IsKeyFrame()};
        if (output_.HeaderWritten()) {
            return Take(std::move(picture), error);
        }
        pending_.push_back(std::move(picture));
        if (!probe_.Feed(frame.data, false)) {
            if (pending_.size() >= kMaxPendingPictures) {
                *error = "no decodable picture in the first " +
                         std::to_string(kMaxPendingPictures) + " pictures; " + name_ +
                         " cannot be written";
                return false;
            }
            return true;
        }
        const int rc = output_.WriteHeader(*probe_.Size(), codecData_);
        if (rc < 0) {
            *error = "cannot start " + name_ + ": " + av::AvError(rc);
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
        if (muxer_ == nullptr) {
            // Closing reports no error of the last writes: they are flushed first.
            const int rc = output_.WriteBytes({}, true);
            return Written(rc < 0 ? rc : output_.Close(), error);
        }
        bool ok = true;
        const bool headerWritten = output_.HeaderWritten();
        if (headerWritten && held_) {
            ok = WritePicture(*held_, lastDuration_, error);
            held_.reset();
        }
        if (headerWritten && ok) {
            const int rc = output_.WriteTrailer();
            if (rc < 0) {
                *error = "cannot finish " + name_ + ": " + av::AvError(rc);
                ok = false;
            }
        } else {
            *error = "no picture arrived; nothing was written to " + name_;
            ok = false;
        }
        const int rc = output_.Close();
        if (rc < 0 && ok) {
            *error = "cannot close " + name_ + ": " + av::AvError(rc);
            ok = false;
        }
        if (!headerWritten && !Live()) {
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

    bool Live() const { return path_ == "-"; }

    bool Take(Pending next, std::string *error) {
        if (Live()) {
            return WritePicture(next, 0, error);
        }
        // A picture lasts until the next one; without durations the muxer's edit list
        // would cut the last picture off. So each one is written when its successor
        // comes.
        if (held_) {
            lastDuration_ = next.pts - held_->pts;
            if (!WritePicture(*held_, lastDuration_, error)) {
                return false;
            }
        }
        held_ = std::move(next);
        return true;
    }

    bool WritePicture(const Pending &picture, int64_t durationMs, std::string *error) {
        return Written(
            output_.WritePicture(picture.data, picture.pts, durationMs, picture.key, Live()),
            error);
    }

    bool Written(int rc, std::string *error) {
        if (rc >= 0) {
            return true;
        }
        readerGone_ = rc == AVERROR(EPIPE);
        *error = readerGone_ && muxer_ == nullptr
                     ? name_ + " was closed by its reader"
                     : "cannot write " + name_ + ": " + av::AvError(rc);
        return false;
    }

    const std::string path_;
    const std::string name_;  // for messages
    const char *const muxer_;
    AvOutput output_;
    PictureSizeProbe probe_;
    MonotonicPts pts_;
    std::string codecData_;
    std::vector<Pending> pending_;  // before the header
    std::optional<Pending> held_;   // after it: the picture waiting for its duration
    int64_t lastDuration_ = kDefaultDurationMs;
    bool warnedCodecChange_ = false;
    bool readerGone_ = false;
};

}  // namespace

std::unique_ptr<FrameSink> OpenFileSink(const std::string &path, const char *muxer,
                                        std::string *error) {
    auto sink = std::make_unique<FileSink>(path, muxer);
    if (!sink->Open(error)) {
        return nullptr;
    }
    return sink;
}

}  // namespace mirrax::client
