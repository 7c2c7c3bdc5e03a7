// Raw H.264 to a file or to standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame_sink.h"

namespace mirrax::client {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

class RawSink : public FrameSink {
public:
    RawSink(FilePtr owned, FILE *out, std::string name)
        : owned_(std::move(owned)), out_(out), name_(std::move(name)) {}

    bool Write(const FrameMessage &frame, std::string *error) override {
        probe_.Feed(frame.data, frame.IsCodecData());
        if (!frame.data.empty() &&
            fwrite(frame.data.data(), 1, frame.data.size(), out_) != frame.data.size()) {
            return Failed(error);
        }
        // A pipe's reader (a player) wants each picture as soon as it is here.
        if (!owned_ && fflush(out_) != 0) {
            return Failed(error);
        }
        return true;
    }

    bool Finish(std::string *error) override {
        if (fflush(out_) != 0) {
            return Failed(error);
        }
        if (owned_ && fclose(owned_.release()) != 0) {
            return Failed(error);
        }
        return true;
    }

    bool ReaderGone() const override { return readerGone_; }
    std::optional<PictureSize> Size() const override { return probe_.Size(); }

private:
    bool Failed(std::string *error) {
        readerGone_ = errno == EPIPE;
        *error = readerGone_ ? name_ + " was closed by its reader"
                             : "cannot write " + name_ + ": " + strerror(errno);
        return false;
    }

    FilePtr owned_;
    FILE *out_;
    std::string name_;
    bool readerGone_ = false;
    PictureSizeProbe probe_;
};

}  // namespace

std::unique_ptr<FrameSink> OpenRawSink(const std::string &path, std::string *error) {
    if (path == "-") {
        return std::make_unique<RawSink>(nullptr, stdout, "standard output");
    }
    FilePtr file(fopen(path.c_str(), "wb"));
    if (!file) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return nullptr;
    }
    FILE *out = file.get();
    return std::make_unique<RawSink>(std::move(file), out, path);
}

}  // namespace mirrax::client
