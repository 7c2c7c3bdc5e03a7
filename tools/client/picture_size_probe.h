// Learns the picture size of a stream by decoding it up to its first picture.
#ifndef MIRRAX_TOOLS_CLIENT_PICTURE_SIZE_PROBE_H
#define MIRRAX_TOOLS_CLIENT_PICTURE_SIZE_PROBE_H

#include <memory>
#include <optional>
#include <string_view>

#include "h264_decoder.h"

namespace mirrax::client {

struct PictureSize {
    int width = 0;
    int height = 0;
};

class PictureSizeProbe {
public:
    // Feeds one buffer unless the size is already known; true once it is known.
    bool Feed(std::string_view data, bool codecData);
    std::optional<PictureSize> Size() const { return size_; }

private:
    std::unique_ptr<H264Decoder> decoder_;
    bool failed_ = false;
    std::optional<PictureSize> size_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_PICTURE_SIZE_PROBE_H
