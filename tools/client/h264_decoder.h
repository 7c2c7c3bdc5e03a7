// A low-delay libavcodec H.264 decoder fed with the stream's Annex B buffers.
#ifndef MIRRAX_TOOLS_CLIENT_H264_DECODER_H
#define MIRRAX_TOOLS_CLIENT_H264_DECODER_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mirrax_media/av_handles.h"

namespace mirrax::client {

class H264Decoder {
public:
    // A ready decoder, or null with a reason.
    static std::unique_ptr<H264Decoder> Create(std::string *error);

    using PictureFn = std::function<void(const AVFrame &)>;

    // Decodes one buffer and hands every picture that comes out to `onPicture`. Codec
    // data (SPS/PPS, in one buffer or several) is kept and decoded together with the
    // next picture, since on its own it makes no picture. False with a reason when the
    // decoder rejects a buffer.
    bool Decode(std::string_view data, bool codecData, const PictureFn &onPicture,
                std::string *error);
    // Ends the stream and hands over any picture still inside the decoder.
    bool Flush(const PictureFn &onPicture, std::string *error);

private:
    H264Decoder(av::CodecContextPtr context, av::PacketPtr packet, av::FramePtr frame)
        : context_(std::move(context)), packet_(std::move(packet)), frame_(std::move(frame)) {}
    bool Drain(const PictureFn &onPicture, std::string *error);

    av::CodecContextPtr context_;
    av::PacketPtr packet_;
    av::FramePtr frame_;
    std::string codecData_;  // waiting for the next picture
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_H264_DECODER_H
