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

// `rows` rows of `width` bytes of one plane, without the frame's line padding.
std::vector<uint8_t> Plane(const AVFrame &frame, int index, int width, int rows) {
    std::vector<uint8_t> plane(static_cast<size_t>(width) * rows);
    for (int y = 0; y < rows; ++y) {
        std::copy_n(frame.data[index] + static_cast<ptrdiff_t>(y) * frame.linesize[index], width,
                    plane.begin() + static_cast<ptrdiff_t>(y) * width);
    }
    return plane;
}

DecodedPicture ToPicture(const AVFrame &frame) {
    DecodedPicture picture;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.luma = Plane(frame, 0, frame.width, frame.height);
    if (frame.format == AV_PIX_FMT_YUV420P || frame.format == AV_PIX_FMT_YUVJ420P) {
        picture.cb = Plane(frame, 1, (frame.width + 1) / 2, (frame.height + 1) / 2);
        picture.cr = Plane(frame, 2, (frame.width + 1) / 2, (frame.height + 1) / 2);
    }
    picture.colorspace = frame.colorspace;
    picture.keyFrame = frame.key_frame != 0;
    picture.fullRange =
        frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P;
    if (auto stamp = stamp::ReadLuma(picture.luma.data(), frame.width, frame.height, frame.width)) {
        picture.sequence = stamp->sequence;
        picture.drawTimeUs = stamp->drawTimeUs;
    }
    return picture;
}

// True when the Annex B data holds a coded slice (NAL types 1 to 5).
bool HasSlice(std::string_view data) {
    for (size_t i = 0; i + 3 < data.size(); ++i) {
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
    const bool bt709 =
        colorspace == AVCOL_SPC_BT709 || (colorspace == AVCOL_SPC_UNSPECIFIED && height >= 720);
    const double kr = bt709 ? 0.2126 : 0.299;
    const double kb = bt709 ? 0.0722 : 0.114;
    const size_t chroma = static_cast<size_t>(y / 2) * ((width + 1) / 2) + x / 2;
    if (chroma >= cb.size()) {
        return {-1, -1, -1};
    }
    const int l = luma[static_cast<size_t>(y) * width + x];
    const double luma1 = fullRange ? l / 255.0 : (l - 16) / 219.0;
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

H264Decoder::H264Decoder() {
    std::string error;
    decoder_ = client::H264Decoder::Create(&error);
    if (!decoder_) {
        ADD_FAILURE() << error;
    }
}

H264Decoder::~H264Decoder() = default;

std::vector<DecodedPicture> H264Decoder::Decode(std::string_view buffer) {
    std::vector<DecodedPicture> out;
    std::string error;
    // A buffer without a slice holds parameter sets, which the decoder keeps.
    errors_ +=
        !decoder_ || !decoder_->Decode(
                         buffer, !HasSlice(buffer),
                         [&](const AVFrame &frame) { out.push_back(ToPicture(frame)); }, &error);
    return out;
}

std::vector<DecodedPicture> H264Decoder::Flush() {
    std::vector<DecodedPicture> out;
    std::string error;
    errors_ +=
        !decoder_ ||
        !decoder_->Flush([&](const AVFrame &frame) { out.push_back(ToPicture(frame)); }, &error);
    return out;
}

template <typename Buffer>
Decoded DecodeAll(const std::vector<Buffer> &buffers) {
    H264Decoder decoder;
    Decoded out;
    for (const auto &buffer : buffers) {
        auto pictures =
            decoder.Decode({reinterpret_cast<const char *>(buffer.data()), buffer.size()});
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

Decoded Decode(const std::string &path) {
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return {{}, 1};
    }
    av::InputContextPtr format(raw);
    avformat_find_stream_info(format.get(), nullptr);
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) {
        return {{}, 1};
    }
    const AVCodec *codec = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), format->streams[stream]->codecpar);
    context->thread_count = 1;
    avcodec_open2(context.get(), codec, nullptr);
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    Decoded out;
    auto drain = [&] {
        while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
            out.pictures.push_back(ToPicture(*frame));
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

std::string CheckPictures(const Decoded &decoded, int width, int height, size_t minPictures,
                          bool increasingStamps) {
    using std::to_string;
    const auto &pictures = decoded.pictures;
    if (decoded.errors != 0) {
        return to_string(decoded.errors) + " decoding errors";
    }
    if (pictures.size() < minPictures) {
        return to_string(pictures.size()) + " pictures, expected at least " +
               to_string(minPictures);
    }
    size_t stamped = 0;
    std::optional<uint32_t> last;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const auto &p = pictures[i];
        if (p.width != width || p.height != height) {
            return "picture " + to_string(i) + " is " + to_string(p.width) + "x" +
                   to_string(p.height) + ", expected " + to_string(width) + "x" + to_string(height);
        }
        if (increasingStamps && p.sequence) {
            if (last && (*p.sequence < *last || (*p.sequence == *last && !p.keyFrame))) {
                return "picture " + to_string(i) + " has stamp " + to_string(*p.sequence) +
                       " after " + to_string(*last);
            }
            last = p.sequence;
            ++stamped;
        }
    }
    if (increasingStamps && stamped * 10 < pictures.size() * 9) {
        return "only " + to_string(stamped) + " of " + to_string(pictures.size()) +
               " pictures carry a readable stamp";
    }
    return {};
}

}  // namespace mirrax::test
