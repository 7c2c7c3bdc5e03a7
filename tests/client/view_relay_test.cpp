// mirrax_client view between a real host and WebSocket viewers without a browser, so
// that the relay also runs in the sanitizer builds: who may watch, floods, slow clients.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <regex>

#include "integration/host_fixture.h"
#include "support/child_process.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using mirrax::test::HostProcess;
using Stream = ChildProcess::Stream;

struct Relay {
    std::unique_ptr<ChildProcess> child;
    int port = 0;  // 0 when it printed no address
};

Relay StartRelay(const std::string &server, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--server", server, "view", "--listen", "127.0.0.1:0"});
    Relay relay{std::make_unique<ChildProcess>(mirrax::test::Program("mirrax_client", args))};
    relay.child->WaitForLine(Stream::kStdout, "view: watch the screen at http://");
    std::smatch match;
    const std::string line = relay.child->Output(Stream::kStdout);
    if (std::regex_search(line, match, std::regex(R"(http://\S+:(\d+)/)"))) {
        relay.port = std::stoi(match[1]);
    }
    return relay;
}

// A TCP connection to the relay from `source` (any loopback address) and `sourcePort`
// (0: any); reads give up after `timeoutSeconds`, so a silent relay fails the test.
tcp::socket Connect(asio::io_context &io, int port, const std::string &source = "127.0.0.1",
                    int timeoutSeconds = 10, uint16_t sourcePort = 0) {
    tcp::socket socket(io, tcp::v4());
    socket.set_option(asio::socket_base::reuse_address(true));  // a last run's TIME_WAIT
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
        if (answer.starts_with("HTTP/1.1 101") && answer.find("\r\n\r\n") != std::string::npos) {
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

// A WebSocket viewer. `receiveBuffer` > 0: a small socket buffer, for one that never reads.
struct Viewer {
    explicit Viewer(int port, int receiveBuffer = 0) : ws(io) {
        ws.next_layer() = Connect(io, port);
        if (receiveBuffer > 0) {
            setsockopt(ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                       sizeof receiveBuffer);
        }
        ws.handshake("127.0.0.1:" + std::to_string(port), "/ws");
    }

    // The next message, or nothing with `error` set (a close included).
    std::optional<std::string> Read(beast::error_code *error) {
        beast::flat_buffer buffer;
        ws.read(buffer, *error);
        return *error ? std::nullopt : std::optional(beast::buffers_to_string(buffer.data()));
    }

    asio::io_context io;
    websocket::stream<tcp::socket> ws;
};

size_t Descriptors(pid_t pid) {
    const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// Nine viewers read one message each in turn while a tenth never reads; three of the
// readers flood the relay with key-frame requests, which reach the host at most once
// a second in all; a 10 MB message and malformed requests close only what sent them;
// floods of connections hold up no viewer; Ctrl-C ends the run with onEnd.
TEST(ViewRelay, NoClientHoldsUpTheViewersAndCtrlCEndsTheRun) {
    rlimit limit{};  // the test holds 2,000 sockets
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    // Without periodic key frames, each key frame after the joins answers a request.
    HostProcess host({"-scale", "3", "-frameRate", "30", "-iFrameInterval", "100000"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    Relay relay = StartRelay(host.Target());
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    Viewer stalled(relay.port, 4096);
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < 9; ++i) {
        viewers.push_back(std::make_unique<Viewer>(relay.port));
    }
    std::vector<std::vector<uint32_t>> flags(viewers.size());
    std::vector<std::string> events(viewers.size());
    int keyFrames = 0;  // of the first viewer, during the flood
    auto start = std::chrono::steady_clock::now();
    beast::error_code error;
    for (int round = 0; round < 150; ++round) {
        for (size_t v = 0; v < viewers.size(); ++v) {
            if (round >= 60 && v > 0 && v < 4) {
                viewers[v]->ws.write(asio::buffer(std::string("keyframe")), error);
                ASSERT_FALSE(error) << error.message();
            }
            const auto body = viewers[v]->Read(&error);
            ASSERT_TRUE(body) << "viewer " << v << ": " << error.message();
            if (viewers[v]->ws.got_text()) {
                events[v] += *body;
            } else {  // the flags from the buffer's header
                flags[v].push_back(body->starts_with("\x01\x18") ? uint8_t((*body)[4]) : 0);
            }
        }
        if (round == 60) {
            start = std::chrono::steady_clock::now();
        }
        keyFrames += round > 60 && !flags[0].empty() && (flags[0].back() & 2) ? 1 : 0;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(keyFrames, 2) << "the requests are not answered at all";
    EXPECT_LE(keyFrames, 1 + elapsed.count()) << "in " << elapsed.count() << " s";
    for (size_t v = 0; v < viewers.size(); ++v) {
        SCOPED_TRACE("viewer " + std::to_string(v));
        ASSERT_GE(flags[v].size(), 100u);
        EXPECT_EQ(flags[v][0] & 8, 8u) << "codec data first";
        EXPECT_EQ(flags[v][1] & 2, 2u) << "then a key frame";
        EXPECT_EQ(std::count_if(flags[v].begin(), flags[v].end(), [](auto f) { return f & 8; }), 1)
            << "codec data again";
        EXPECT_NE(events[v].find("\"state\":\"up\""), std::string::npos) << events[v];
    }
    const std::string hostHeader = "\r\nHost: 127.0.0.1:" + std::to_string(relay.port) + "\r\n";
    const std::string stats =
        Exchange(relay.port, "GET /stats HTTP/1.1" + hostHeader + "Connection: close\r\n\r\n");
    EXPECT_NE(stats.find("\"viewers\":10,"), std::string::npos) << stats;
    EXPECT_EQ(stats.find("\"skips\":0,"), std::string::npos)
        << "the stalled viewer never fell behind";

    // Bad input: a request that is no HTTP, an upgrade without its key, a 10 MB message.
    EXPECT_EQ(Exchange(relay.port, "HELLO\r\n\r\n").substr(0, 13), "HTTP/1.1 400 ");
    EXPECT_EQ(Exchange(relay.port, "GET /ws HTTP/1.1" + hostHeader +
                                       "Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n")
                  .substr(0, 13),
              "HTTP/1.1 400 ");
    viewers.back()->ws.write(asio::buffer(std::string(10 << 20, 'x')), error);
    EXPECT_FALSE(viewers.back()->Read(&error)) << "the viewer that sent 10 MB is still open";
    viewers.pop_back();

    // Idle and slow connections starve no viewer. One address over its share: its
    // oldest silent connection makes room, told why. Then 2,000 from 80 addresses, half
    // of them sending a request they never end. Their source ports lie below the
    // kernel's ephemeral range, where the free ports of tests beside this one come from,
    // in a block of this process's own (another checkout may run this test meanwhile).
    const size_t descriptorsBefore = Descriptors(relay.child->Pid());
    asio::io_context io;
    std::vector<tcp::socket> idle;
    auto sourcePort = static_cast<uint16_t>(10000 + getpid() % 8 * 2500);
    for (int i = 0; i < 33; ++i) {
        idle.push_back(Connect(io, relay.port, "127.0.0.2", 10, sourcePort++));
    }
    EXPECT_EQ(ReadAnswer(idle.front()).value_or("").substr(0, 12), "HTTP/1.1 503");
    for (int i = 0; i < 2000; ++i) {
        idle.push_back(
            Connect(io, relay.port, "127.0.1." + std::to_string(1 + i / 25), 15, sourcePort++));
        if (i % 2 == 1) {
            const std::string begun = "GET / HTTP/1.1\r\nHost: 1";
            ::send(idle.back().native_handle(), begun.data(), begun.size(), MSG_NOSIGNAL);
        }
    }
    // Answered after all of them were accepted, and so is a new viewer.
    ASSERT_EQ(Exchange(relay.port, "GET /stats HTTP/1.1" + hostHeader + "Connection: close\r\n\r\n")
                  .substr(0, 12),
              "HTTP/1.1 200");
    viewers.push_back(std::make_unique<Viewer>(relay.port));
    // The cap, and the few descriptors the relay may open meanwhile for other work.
    EXPECT_LE(Descriptors(relay.child->Pid()), descriptorsBefore + 256 + 16);
    // The viewers read on while the newest silent connection waits: it is closed when
    // its request is overdue (10 s).
    pollfd overdue{idle.back().native_handle(), POLLIN, 0};
    int rounds = 0;
    for (; rounds < 600 && poll(&overdue, 1, 0) == 0; ++rounds) {
        for (auto &viewer : viewers) {
            ASSERT_TRUE(viewer->Read(&error)) << error.message();
        }
    }
    EXPECT_GT(rounds, 30);
    EXPECT_EQ(poll(&overdue, 1, 0), 1) << "still open after 20 s";
    idle.clear();

    relay.child->Signal(SIGINT);
    EXPECT_EQ(relay.child->Wait(15s), 0) << relay.child->Output(Stream::kStderr);
    EXPECT_TRUE(host.WaitForLog("Request to stop from")) << host.Log();
    for (auto &viewer : viewers) {
        // Whatever was still queued, then the relay's close frame. (The read ends
        // with "closed", or with the socket's error when the relay's side of the
        // connection was already gone as the reply went out.)
        for (int i = 0; i < 1000 && viewer->Read(&error); ++i) {
        }
        EXPECT_NE(error, asio::error::would_block) << "no close within the read timeout";
        EXPECT_EQ(viewer->ws.reason().code, websocket::close_code::going_away) << error.message();
    }
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Request to stop from"), 1u) << host.Log();
}

TEST(ViewRelay, GivesUpOnAHostInRecordMode) {
    HostProcess host({"-scale", "3", "-m", "1"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    Relay relay = StartRelay(host.Target());
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    EXPECT_EQ(relay.child->Wait(20s), 1) << relay.child->Output(Stream::kStderr);
    EXPECT_EQ(relay.child->CountLines(Stream::kStderr, "it is in record mode (-m 1)"), 1u)
        << relay.child->Output(Stream::kStderr);
    // Each recording it started was ended again.
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Request to stop from"), 3u) << host.Log();
}

// One request each to a relay that requires its token and allows pages of
// http://allowed.example:3000. PORT and TOKEN stand for the relay's.
TEST(ViewRelay, WhoMayWatch) {
    struct Case {
        const char *request;  // method and target; an upgrade for /ws
        const char *origin;   // nullptr: no Origin header
        int status;
        const char *host = "127.0.0.1:PORT";  // nullptr: no Host header
    };
    const char *own = "http://127.0.0.1:PORT";
    const Case cases[] = {
        {"GET /?token=TOKEN", nullptr, 200},
        {"HEAD /stats?token=TOKEN", nullptr, 200},  // no body: the next answer follows
        {"GET /", nullptr, 401},
        {"GET /grid.html", nullptr, 401},
        {"GET /ws?device=1&token=TOKEN", own, 404},  // no such device
        {"GET /ws?token=0123456789abcdef", own, 401},
        // A name that merely resolves to the relay (DNS rebinding), or none.
        {"GET /?token=TOKEN", nullptr, 421, "attacker.example:PORT"},
        {"GET /stats?token=TOKEN", nullptr, 421, "attacker.example:PORT"},
        {"GET /ws?token=TOKEN", own, 421, "attacker.example:PORT"},
        {"GET /?token=TOKEN", nullptr, 400, nullptr},
        {"GET /ws?token=TOKEN", own, 101},
        {"GET /ws?token=TOKEN", "http://localhost:PORT", 101, "localhost:PORT"},
        {"GET /ws?token=TOKEN", nullptr, 101},  // no browser page
        {"GET /ws?token=TOKEN", "http://allowed.example:3000", 101},
        {"GET /ws?token=TOKEN", "http://evil.example", 403},
        {"GET /ws?token=TOKEN", "http://localhost:1", 403},
        {"GET /ws?token=TOKEN", "http://127.0.0.1.evil.example", 403},
        {"GET /ws?token=TOKEN", "https://127.0.0.1:PORT", 403},
        {"GET /ws?token=TOKEN", "null", 403},
        {"GET /ws?token=TOKEN", "file://", 403},
    };
    const std::string nowhere = "127.0.0.1:" + std::to_string(mirrax::test::FreeLoopbackPort());
    const std::string token = "tok3n-1234";
    Relay relay = StartRelay(nowhere, {"--require-token", "--token", token, "--allow-origin",
                                       "HTTP://Allowed.Example:3000/"});
    ASSERT_GT(relay.port, 0) << relay.child->Output(Stream::kStderr);
    auto fill = [&](std::string text) {
        text = std::regex_replace(text, std::regex("PORT"), std::to_string(relay.port));
        return std::regex_replace(text, std::regex("TOKEN"), token);
    };
    for (const Case &c : cases) {
        const std::string line = c.request;
        SCOPED_TRACE(line + " origin " + (c.origin ? c.origin : "none"));
        std::string request = line + " HTTP/1.1\r\n";
        request += c.host ? "Host: " + std::string(c.host) + "\r\n" : "";
        request += c.origin ? "Origin: " + std::string(c.origin) + "\r\n" : "";
        if (line.find(" /ws") != std::string::npos) {
            request +=
                "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
        } else {
            // After a HEAD, a second request on the same connection.
            request += line.starts_with("HEAD")
                           ? "\r\nGET /none HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n"
                           : "";
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
        if (line.starts_with("HEAD")) {
            EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4, 12), "HTTP/1.1 404") << answer;
        }
        if (c.origin && c.status == 403) {
            const std::string logged = "(origin " + fill(c.origin) + "): the origin may not watch";
            EXPECT_TRUE(relay.child->WaitForLine(Stream::kStderr, logged, 5s)) << logged;
        }
    }
    EXPECT_EQ(relay.child->Stop(SIGINT), 0);
    EXPECT_EQ(relay.child->Output(Stream::kStderr).find(token), std::string::npos);
}

}  // namespace
