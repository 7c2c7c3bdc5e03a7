// mirrax_client view between a real host and WebSocket viewers (no browser), so the
// relay's threads also run in the sanitizer builds: each viewer joins with the codec
// data and a key frame, and Ctrl-C ends the run with onEnd, closes the viewers and
// exits 0. Raw requests check who may watch, and floods of requests and connections
// check that one client cannot take the relay from the others.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstring>
#include <filesystem>
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
    std::string token;
};

// On 127.0.0.1 unless `extra` says --listen.
Relay StartRelay(const std::string &server, const std::vector<std::string> &extra = {}) {
    Relay relay;
    std::vector<std::string> argv{
        BuildPath("bin/mirrax_client"), "--server", server, "view", "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    relay.child = std::make_unique<ChildProcess>(argv);
    if (!relay.child->WaitForLine(Stream::kStdout, "view: watch the screen at http://")) {
        return relay;
    }
    std::smatch match;
    const std::string line = relay.child->Output(Stream::kStdout);
    if (std::regex_search(line, match, std::regex(R"(http://\S+:(\d+)/(?:\?token=(\w+))?)"))) {
        relay.port = std::stoi(match[1]);
        relay.token = match[2];
    }
    return relay;
}

// A TCP connection to the relay from `source`, any loopback address, and `sourcePort`
// (0: any); reads give up after `timeoutSeconds`.
tcp::socket Connect(asio::io_context &io, int port, const std::string &source = "127.0.0.1",
                    int timeoutSeconds = kReadTimeoutSeconds, uint16_t sourcePort = 0) {
    tcp::socket socket(io, tcp::v4());
    socket.bind(tcp::endpoint(asio::ip::make_address(source), sourcePort));
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)));
    timeval timeout{timeoutSeconds, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return socket;
}

// What the relay answers until it closes the connection, or up to the end of a 101's
// header; nothing when the read timed out first.
std::optional<std::string> ReadAnswer(tcp::socket &socket) {
    std::string answer;
    char chunk[4096];
    for (int i = 0; i < 10000; ++i) {
        const ssize_t got = ::recv(socket.native_handle(), chunk, sizeof chunk, 0);
        if (got <= 0) {
            return got < 0 && errno == EAGAIN ? std::nullopt : std::optional(answer);
        }
        answer.append(chunk, static_cast<size_t>(got));
        if (answer.rfind("HTTP/1.1 101", 0) == 0 && answer.find("\r\n\r\n") != std::string::npos) {
            break;
        }
    }
    return answer;
}

std::string Exchange(int port, const std::string &request) {
    asio::io_context io;
    tcp::socket socket = Connect(io, port);
    ::send(socket.native_handle(), request.data(), request.size(), MSG_NOSIGNAL);
    return ReadAnswer(socket).value_or("(no answer)");
}

class Viewer {
public:
    explicit Viewer(int port) : ws_(io_) {
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port));
        ws_.next_layer().connect(endpoint);
        timeval timeout{kReadTimeoutSeconds, 0};
        setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout,
                   sizeof timeout);
        ws_.handshake("127.0.0.1:" + std::to_string(port), "/ws");
    }

    void Send(const std::string &text) {
        ws_.text(true);
        ws_.write(asio::buffer(text));
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

// --- who may watch ------------------------------------------------------------------

// One request to one of two relays: on 127.0.0.1 (the token optional, allowing pages
// of http://allowed.example:3000), or on every address (0.0.0.0: the token required,
// reached through 127.0.0.1). PORT and TOKEN in the strings stand for the relay's.
struct AccessCase {
    const char *name;
    bool onLoopback;
    const char *request;  // method and target; an upgrade for /ws
    const char *origin;   // nullptr: no Origin header
    int status;
    const char *host = "127.0.0.1:PORT";  // nullptr: no Host header
};

void PrintTo(const AccessCase &c, std::ostream *os) { *os << c.name; }

class ViewAccess : public ::testing::TestWithParam<AccessCase> {
protected:
    static void SetUpTestSuite() {
        const std::string nowhere = "127.0.0.1:" + std::to_string(mirrax::test::FreeLoopbackPort());
        loopback_ = StartRelay(nowhere, {"--allow-origin", "HTTP://Allowed.Example:3000/"});
        everywhere_ = StartRelay(nowhere, {"--listen", "0.0.0.0:0"});
    }
    static void TearDownTestSuite() {
        loopback_.child.reset();
        everywhere_.child.reset();
    }
    inline static Relay loopback_;
    inline static Relay everywhere_;
};

TEST_P(ViewAccess, Answers) {
    const AccessCase &c = GetParam();
    const Relay &relay = c.onLoopback ? loopback_ : everywhere_;
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    auto fill = [&](std::string text) {
        text = std::regex_replace(text, std::regex("PORT"), std::to_string(relay.port));
        return std::regex_replace(text, std::regex("TOKEN"), relay.token);
    };
    const std::string line = c.request;
    std::string request = line + " HTTP/1.1\r\n";
    request += c.host ? "Host: " + std::string(c.host) + "\r\n" : "";
    request += c.origin ? "Origin: " + std::string(c.origin) + "\r\n" : "";
    if (line.find(" /ws") != std::string::npos) {
        request +=
            "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    } else {
        // After a HEAD, a second request on the same connection.
        request +=
            line.rfind("HEAD", 0) == 0 ? "\r\nGET /none HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n" : "";
        request += "Connection: close\r\n\r\n";
    }
    const std::string answer = Exchange(relay.port, fill(request));
    EXPECT_EQ(answer.substr(0, 13), "HTTP/1.1 " + std::to_string(c.status) + " ") << answer;
    for (const char *header :
         {"X-Content-Type-Options: nosniff", "X-Frame-Options: DENY",
          "Content-Security-Policy: frame-ancestors 'none'", "Referrer-Policy: no-referrer"}) {
        EXPECT_NE(answer.find(header), std::string::npos) << header << " missing:\n" << answer;
    }
    EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
    if (line.rfind("HEAD", 0) == 0) {
        EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4, 12), "HTTP/1.1 404") << answer;
    }
    if (c.origin && (c.status == 101 || c.status == 403)) {
        const std::string logged = "(origin " + fill(c.origin) + ")" +
                                   (c.status == 101 ? " joined" : ": the origin may not watch");
        EXPECT_TRUE(relay.child->WaitForLine(Stream::kStderr, logged, std::chrono::seconds(5)))
            << logged << "\n"
            << relay.child->Output(Stream::kStderr);
    }
    EXPECT_EQ(relay.child->Output(Stream::kStderr).find(relay.token), std::string::npos);
}

constexpr const char *kOwnOrigin = "http://127.0.0.1:PORT";
constexpr const char *kEvil = "http://evil.example";

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewAccess,
    ::testing::Values(
        AccessCase{"Page", true, "GET /", nullptr, 200},
        AccessCase{"PageForAnotherName", true, "GET /", nullptr, 421, "attacker.example"},
        AccessCase{"StatsForAnotherName", true, "GET /stats", nullptr, 421,
                   "attacker.example:PORT"},
        AccessCase{"SocketForAnotherName", true, "GET /ws", kOwnOrigin, 421,
                   "attacker.example:PORT"},
        AccessCase{"NoHost", true, "GET /", nullptr, 400, nullptr},
        AccessCase{"HeadHasNoBody", true, "HEAD /stats", nullptr, 200},
        AccessCase{"SocketFromThePage", true, "GET /ws", kOwnOrigin, 101},
        AccessCase{"SocketByLocalhost", true, "GET /ws", "http://localhost:PORT", 101,
                   "localhost:PORT"},
        AccessCase{"SocketFromNoPage", true, "GET /ws", nullptr, 101},
        AccessCase{"SocketFromAnAllowedOrigin", true, "GET /ws", "http://allowed.example:3000",
                   101},
        AccessCase{"SocketFromAnotherSite", true, "GET /ws", kEvil, 403},
        AccessCase{"SocketFromAnOpaqueOrigin", true, "GET /ws", "null", 403},
        AccessCase{"SocketFromAnotherPort", true, "GET /ws", "http://localhost:1", 403},
        AccessCase{"SocketFromALookAlike", true, "GET /ws", "http://127.0.0.1.evil.example", 403},
        AccessCase{"SocketFromAnotherScheme", true, "GET /ws", "https://127.0.0.1:PORT", 403},
        AccessCase{"SocketForNoSuchDevice", true, "GET /ws?device=1", kOwnOrigin, 404},
        AccessCase{"PageWithoutToken", false, "GET /", nullptr, 401},
        AccessCase{"PageWithToken", false, "GET /?token=TOKEN", nullptr, 200},
        AccessCase{"StatsWithoutToken", false, "GET /stats", nullptr, 401},
        AccessCase{"GridWithoutToken", false, "GET /grid.html", nullptr, 401},
        AccessCase{"ScriptWithoutToken", false, "GET /view.js", nullptr, 200},
        AccessCase{"SocketWithoutToken", false, "GET /ws", kOwnOrigin, 401},
        AccessCase{"SocketWithAWrongToken", false, "GET /ws?token=0123456789abcdef", kOwnOrigin,
                   401},
        AccessCase{"SocketWithToken", false, "GET /ws?token=TOKEN", kOwnOrigin, 101},
        AccessCase{"SocketWithTokenFromNoPage", false, "GET /ws?token=TOKEN", nullptr, 101},
        AccessCase{"SocketWithTokenFromAnotherSite", false, "GET /ws?token=TOKEN", kEvil, 403}),
    [](const auto &info) { return std::string(info.param.name); });

// --- one client cannot take the relay from the others -------------------------------

TEST(ViewRelay, AViewersKeyFrameRequestsReachTheHostAtMostOnceASecondInAll) {
    // Without periodic key frames, each key frame answers a request.
    HostProcess host({"-scale", "3", "-frameRate", "30", "-iFrameInterval", "100000"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    Relay relay = StartRelay(host.Target());
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    // One viewer watches; three flood the relay with requests.
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < 4; ++i) {
        viewers.push_back(std::make_unique<Viewer>(relay.port));
    }
    beast::error_code error;
    for (int i = 0; i < 15; ++i) {  // past the key frames of the joins
        ASSERT_TRUE(viewers[0]->Read(&error)) << error.message();
    }
    int keyFrames = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 90; ++i) {
        for (size_t v = 1; v < viewers.size(); ++v) {
            viewers[v]->Send("keyframe");
        }
        const auto message = viewers[0]->Read(&error);
        ASSERT_TRUE(message) << error.message();
        keyFrames += !message->text && (message->flags & 2) ? 1 : 0;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(keyFrames, 2) << "the requests are not answered at all";
    EXPECT_LE(keyFrames, 1 + elapsed.count()) << "in " << elapsed.count() << " s";
    EXPECT_EQ(host.Stop(), 0);
}

size_t Descriptors(pid_t pid) {
    const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST(ViewRelay, IdleAndSlowConnectionsStarveNoViewer) {
    rlimit limit{};  // the test holds 2,000 sockets
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    HostProcess host({"-scale", "3", "-frameRate", "30"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    Relay relay = StartRelay(host.Target());
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    Viewer watching(relay.port);
    const size_t descriptorsBefore = Descriptors(relay.child->Pid());

    asio::io_context io;
    std::vector<tcp::socket> idle;
    // Their source ports lie below the kernel's ephemeral range, where the free ports
    // that tests running beside this one pick for their servers come from.
    uint16_t sourcePort = 20000;
    // One address over its share: its oldest silent connection makes room, told why.
    for (int i = 0; i < 33; ++i) {
        idle.push_back(Connect(io, relay.port, "127.0.0.2", kReadTimeoutSeconds, sourcePort++));
    }
    EXPECT_EQ(ReadAnswer(idle.front()).value_or("").substr(0, 12), "HTTP/1.1 503");
    // 2,000 from 80 addresses, half of them sending a request they never end.
    for (int i = 0; i < 2000; ++i) {
        idle.push_back(
            Connect(io, relay.port, "127.0.1." + std::to_string(1 + i / 25), 15, sourcePort++));
        if (i % 2 == 1) {
            const std::string begun = "GET / HTTP/1.1\r\nHost: 1";
            ::send(idle.back().native_handle(), begun.data(), begun.size(), MSG_NOSIGNAL);
        }
    }
    // Answered after all of them were accepted, and so is a new viewer.
    ASSERT_EQ(Exchange(relay.port, "GET /stats HTTP/1.1\r\nHost: 127.0.0.1:" +
                                       std::to_string(relay.port) + "\r\nConnection: close\r\n\r\n")
                  .substr(0, 12),
              "HTTP/1.1 200");
    Viewer joining(relay.port);
    // The cap, and the few descriptors the relay may open meanwhile for other work.
    EXPECT_LE(Descriptors(relay.child->Pid()), descriptorsBefore + 256 + 16);
    for (Viewer *viewer : {&watching, &joining}) {
        int pictures = 0;
        beast::error_code error;
        for (int i = 0; i < 200 && pictures < 30; ++i) {
            const auto message = viewer->Read(&error);
            ASSERT_TRUE(message) << error.message();
            pictures += message->text ? 0 : 1;
        }
        EXPECT_EQ(pictures, 30);
    }
    // The newest silent connection is closed when its request is overdue (10 s).
    EXPECT_TRUE(ReadAnswer(idle.back())) << "still open after 15 s";
    EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
