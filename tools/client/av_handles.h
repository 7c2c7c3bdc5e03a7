// Owner types for the FFmpeg handles the client uses. Include only from .cpp files.
#ifndef MIRRAX_TOOLS_CLIENT_AV_HANDLES_H
#define MIRRAX_TOOLS_CLIENT_AV_HANDLES_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace mirrax::client {

struct CodecContextDeleter {
    void operator()(AVCodecContext *p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame *p) const { av_frame_free(&p); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct ParserDeleter {
    void operator()(AVCodecParserContext *p) const { av_parser_close(p); }
};
struct SwsDeleter {
    void operator()(SwsContext *p) const { sws_freeContext(p); }
};
struct FormatContextDeleter {
    void operator()(AVFormatContext *p) const { avformat_free_context(p); }
};
struct IoContextDeleter {
    void operator()(AVIOContext *p) const { avio_closep(&p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

inline std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_make_error_string(text, sizeof(text), code);
    return text;
}

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_AV_HANDLES_H
