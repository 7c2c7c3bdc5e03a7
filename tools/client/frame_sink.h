// Where a stream's buffers go: a raw H.264 file, standard output, an MP4 file or a
// media server.
#ifndef MIRRAX_TOOLS_CLIENT_FRAME_SINK_H
#define MIRRAX_TOOLS_CLIENT_FRAME_SINK_H

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "frame_message.h"
#include "picture_size_probe.h"
#include "publish_url.h"

namespace mirrax::client {

class FrameSink {
public:
    virtual ~FrameSink() = default;

    // Takes one stream message. False with a reason when the output failed; the run
    // should then end.
    virtual bool Write(const FrameMessage &frame, std::string *error) = 0;
    // Completes the output (flush, trailer, close). False with a reason.
    virtual bool Finish(std::string *error) = 0;
    // True when the output failed because its reader went away (a closed pipe).
    virtual bool ReaderGone() const { return false; }
    virtual std::optional<PictureSize> Size() const = 0;
};

// A file, or standard output for "-": raw Annex B, every message's data concatenated
// as received, when `muxer` is null; otherwise a container ("mp4", or "nut" and
// "mpegts" for a player) whose header is written once the first picture has been
// decoded (its size and the codec data make the track parameters). Standard output is
// flushed after every buffer. Null with a reason when the output cannot be created.
std::unique_ptr<FrameSink> OpenFileSink(const std::string &path, const char *muxer,
                                        std::string *error);

// A media server through libavformat (RTSP; MPEG-TS over SRT; FLV over RTMP). The
// stream is copied, not re-encoded. Write never blocks on the network: a thread of the
// sink connects, writes and, when the server goes away, reconnects with back-off, one
// line per attempt; each connection starts at a key frame it asks for.
std::unique_ptr<FrameSink> OpenPublishSink(const PublishUrl &url,
                                           std::function<void()> requestKeyFrame);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_FRAME_SINK_H
