#include "png_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mirrax_media/av_handles.h"

namespace mirrax::client {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

av::FramePtr ToRgb(const AVFrame &picture, std::string *error) {
    av::SwsPtr sws(sws_getContext(
        picture.width, picture.height, static_cast<AVPixelFormat>(picture.format), picture.width,
        picture.height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    av::FramePtr rgb(av_frame_alloc());
    if (!sws || !rgb) {
        *error = "cannot convert the picture to RGB";
        return nullptr;
    }
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = picture.width;
    rgb->height = picture.height;
    const int rc = av_frame_get_buffer(rgb.get(), 0);
    if (rc < 0) {
        *error = "cannot allocate the RGB picture: " + av::AvError(rc);
        return nullptr;
    }
    sws_scale(sws.get(), picture.data, picture.linesize, 0, picture.height, rgb->data,
              rgb->linesize);
    return rgb;
}

}  // namespace

bool WritePng(const AVFrame &picture, const std::string &path, std::string *error) {
    av::FramePtr rgb = ToRgb(picture, error);
    if (!rgb) {
        return false;
    }
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        *error = "this FFmpeg has no PNG encoder";
        return false;
    }
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    av::PacketPtr packet(av_packet_alloc());
    if (!context || !packet) {
        *error = "out of memory for the PNG encoder";
        return false;
    }
    context->width = rgb->width;
    context->height = rgb->height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    int rc = avcodec_open2(context.get(), codec, nullptr);
    if (rc >= 0) {
        rc = avcodec_send_frame(context.get(), rgb.get());
    }
    if (rc >= 0) {
        rc = avcodec_receive_packet(context.get(), packet.get());
    }
    if (rc < 0) {
        *error = "PNG encoding failed: " + av::AvError(rc);
        return false;
    }
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "wb"));
    if (!file) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    const size_t size = static_cast<size_t>(packet->size);
    if (fwrite(packet->data, 1, size, file.get()) != size || fclose(file.release()) != 0) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace mirrax::client
