#include "support/h264_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "client/h264_decoder.h"
#include "mirrax_media/av_handles.h"
#include "mirrax_platform/frame_stamp.h"

namespace mirrax::test {
namespace {

DecodedPicture ToPicture(const AVFrame *frame) {
    DecodedPicture picture;
    picture.width = frame->width;
    picture.height = frame->height;
    picture.luma.resize(static_cast<size_t>(frame->width) * frame->height);
    for (int y = 0; y < frame->height; ++y) {
        std::copy_n(frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], frame->width,
                    picture.luma.begin() + static_cast<ptrdiff_t>(y) * frame->width);
    }
    if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) {
        const int chromaWidth = (frame->width + 1) / 2;
        const int chromaHeight = (frame->height + 1) / 2;
        picture.cb.resize(static_cast<size_t>(chromaWidth) * chromaHeight);
        picture.cr.resize(picture.cb.size());
        for (int y = 0; y < chromaHeight; ++y) {
            const ptrdiff_t row = static_cast<ptrdiff_t>(y) * chromaWidth;
            std::copy_n(frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1],
                        chromaWidth, picture.cb.begin() + row);
            std::copy_n(frame->data[2] + static_cast<ptrdiff_t>(y) * frame->linesize[2],
                        chromaWidth, picture.cr.begin() + row);
        }
    }
    picture.colorspace = frame->colorspace;
    picture.fullRange =
        frame->color_range == AVCOL_RANGE_JPEG || frame->format == AV_PIX_FMT_YUVJ420P;
    if (auto stamp =
            stamp::ReadLuma(picture.luma.data(), picture.width, picture.height, picture.width)) {
        picture.sequence = stamp->sequence;
        picture.drawTimeUs = stamp->drawTimeUs;
    }
    return picture;
}

// True when the Annex B data holds a coded slice (NAL types 1 to 5).
bool HasSlice(const uint8_t *data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            const int type = data[i + 3] & 0x1F;
            if (type >= 1 && type <= 5) {
                return true;
            }
            i += 2;
        }
    }
    return false;
}

}  // namespace

std::array<int, 3> DecodedPicture::RgbAt(int x, int y) const {
    // Luma weights of the tagged matrix. Without a tag players guess by size: BT.709
    // for HD pictures, BT.601 below.
    double kr = 0.299;
    double kb = 0.114;
    const bool bt709 =
        colorspace == AVCOL_SPC_BT709 || (colorspace == AVCOL_SPC_UNSPECIFIED && height >= 720);
    if (bt709) {
        kr = 0.2126;
        kb = 0.0722;
    }
    const size_t chroma = static_cast<size_t>(y / 2) * ((width + 1) / 2) + x / 2;
    if (chroma >= cb.size()) {
        return {-1, -1, -1};
    }
    const double luma1 = fullRange ? lumaAt(x, y) / 255.0 : (lumaAt(x, y) - 16) / 219.0;
    const double pb = (cb[chroma] - 128) / (fullRange ? 255.0 : 224.0);
    const double pr = (cr[chroma] - 128) / (fullRange ? 255.0 : 224.0);
    const double r = luma1 + 2 * (1 - kr) * pr;
    const double b = luma1 + 2 * (1 - kb) * pb;
    const double g = (luma1 - kr * r - kb * b) / (1 - kr - kb);
    auto to8 = [](double v) {
        return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
    };
    return {to8(r), to8(g), to8(b)};
}

struct H264Decoder::Impl {
    std::unique_ptr<client::H264Decoder> decoder;
};

H264Decoder::H264Decoder() : impl_(std::make_unique<Impl>()) {
    std::string error;
    impl_->decoder = client::H264Decoder::Create(&error);
    if (!impl_->decoder) {
        ADD_FAILURE() << error;
    }
}

H264Decoder::~H264Decoder() = default;

std::vector<DecodedPicture> H264Decoder::Decode(const uint8_t *data, size_t size) {
    std::vector<DecodedPicture> out;
    std::string error;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    // Buffers without a slice are parameter sets: the decoder keeps them for the next
    // picture.
    if (!impl_->decoder ||
        !impl_->decoder->Decode(
            bytes, !HasSlice(data, size),
            [&](const AVFrame &frame) { out.push_back(ToPicture(&frame)); }, &error)) {
        ++errors_;
    }
    return out;
}

std::vector<DecodedPicture> H264Decoder::Flush() {
    std::vector<DecodedPicture> out;
    std::string error;
    if (!impl_->decoder ||
        !impl_->decoder->Flush([&](const AVFrame &frame) { out.push_back(ToPicture(&frame)); },
                               &error)) {
        ++errors_;
    }
    return out;
}

Decoded Decode(const std::string &path) {
    Decoded out{{}, 1};
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return out;
    }
    av::InputContextPtr format(raw);
    avformat_find_stream_info(format.get(), nullptr);
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) {
        return out;
    }
    out.errors = 0;
    const AVCodec *codec = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), format->streams[stream]->codecpar);
    context->thread_count = 1;
    avcodec_open2(context.get(), codec, nullptr);
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    auto drain = [&] {
        while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
            out.pictures.push_back(ToPicture(frame.get()));
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream &&
            avcodec_send_packet(context.get(), packet.get()) < 0) {
            ++out.errors;
        }
        av_packet_unref(packet.get());
        drain();
    }
    avcodec_send_packet(context.get(), nullptr);
    drain();
    return out;
}

std::vector<DecodedPicture> DecodeFile(const std::string &path, int *errors) {
    Decoded decoded = Decode(path);
    if (errors != nullptr) {
        *errors = decoded.errors;
    }
    return std::move(decoded.pictures);
}

template <typename Buffer>
Decoded DecodeAll(const std::vector<Buffer> &buffers) {
    H264Decoder decoder;
    Decoded out;
    for (const auto &buffer : buffers) {
        auto pictures =
            decoder.Decode(reinterpret_cast<const uint8_t *>(buffer.data()), buffer.size());
        out.pictures.insert(out.pictures.end(), pictures.begin(), pictures.end());
    }
    auto rest = decoder.Flush();
    out.pictures.insert(out.pictures.end(), rest.begin(), rest.end());
    out.errors = decoder.Errors();
    return out;
}

Decoded DecodeBuffers(const std::vector<std::string> &buffers) { return DecodeAll(buffers); }

Decoded DecodeBuffers(const std::vector<std::vector<uint8_t>> &buffers) {
    return DecodeAll(buffers);
}

std::string CheckPictures(const Decoded &decoded, int width, int height, size_t minPictures,
                          bool increasingStamps) {
    const auto &pictures = decoded.pictures;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (decoded.errors != 0) {
        return std::to_string(decoded.errors) + " decoding errors";
    }
    if (pictures.size() < minPictures) {
        return std::to_string(pictures.size()) + " pictures, expected at least " +
               std::to_string(minPictures);
    }
    size_t stamped = 0;
    std::optional<uint32_t> last;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const auto &p = pictures[i];
        if (p.width != width || p.height != height) {
            return "picture " + std::to_string(i) + " is " + std::to_string(p.width) + "x" +
                   std::to_string(p.height) + ", expected " + size;
        }
        if (increasingStamps && p.sequence) {
            if (last && *p.sequence <= *last) {
                return "picture " + std::to_string(i) + " has stamp " +
                       std::to_string(*p.sequence) + " after " + std::to_string(*last);
            }
            last = p.sequence;
            ++stamped;
        }
    }
    if (increasingStamps && stamped * 10 < pictures.size() * 9) {
        return "only " + std::to_string(stamped) + " of " + std::to_string(pictures.size()) +
               " pictures carry a readable stamp";
    }
    return {};
}

}  // namespace mirrax::test
