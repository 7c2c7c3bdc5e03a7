// Learns the picture size of a stream from its parameter sets and first slice, with
// FFmpeg's H.264 parser: no picture is decoded, so a stream's first picture goes on
// at once (decoding a large key frame with a cold decoder takes tens of ms).
#ifndef MIRRAX_TOOLS_CLIENT_PICTURE_SIZE_PROBE_H
#define MIRRAX_TOOLS_CLIENT_PICTURE_SIZE_PROBE_H

#include <memory>
#include <optional>
#include <string_view>

struct AVCodecContext;
struct AVCodecParserContext;

namespace mirrax::client {

struct PictureSize {
    int width = 0;
    int height = 0;
};

class PictureSizeProbe {
public:
    PictureSizeProbe();
    ~PictureSizeProbe();
    PictureSizeProbe(const PictureSizeProbe &) = delete;
    PictureSizeProbe &operator=(const PictureSizeProbe &) = delete;

    // Feeds one buffer unless the size is already known; true once it is known.
    bool Feed(std::string_view data, bool codecData);
    std::optional<PictureSize> Size() const { return size_; }

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
    bool failed_ = false;
    std::optional<PictureSize> size_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_PICTURE_SIZE_PROBE_H
