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

const char *Expected(PublishProtocol protocol) {
    switch (protocol) {
        case PublishProtocol::kRtsp:
            return "rtsp://HOST[:PORT]/PATH";
        case PublishProtocol::kSrt:
            return "srt://HOST:PORT";
        case PublishProtocol::kRtmp:
            return "rtmp://HOST[:PORT]/APP/KEY";
    }
    return "";
}

bool ValidScheme(const std::string &scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) {
        return false;
    }
    return std::all_of(scheme.begin(), scheme.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '+' || c == '-' || c == '.';
    });
}

}  // namespace

bool LooksLikeUrl(const std::string &text) {
    const size_t colon = text.find("://");
    return colon != std::string::npos && ValidScheme(text.substr(0, colon));
}

std::optional<PublishUrl> ParsePublishUrl(const std::string &text, std::string *error) {
    const size_t separator = text.find("://");
    if (separator == std::string::npos) {
        *error = "'" + text + "' is no URL";
        return std::nullopt;
    }
    const std::string scheme = Lower(text.substr(0, separator));
    PublishUrl url;
    url.url = text;
    if (scheme == "rtsp") {
        url.protocol = PublishProtocol::kRtsp;
    } else if (scheme == "srt") {
        url.protocol = PublishProtocol::kSrt;
    } else if (scheme == "rtmp") {
        url.protocol = PublishProtocol::kRtmp;
    } else {
        *error = "unknown output scheme '" + text.substr(0, separator) + "://' in '" + text +
                 "' (publish with rtsp://, srt:// or rtmp://)";
        return std::nullopt;
    }
    auto bad = [&](const std::string &why) {
        *error = "bad " + std::string(PublishProtocolName(url.protocol)) + " URL '" + text +
                 "': " + why + " (expected " + Expected(url.protocol) + ")";
        return std::nullopt;
    };

    const std::string rest = text.substr(separator + 3);
    const size_t authorityEnd = rest.find_first_of("/?");
    std::string authority = rest.substr(0, authorityEnd);
    const std::string tail = authorityEnd == std::string::npos ? "" : rest.substr(authorityEnd);
    url.path = tail.substr(0, tail.find('?'));
    url.shown = text;
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const size_t colon = authority.find(':');
        if (colon < at) {
            const size_t start = separator + 3 + colon + 1;
            url.shown = text.substr(0, start) + "***" + text.substr(separator + 3 + at);
        }
        authority.erase(0, at + 1);
    }

    std::string port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            return bad("unclosed '[' in the host");
        }
        url.host = authority.substr(1, close - 1);
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
    if (hasPort) {
        int value = 0;
        const char *end = port.data() + port.size();
        const auto [ptr, ec] = std::from_chars(port.data(), end, value);
        if (port.empty() || ec != std::errc() || ptr != end || value < 1 || value > 65535) {
            return bad("bad port '" + port + "'");
        }
        url.port = value;
    }

    switch (url.protocol) {
        case PublishProtocol::kRtsp:
            if (url.path.size() < 2) {
                return bad("no path");
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
            break;
        }
    }
    return url;
}

const char *PublishMuxerName(PublishProtocol protocol) {
    switch (protocol) {
        case PublishProtocol::kRtsp:
            return "rtsp";
        case PublishProtocol::kSrt:
            return "mpegts";
        case PublishProtocol::kRtmp:
            return "flv";
    }
    return "";
}

const char *PublishProtocolName(PublishProtocol protocol) {
    switch (protocol) {
        case PublishProtocol::kRtsp:
            return "RTSP";
        case PublishProtocol::kSrt:
            return "SRT";
        case PublishProtocol::kRtmp:
            return "RTMP";
    }
    return "";
}

}  // namespace mirrax::client
