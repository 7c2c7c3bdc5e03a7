// The one libavformat output the client writes the stream through: a file or standard
// output (raw H.264, MP4, NUT, MPEG-TS) and a media server (RTSP, MPEG-TS over SRT, FLV
// over RTMP). It owns the muxer and its I/O; each call answers a libavformat error code.
#ifndef MIRRAX_TOOLS_CLIENT_AV_OUTPUT_H
#define MIRRAX_TOOLS_CLIENT_AV_OUTPUT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "mirrax_media/av_handles.h"
#include "picture_size_probe.h"

namespace mirrax::client {

class AvOutput {
public:
    AvOutput() = default;
    ~AvOutput() { Close(); }
    AvOutput(const AvOutput &) = delete;
    AvOutput &operator=(const AvOutput &) = delete;

    // Sets up `muxer` for `url` (null: no muxer, buffers go out as they are) and opens
    // the I/O with the protocol's `options`, unless the muxer connects by itself (RTSP).
    // `interrupt`, when given, cuts the muxer's and the I/O's blocking calls short.
    int Open(const char *muxer, const std::string &url, const AVIOInterruptCB *interrupt = nullptr,
             av::DictionaryPtr options = nullptr);
    // The H.264 track (its size, the codec data as extradata, millisecond timestamps)
    // and the header, with the muxer's `options`.
    int WriteHeader(PictureSize size, std::string_view codecData,
                    av::DictionaryPtr options = nullptr);
    // One picture; `flush` hands it to the I/O at once (a live reader) and answers the
    // I/O's error.
    int WritePicture(std::string_view data, int64_t ptsMs, int64_t durationMs, bool key,
                     bool flush);
    // A buffer as it is, without a muxer.
    int WriteBytes(std::string_view data, bool flush);
    int WriteTrailer() { return av_write_trailer(format_.get()); }
    // Closes the I/O (its error, if any) and frees the muxer.
    int Close();

    // Whether the muxer was set up, and its header written.
    bool HasMuxer() const { return format_ != nullptr; }
    bool HeaderWritten() const { return headerWritten_; }

private:
    // Destroyed in reverse order: the I/O before the muxer.
    av::FormatContextPtr format_;
    av::IoContextPtr io_;
    av::PacketPtr packet_;
    AVStream *stream_ = nullptr;  // owned by format_
    bool headerWritten_ = false;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_AV_OUTPUT_H
