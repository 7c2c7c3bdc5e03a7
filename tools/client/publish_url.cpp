#include "publish_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace mirrax::client {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct Protocol {
    const char *scheme;
    const char *name;
    const char *muxer;
    const char *expected;  // the form of its URLs, for messages
};
// In the order of PublishProtocol.
constexpr Protocol kProtocols[] = {
    {"rtsp", "RTSP", "rtsp", "rtsp://HOST[:PORT]/PATH"},
    {"srt", "SRT", "mpegts", "srt://HOST:PORT"},
    {"rtmp", "RTMP", "flv", "rtmp://HOST[:PORT]/APP/KEY"},
};

const Protocol &Of(PublishProtocol protocol) { return kProtocols[static_cast<size_t>(protocol)]; }

bool ValidScheme(const std::string &scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) {
        return false;
    }
    return std::all_of(scheme.begin(), scheme.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '+' || c == '-' || c == '.';
    });
}

// libavformat splits a URL into fixed buffers and cuts what does not fit: the path
// with its query (rtsp, rtmp, srt: 1,024 bytes), credentials (rtsp: 128; rtmp: 100,
// user and password 50 each) and RTMP's tcUrl (1,024). Each limit leaves room for
// the terminating zero.
constexpr size_t kMaxTail = 1023;
constexpr size_t kMaxRtspCredentials = 127;
constexpr size_t kMaxRtmpUserOrPassword = 49;
constexpr size_t kMaxRtmpTcUrl = 1023;
// The longest name DNS can carry.
constexpr size_t kMaxHost = 253;

// Where the authority ends: at the first '/', '?' or '#' after "://", as libavformat
// splits it.
size_t AuthorityEnd(const std::string &text, size_t start) {
    const size_t end = text.find_first_of("/?#", start);
    return end == std::string::npos ? text.size() : end;
}

// RTMP's application name as libavformat takes it from the path (with its query): the
// first segment, or the first two when a further '/' follows before any ':'.
std::string RtmpApp(const std::string &tail) {
    if (tail.rfind("/ondemand/", 0) == 0) {
        return "ondemand";
    }
    const std::string next = tail.empty() ? tail : tail.substr(1);
    const size_t slash = next.find('/');
    if (slash == std::string::npos) {
        return "";
    }
    const size_t second = next.find('/', slash + 1);
    const size_t colon = next.find(':', slash + 1);
    const bool oneSegment = second == std::string::npos || colon < second;
    return next.substr(0, oneSegment ? slash : second);
}

// The query's "passphrase=" values replaced by "***".
std::string MaskPassphrases(std::string tail) {
    size_t at = tail.find('?');
    while (at != std::string::npos && at < tail.size() && tail[at] != '#') {
        const size_t name = at + 1;
        size_t end = tail.find_first_of("&#", name);
        const size_t eq = tail.find('=', name);
        if (eq < end && Lower(tail.substr(name, eq - name)) == "passphrase") {
            tail.replace(eq + 1, (end == std::string::npos ? tail.size() : end) - eq - 1, "***");
            end = tail.find_first_of("&#", eq + 1);
        }
        at = end;
    }
    return tail;
}

}  // namespace

std::string MaskUrlSecrets(const std::string &text) {
    const size_t separator = text.find("://");
    if (separator == std::string::npos) {
        return text;
    }
    const size_t start = separator + 3;
    const size_t end = AuthorityEnd(text, start);
    std::string authority = text.substr(start, end - start);
    const size_t at = authority.rfind('@');
    const size_t colon = authority.find(':');
    if (at != std::string::npos && colon < at) {
        authority.replace(colon + 1, at - colon - 1, "***");
    }
    std::string tail = text.substr(end);
    if (Lower(text.substr(0, separator)) == "rtmp") {
        // The stream key: the last path segment and whatever follows it.
        const size_t query = tail.find_first_of("?#");
        const size_t slash =
            query == 0
                ? std::string::npos
                : tail.rfind('/', query == std::string::npos ? std::string::npos : query - 1);
        if (slash != std::string::npos && slash + 1 < tail.size()) {
            tail.replace(slash + 1, std::string::npos, "***");
        }
    }
    return text.substr(0, start) + authority + MaskPassphrases(tail);
}

std::string UrlWithHost(const PublishUrl &url, const std::string &address) {
    const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    return url.url.substr(0, url.hostAt) + host + url.url.substr(url.hostAt + url.hostSize);
}

std::string RtmpTcUrl(const PublishUrl &url) {
    const size_t separator = url.url.find("://");
    const std::string host =
        url.host.find(':') == std::string::npos ? url.host : "[" + url.host + "]";
    return url.url.substr(0, separator) + "://" + host + ":" +
           std::to_string(url.port != 0 ? url.port : 1935) + "/" +
           RtmpApp(url.url.substr(AuthorityEnd(url.url, separator + 3)));
}

bool LooksLikeUrl(const std::string &text) {
    const size_t colon = text.find("://");
    return colon != std::string::npos && ValidScheme(text.substr(0, colon));
}

std::optional<PublishUrl> ParsePublishUrl(const std::string &text, std::string *error) {
    const size_t separator = text.find("://");
    if (separator == std::string::npos) {
        *error = "'" + MaskUrlSecrets(text) + "' is no URL";
        return std::nullopt;
    }
    const std::string scheme = Lower(text.substr(0, separator));
    PublishUrl url;
    url.url = text;
    url.shown = MaskUrlSecrets(text);
    const auto known = std::find_if(std::begin(kProtocols), std::end(kProtocols),
                                    [&](const Protocol &p) { return scheme == p.scheme; });
    if (known == std::end(kProtocols)) {
        *error = "unknown output scheme '" + text.substr(0, separator) + "://' in '" + url.shown +
                 "' (publish with rtsp://, srt:// or rtmp://)";
        return std::nullopt;
    }
    url.protocol = static_cast<PublishProtocol>(known - std::begin(kProtocols));
    auto bad = [&](const std::string &why) {
        *error = "bad " + std::string(known->name) + " URL '" + url.shown + "': " + why +
                 " (expected " + known->expected + ")";
        return std::nullopt;
    };

    const size_t authorityEnd = AuthorityEnd(text, separator + 3);
    std::string authority = text.substr(separator + 3, authorityEnd - separator - 3);
    const std::string tail = text.substr(authorityEnd);
    url.path = tail.substr(0, tail.find('?'));
    url.hostAt = separator + 3;
    std::string credentials;
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        credentials = authority.substr(0, at);
        authority.erase(0, at + 1);
        url.hostAt += at + 1;
    }

    std::string port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            return bad("unclosed '[' in the host");
        }
        url.host = authority.substr(1, close - 1);
        url.hostSize = close + 1;
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                return bad("unexpected text after the host");
            }
            hasPort = true;
            port = after.substr(1);
        }
    } else {
        const size_t colon = authority.find(':');
        url.host = authority.substr(0, colon);
        url.hostSize = url.host.size();
        if (colon != std::string::npos) {
            hasPort = true;
            port = authority.substr(colon + 1);
        }
    }
    if (url.host.empty()) {
        return bad("no host");
    }
    if (url.host.find_first_of(" \t") != std::string::npos) {
        return bad("a space in the host");
    }
    if (url.host.size() > kMaxHost) {
        return bad("a host name longer than " + std::to_string(kMaxHost) + " characters");
    }
    if (hasPort) {
        int value = 0;
        const char *end = port.data() + port.size();
        const auto [ptr, ec] = std::from_chars(port.data(), end, value);
        if (port.empty() || ec != std::errc() || ptr != end || value < 1 || value > 65535) {
            return bad("bad port '" + port + "'");
        }
        url.port = value;
    }

    auto keeps = [](size_t characters) {
        return "the " + std::to_string(characters) + " characters libavformat keeps";
    };
    if (tail.size() > kMaxTail) {
        return bad("the path and query are longer than " + keeps(kMaxTail));
    }
    switch (url.protocol) {
        case PublishProtocol::kRtsp:
            if (url.path.size() < 2) {
                return bad("no path");
            }
            if (credentials.size() > kMaxRtspCredentials) {
                return bad("the user and password are longer than " + keeps(kMaxRtspCredentials));
            }
            break;
        case PublishProtocol::kSrt:
            if (!hasPort) {
                return bad("no port");
            }
            if (!url.path.empty() && url.path != "/") {
                return bad("SRT takes no path");
            }
            break;
        case PublishProtocol::kRtmp: {
            // "/APP/KEY": two non-empty parts (the key may hold further slashes).
            const size_t slash = url.path.find('/', 1);
            if (url.path.size() < 2 || slash == std::string::npos || slash == 1 ||
                slash + 1 >= url.path.size()) {
                return bad("no application and stream key");
            }
            const size_t colon = credentials.find(':');
            if (credentials.substr(0, colon).size() > kMaxRtmpUserOrPassword ||
                (colon != std::string::npos &&
                 credentials.size() - colon - 1 > kMaxRtmpUserOrPassword)) {
                return bad("the user or the password is longer than " +
                           keeps(kMaxRtmpUserOrPassword));
            }
            if (RtmpTcUrl(url).size() > kMaxRtmpTcUrl) {
                return bad(
                    "the application name makes the tcUrl (rtmp://HOST:PORT/APP) longer than " +
                    keeps(kMaxRtmpTcUrl));
            }
            break;
        }
    }
    return url;
}

const char *PublishMuxerName(PublishProtocol protocol) { return Of(protocol).muxer; }

const char *PublishProtocolName(PublishProtocol protocol) { return Of(protocol).name; }

}  // namespace mirrax::client
