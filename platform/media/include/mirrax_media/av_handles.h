// Owner types for FFmpeg handles, shared by the platform's codec and muxer services,
// the client, the tests and the benchmarks. Header-only; users link FFmpeg themselves
// (the mirrax_av_handles target does that).
#ifndef MIRRAX_PLATFORM_MEDIA_INCLUDE_MIRRAX_MEDIA_AV_HANDLES_H
#define MIRRAX_PLATFORM_MEDIA_INCLUDE_MIRRAX_MEDIA_AV_HANDLES_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace mirrax::av {

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
// An output context made with avformat_alloc_output_context2 (its I/O is closed
// separately).
struct FormatContextDeleter {
    void operator()(AVFormatContext *p) const { avformat_free_context(p); }
};
// An input context opened with avformat_open_input.
struct InputContextDeleter {
    void operator()(AVFormatContext *p) const { avformat_close_input(&p); }
};
// I/O opened with avio_open or avio_open2.
struct IoContextDeleter {
    void operator()(AVIOContext *p) const { avio_closep(&p); }
};
// I/O made with avio_alloc_context around a buffer from av_malloc, which it owns.
struct CustomIoContextDeleter {
    void operator()(AVIOContext *p) const {
        if (p != nullptr) {
            av_freep(&p->buffer);
            avio_context_free(&p);
        }
    }
};
struct DictionaryDeleter {
    void operator()(AVDictionary *p) const { av_dict_free(&p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;
using CustomIoContextPtr = std::unique_ptr<AVIOContext, CustomIoContextDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

// FFmpeg's text for an error code.
inline std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_make_error_string(text, sizeof(text), code);
    return text;
}

}  // namespace mirrax::av

#endif  // MIRRAX_PLATFORM_MEDIA_INCLUDE_MIRRAX_MEDIA_AV_HANDLES_H
