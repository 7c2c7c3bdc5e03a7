// mirrax_client view between a real host and WebSocket viewers (no browser), so the
// relay's threads also run in the sanitizer builds: each viewer joins with the codec
// data and a key frame, and Ctrl-C ends the run with onEnd, closes the viewers and
// exits 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstring>
#include <memory>
#include <regex>

#include "integration/host_fixture.h"
#include "support/child_process.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using mirrax::test::BuildPath;
using mirrax::test::ChildProcess;
using mirrax::test::HostProcess;
using Stream = ChildProcess::Stream;

// Reads give up after this long, so a silent relay fails the test instead of hanging it.
constexpr int kReadTimeoutSeconds = 10;

struct Relay {
    std::unique_ptr<ChildProcess> child;
    int port = 0;
};

Relay StartRelay(const std::string &server) {
    Relay relay;
    relay.child = std::make_unique<ChildProcess>(std::vector<std::string>{
        BuildPath("bin/mirrax_client"), "--server", server, "view", "--listen", "127.0.0.1:0"});
    if (!relay.child->WaitForLine(Stream::kStdout, "view: watch the screen at http://")) {
        return relay;
    }
    std::smatch match;
    const std::string line = relay.child->Output(Stream::kStdout);
    if (std::regex_search(line, match, std::regex(R"(http://127\.0\.0\.1:(\d+)/)"))) {
        relay.port = std::stoi(match[1]);
    }
    return relay;
}

class Viewer {
public:
    explicit Viewer(int port) : ws_(io_) {
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port));
        ws_.next_layer().connect(endpoint);
        timeval timeout{kReadTimeoutSeconds, 0};
        setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout,
                   sizeof timeout);
        ws_.handshake("127.0.0.1", "/ws");
    }

    struct Message {
        bool text = false;
        uint32_t flags = 0;
        size_t size = 0;   // bytes after the header
        std::string body;  // text messages
    };

    // The next message, or nothing with `error` set (a close included).
    std::optional<Message> Read(beast::error_code *error) {
        beast::flat_buffer buffer;
        ws_.read(buffer, *error);
        if (*error) {
            return std::nullopt;
        }
        Message message;
        message.text = ws_.got_text();
        const std::string bytes = beast::buffers_to_string(buffer.data());
        if (message.text) {
            message.body = bytes;
        } else if (bytes.size() >= 24 && bytes[0] == 1 && bytes[1] == 24) {
            std::memcpy(&message.flags, bytes.data() + 4, 4);
            message.size = bytes.size() - 24;
        }
        return message;
    }

    websocket::close_reason Reason() const { return ws_.reason(); }

private:
    asio::io_context io_;
    websocket::stream<tcp::socket> ws_;
};

TEST(ViewRelay, ViewersJoinAtAKeyFrameAndCtrlCEndsTheRunWithOnEnd) {
    HostProcess host({"-scale", "3", "-frameRate", "30"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    Relay relay = StartRelay(host.Target());
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);

    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(std::make_unique<Viewer>(relay.port));
    }
    for (size_t v = 0; v < viewers.size(); ++v) {
        SCOPED_TRACE("viewer " + std::to_string(v + 1));
        std::vector<uint32_t> flags;
        std::string events;
        beast::error_code error;
        for (int i = 0; i < 200 && flags.size() < 12; ++i) {
            const auto message = viewers[v]->Read(&error);
            ASSERT_TRUE(message) << error.message();
            if (message->text) {
                events += message->body;
            } else {
                ASSERT_GT(message->size, 0u);
                flags.push_back(message->flags);
            }
        }
        ASSERT_EQ(flags.size(), 12u);
        EXPECT_EQ(flags[0] & 8, 8u) << "codec data first";
        EXPECT_EQ(flags[1] & 2, 2u) << "then a key frame";
        for (size_t i = 2; i < flags.size(); ++i) {
            EXPECT_EQ(flags[i] & 8, 0u) << "codec data again at " << i;
        }
        EXPECT_NE(events.find("\"state\":\"up\""), std::string::npos) << events;
    }

    const size_t endsBefore = host.LogCount("Request to stop from");
    relay.child->Signal(SIGINT);
    EXPECT_EQ(relay.child->Wait(std::chrono::seconds(15)), 0)
        << relay.child->Output(Stream::kStderr);
    EXPECT_EQ(host.LogCount("Request to stop from"), endsBefore + 1) << host.Log();
    for (auto &viewer : viewers) {
        // Whatever was still queued, then the relay's close frame. (The read ends
        // with "closed", or with the socket's error when the relay's side of the
        // connection was already gone as the reply went out.)
        beast::error_code error;
        for (int i = 0; i < 1000 && viewer->Read(&error); ++i) {
        }
        EXPECT_TRUE(error);
        EXPECT_NE(error, asio::error::would_block) << "no close within the read timeout";
        EXPECT_EQ(viewer->Reason().code, websocket::close_code::going_away) << error.message();
    }
    EXPECT_EQ(host.Stop(), 0);
}

TEST(ViewRelay, GivesUpOnAHostInRecordMode) {
    HostProcess host({"-scale", "3", "-m", "1"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    Relay relay = StartRelay(host.Target());
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    EXPECT_EQ(relay.child->Wait(std::chrono::seconds(20)), 1)
        << relay.child->Output(Stream::kStderr);
    EXPECT_EQ(relay.child->CountLines(Stream::kStderr, "it is in record mode (-m 1)"), 1u)
        << relay.child->Output(Stream::kStderr);
    // Each recording it started was ended again.
    EXPECT_EQ(host.LogCount("Request to stop from"), 3u) << host.Log();
    EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
