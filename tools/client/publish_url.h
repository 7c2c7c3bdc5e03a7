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
    std::string url;    // as given
    std::string shown;  // for messages: MaskUrlSecrets(url)
    std::string host;   // without brackets
    int port = 0;       // 0: the protocol's default
    std::string path;   // after the authority, without the query
    // Where the host, with any brackets, is in `url`.
    size_t hostAt = 0;
    size_t hostSize = 0;
};

// True when `text` names a URL ("SCHEME://..."), whatever the scheme.
bool LooksLikeUrl(const std::string &text);

// rtsp://HOST[:PORT]/PATH, srt://HOST:PORT[?OPTIONS] or rtmp://HOST[:PORT]/APP/KEY
// (credentials "USER[:PASSWORD]@" allowed before the host, an IPv6 host in brackets).
// Nothing, with a one-line reason, for another scheme, a malformed address, or a part
// longer than libavformat's fixed buffers hold (it would cut it without a word).
std::optional<PublishUrl> ParsePublishUrl(const std::string &text, std::string *error);

// The text with the secrets a URL carries replaced by "***": the password of
// "USER:PASSWORD@", the value of a "passphrase=" option and, in an rtmp:// URL, the
// stream key (the last path segment, with the query after it). For every message that
// shows a URL the user gave, well-formed or not.
std::string MaskUrlSecrets(const std::string &text);

// The URL with its host replaced by a numeric address (IPv6 without brackets).
std::string UrlWithHost(const PublishUrl &url, const std::string &address);

// The tcUrl libavformat sends in RTMP's connect command for this URL:
// rtmp://HOST:PORT/APP, APP being the first one or two path segments as libavformat
// splits them.
std::string RtmpTcUrl(const PublishUrl &url);

// The libavformat muxer for the protocol: "rtsp", "mpegts" (over SRT) or "flv".
const char *PublishMuxerName(PublishProtocol protocol);
// "RTSP", "SRT" or "RTMP".
const char *PublishProtocolName(PublishProtocol protocol);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_PUBLISH_URL_H
