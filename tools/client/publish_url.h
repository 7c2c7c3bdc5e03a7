// Media-server addresses for `stream -o`: rtsp://, srt:// and rtmp:// URLs, checked
// before anything is contacted.
#ifndef MIRRAX_TOOLS_CLIENT_PUBLISH_URL_H
#define MIRRAX_TOOLS_CLIENT_PUBLISH_URL_H

#include <optional>
#include <string>

namespace mirrax::client {

enum class PublishProtocol { kRtsp, kSrt, kRtmp };

struct PublishUrl {
    PublishProtocol protocol = PublishProtocol::kRtsp;
    std::string url;    // as given; libavformat takes it unchanged
    std::string shown;  // for messages: the URL with any password replaced by "***"
    std::string host;   // without brackets
    int port = 0;       // 0: the protocol's default
    std::string path;   // after the authority, without the query
};

// True when `text` names a URL ("SCHEME://..."), whatever the scheme.
bool LooksLikeUrl(const std::string &text);

// rtsp://HOST[:PORT]/PATH, srt://HOST:PORT[?OPTIONS] or rtmp://HOST[:PORT]/APP/KEY
// (credentials "USER[:PASSWORD]@" allowed before the host, an IPv6 host in brackets).
// Nothing, with a one-line reason, for another scheme or a malformed address.
std::optional<PublishUrl> ParsePublishUrl(const std::string &text, std::string *error);

// The libavformat muxer for the protocol: "rtsp", "mpegts" (over SRT) or "flv".
const char *PublishMuxerName(PublishProtocol protocol);
// "RTSP", "SRT" or "RTMP".
const char *PublishProtocolName(PublishProtocol protocol);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_PUBLISH_URL_H
