// Media-server URLs that `stream -o` accepts, and what the client takes from them. The
// refused ones are checked against the program itself (publish_test.cpp).
#include "publish_url.h"

#include <gtest/gtest.h>

namespace {

using mirrax::client::LooksLikeUrl;
using mirrax::client::ParsePublishUrl;
using mirrax::client::PublishProtocol;
using mirrax::client::RtmpTcUrl;
using mirrax::client::UrlWithHost;

struct AcceptedCase {
    const char *name;
    const char *url;
    PublishProtocol protocol;
    const char *host;
    int port;
    const char *path;
    const char *shown = nullptr;  // in messages, when not the URL itself
};

void PrintTo(const AcceptedCase &c, std::ostream *os) { *os << c.name; }

class PublishUrlAccepted : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(PublishUrlAccepted, Parsed) {
    std::string error;
    const auto url = ParsePublishUrl(GetParam().url, &error);
    ASSERT_TRUE(url.has_value()) << error;
    EXPECT_EQ(url->protocol, GetParam().protocol);
    EXPECT_EQ(url->url, GetParam().url);  // handed to libavformat unchanged
    EXPECT_EQ(url->host, GetParam().host);
    EXPECT_EQ(url->port, GetParam().port);
    EXPECT_EQ(url->path, GetParam().path);
    EXPECT_EQ(url->shown, GetParam().shown != nullptr ? GetParam().shown : GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, PublishUrlAccepted,
    ::testing::Values(
        AcceptedCase{"RtspDefaultPort", "rtsp://media.local/live", PublishProtocol::kRtsp,
                     "media.local", 0, "/live"},
        AcceptedCase{"RtspCredentialsAndIpv6", "rtsp://user:secret@[::1]:8554/cam/1",
                     PublishProtocol::kRtsp, "::1", 8554, "/cam/1",
                     "rtsp://user:***@[::1]:8554/cam/1"},
        AcceptedCase{"RtmpUserWithoutPassword", "rtmp://user@127.0.0.1/app/key",
                     PublishProtocol::kRtmp, "127.0.0.1", 0, "/app/key",
                     "rtmp://user@127.0.0.1/app/***"},
        AcceptedCase{"SrtWithOptions",
                     "srt://127.0.0.1:9000?latency=20000&passphrase=secret0123&pbkeylen=16",
                     PublishProtocol::kSrt, "127.0.0.1", 9000, "",
                     "srt://127.0.0.1:9000?latency=20000&passphrase=***&pbkeylen=16"},
        AcceptedCase{"SchemeInCapitals", "RTMP://127.0.0.1/live/key", PublishProtocol::kRtmp,
                     "127.0.0.1", 0, "/live/key", "RTMP://127.0.0.1/live/***"},
        AcceptedCase{"RtmpKeyWithSlashes", "rtmp://127.0.0.1:1935/app/a/b?token=x",
                     PublishProtocol::kRtmp, "127.0.0.1", 1935, "/app/a/b",
                     "rtmp://127.0.0.1:1935/app/a/***"}),
    [](const auto &info) { return std::string(info.param.name); });

// A looked-up host goes to libavformat as its address; RTMP's tcUrl keeps the name.
TEST(PublishUrl, AddressInPlaceOfTheNameAndTheNameInTheTcUrl) {
    std::string error;
    const auto url = ParsePublishUrl("rtmp://u:p@media.local/app/inst/key?k=1", &error);
    ASSERT_TRUE(url.has_value()) << error;
    EXPECT_EQ(UrlWithHost(*url, "::1"), "rtmp://u:p@[::1]/app/inst/key?k=1");
    EXPECT_EQ(RtmpTcUrl(*url), "rtmp://media.local:1935/app/inst");
}

TEST(PublishUrl, OnlySchemePrefixedNamesAreUrls) {
    EXPECT_TRUE(LooksLikeUrl("rtsp://h/p"));
    EXPECT_TRUE(LooksLikeUrl("udp://h:1"));  // a URL, refused later as unknown scheme
    EXPECT_FALSE(LooksLikeUrl("out.mp4"));
    EXPECT_FALSE(LooksLikeUrl("-"));
    EXPECT_FALSE(LooksLikeUrl("dir/://odd.h264"));  // a file name, not a scheme
}

}  // namespace
