#include "client/media_probe.h"

#include <fstream>
#include <sstream>

#include "av_handles.h"

namespace mirrax::test {

namespace {

struct InputCloser {
    void operator()(AVFormatContext *p) const { avformat_close_input(&p); }
};

}  // namespace

DecodedMedia DecodeMedia(const std::string &path) {
    DecodedMedia media;
    AVFormatContext *raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        media.error = "open: " + client::AvError(rc);
        return media;
    }
    std::unique_ptr<AVFormatContext, InputCloser> input(raw);
    if ((rc = avformat_find_stream_info(input.get(), nullptr)) < 0) {
        media.error = "stream info: " + client::AvError(rc);
        return media;
    }
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        media.error = "no video stream";
        return media;
    }
    const AVCodecParameters *par = input->streams[index]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    client::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    client::PacketPtr packet(av_packet_alloc());
    client::FramePtr frame(av_frame_alloc());
    if (codec == nullptr || !decoder || !packet || !frame ||
        avcodec_parameters_to_context(decoder.get(), par) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        media.error = "cannot open a decoder";
        return media;
    }
    media.opened = true;
    auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            ++media.pictures;
            media.width = frame->width;
            media.height = frame->height;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            avcodec_send_packet(decoder.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return media;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace mirrax::test
