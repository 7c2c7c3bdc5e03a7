#include "picture_size_probe.h"

#include <string>

#include "av_handles.h"

namespace mirrax::client {

bool PictureSizeProbe::Feed(std::string_view data, bool codecData) {
    if (size_ || failed_) {
        return size_.has_value();
    }
    std::string error;
    if (!decoder_) {
        decoder_ = H264Decoder::Create(&error);
        if (!decoder_) {
            failed_ = true;
            return false;
        }
    }
    // A buffer the decoder rejects (say, a picture before the codec data) is skipped;
    // a later one may still decode.
    decoder_->Decode(
        data, codecData,
        [this](const AVFrame &picture) {
            if (!size_) {
                size_ = PictureSize{picture.width, picture.height};
            }
        },
        &error);
    if (size_) {
        decoder_.reset();  // nothing more to learn
    }
    return size_.has_value();
}

}  // namespace mirrax::client
