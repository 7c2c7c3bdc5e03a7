// A low-delay libavcodec H.264 decoder fed with the stream's Annex B buffers.
#ifndef MIRRAX_TOOLS_CLIENT_H264_DECODER_H
#define MIRRAX_TOOLS_CLIENT_H264_DECODER_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct AVFrame;

namespace mirrax::client {

class H264Decoder {
public:
    // A ready decoder, or null with a reason.
    static std::unique_ptr<H264Decoder> Create(std::string *error);
    virtual ~H264Decoder() = default;

    using PictureFn = std::function<void(const AVFrame &)>;

    // Decodes one buffer and hands every picture that comes out to `onPicture`. Codec
    // data (SPS/PPS, in one buffer or several) is kept and decoded together with the
    // next picture, since on its own it makes no picture. False with a reason when the
    // decoder rejects a buffer.
    virtual bool Decode(std::string_view data, bool codecData, const PictureFn &onPicture,
                        std::string *error) = 0;
    // Ends the stream and hands over any picture still inside the decoder.
    virtual bool Flush(const PictureFn &onPicture, std::string *error) = 0;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_H264_DECODER_H
