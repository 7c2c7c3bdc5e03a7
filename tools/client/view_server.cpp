#include "view_server.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client_log.h"
#include "summary_format.h"
#include "view_assets.h"

namespace mirrax::client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// A request must arrive whole within this time, and a kept-alive connection that sends
// no next request is closed after it: slow or silent connections do not pile up.
constexpr std::chrono::seconds kRequestTimeout{10};
constexpr std::chrono::seconds kWebSocketHandshakeTimeout{5};
// A viewer whose write has not completed for this long reads nothing: it is dropped.
// Viewers that send nothing are fine as long as they read.
constexpr std::chrono::seconds kStalledViewerLimit{30};
constexpr std::chrono::seconds kStalledViewerCheck{5};
constexpr std::chrono::seconds kStopGrace{2};
constexpr std::chrono::seconds kViewerKeyFrameSpacing{1};
// Out of descriptors, the listening socket is left alone this long instead of failing
// accept after accept; the connections wait in its queue.
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr int kRefusalLinesPerSecond = 50;
constexpr size_t kRequestLimit = 16 * 1024;
// A viewer's socket buffers little, so a viewer that falls behind shows in its
// queue, where it skips to the next key frame, instead of seconds of stale pictures
// piling up in the kernel.
constexpr int kViewerSendBuffer = 64 * 1024;
constexpr const char *kServerName = "mirrax_client view";
// On every answer: no guessing of content types, no framing by any site, and no
// Referer, since the page's address holds the token.
constexpr std::array<std::pair<const char *, const char *>, 4> kSecurityHeaders{{
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Content-Security-Policy", "frame-ancestors 'none'"},
    {"Referrer-Policy", "no-referrer"},
}};

template <class Message>
void AddSecurityHeaders(Message &message) {
    for (const auto &[name, value] : kSecurityHeaders) {
        message.set(name, value);
    }
}

asio::ip::address Unmapped(const asio::ip::address &address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

// An address as a URL writes it: IPv6 in brackets.
std::string UrlHost(const asio::ip::address &address) {
    return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// A peer's text for a log line: printable ASCII, at most 200 characters.
std::string Printable(std::string_view text) {
    std::string shown(text.substr(0, 200));
    std::replace_if(
        shown.begin(), shown.end(), [](unsigned char c) { return c < 0x20 || c > 0x7e; }, '?');
    return shown;
}

// The value of `name` in a URL's query, if it is there.
std::optional<std::string_view> QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=') {
            return pair.substr(name.size() + 1);
        }
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return std::nullopt;
}

// Takes the same time whatever `given` holds, however much of it matches.
bool SameToken(std::string_view given, std::string_view token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i) {
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    }
    return difference == 0;
}

// The names a request on this connection may give in Host (and an Origin with http://):
// the address it reached, and the loopback names when that address is loopback.
std::vector<std::string> NamesOf(const tcp::socket &socket) {
    beast::error_code ec;
    const auto local = Unmapped(socket.local_endpoint(ec).address());
    std::vector<std::string> names{UrlHost(local)};
    if (local.is_loopback()) {
        names.insert(names.end(), {"localhost", "127.0.0.1", "[::1]"});
    }
    return names;
}

std::string PeerOf(const tcp::socket &socket) {
    beast::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    return UrlHost(Unmapped(remote.address())) + ":" + std::to_string(remote.port());
}

// Answers 503 with `reason` on a connection that is closed next, without waiting:
// the socket's empty send buffer takes the few bytes at once.
// Every answer of the relay: its name, no caching, the security headers.
http::response<http::string_body> Answer(http::status status, std::string body, bool keepAlive,
                                         std::string_view type = "text/plain") {
    http::response<http::string_body> response(status, 11);
    response.set(http::field::server, kServerName);
    response.set(http::field::content_type, beast::string_view(type.data(), type.size()));
    response.set(http::field::cache_control, "no-store");
    AddSecurityHeaders(response);
    if (status == http::status::unauthorized) {
        response.set(http::field::www_authenticate, "Token");
    }
    response.keep_alive(keepAlive);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

void WriteRefusal(tcp::socket &socket, const std::string &reason) {
    std::ostringstream response;
    response << Answer(http::status::service_unavailable, reason + "\n", false);
    beast::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(response.str()), ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

double WallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char *HostStateName(HostState state) {
    static constexpr const char *kNames[] = {"connecting", "up", "down", "nostream"};  // in order
    return kNames[static_cast<size_t>(state)];
}

std::string_view ContentType(std::string_view name) {
    auto endsWith = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    if (endsWith(".html")) {
        return "text/html; charset=utf-8";
    }
    if (endsWith(".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (endsWith(".css")) {
        return "text/css; charset=utf-8";
    }
    return "application/octet-stream";
}

class Viewer;
class HttpSession;

}  // namespace

// Everything below runs on the server's one thread, but Publish, SetHostState and
// the counters, which other threads use.
struct ViewServer::Impl {
    Impl(Settings s, std::function<void(KeyFrameNeed, size_t)> r)
        : settings(std::move(s)),
          requestKeyFrame(std::move(r)),
          devices(settings.deviceNames.size()) {}

    void Accept();
    void CheckStalledViewers();
    void Admit(tcp::socket socket);
    // Closes the oldest connection still waiting for its request, from `address` or,
    // when that is empty, from anywhere; false when there is none.
    bool EvictWaiting(const std::string &address);
    void Join(const std::shared_ptr<Viewer> &viewer);
    void Leave(const Viewer *viewer);
    void Broadcast(const std::shared_ptr<const RelayBuffer> &buffer);
    void ChangeHostState(size_t device, HostState state, const std::string &detail);
    std::string HostEvent(size_t device, HostState state, const std::string &detail) const;
    // The device a viewer's ?device= names (0 when none); nothing when there is no such.
    std::optional<uint16_t> DeviceOf(std::string_view query) const;
    void CloseAll();
    std::string StatsJson() const;
    // One line on stderr per refusal, at most kRefusalLinesPerSecond a second; the
    // lines held back are counted in the next one that goes out.
    void LogRefusal(const std::string &line);

    // Whether a request's Host (`scheme` empty) or an upgrade's Origin (`scheme`
    // "http://") names the relay, as the rules in the header say: one of `names` with
    // the relay's port (which port 80 may leave out), or an allowed origin.
    bool Names(std::string_view text, const std::string &scheme,
               const std::vector<std::string> &names) const;
    bool TokenGiven(std::string_view query) const;

    const Settings settings;
    const std::function<void(KeyFrameNeed, size_t)> requestKeyFrame;

    // The connections under the caps, declared before the io_context: sessions that
    // its destructor destroys still give their places back here.
    size_t connections = 0;
    std::unordered_map<std::string, size_t> connectionsByAddress;
    std::list<HttpSession *> waiting;  // sessions waiting for a request, oldest first

    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptPause{io};
    asio::steady_timer stalledCheck{io};
    uint16_t port = 0;  // the bound port, known before the thread starts
    std::thread thread;

    std::vector<std::shared_ptr<Viewer>> viewers;
    // One host's stream as the relay last saw it.
    struct Device {
        std::shared_ptr<const RelayBuffer> latestCodecData;
        // The key frame after latestCodecData: a joining grid shows it without asking.
        std::shared_ptr<const RelayBuffer> latestKeyFrame;
        HostState hostState = HostState::kConnecting;
        std::shared_ptr<const std::string> hostEvent;
    };
    std::vector<Device> devices;
    bool stopping = false;

    std::atomic<uint64_t> pictures{0};
    std::atomic<uint64_t> keyFrames{0};
    uint64_t skips = 0;

    std::chrono::steady_clock::time_point refusalSecond{};
    int refusalLines = 0;
    uint64_t refusalsHeldBack = 0;

    std::mutex mutex;  // guards `closed`, which Stop waits for
    std::condition_variable closedChanged;
    bool closed = false;
};

namespace {

// One connection's place under the caps, held by its HTTP session and then by the
// viewer it becomes.
class ConnectionSlot {
public:
    ConnectionSlot(ViewServer::Impl &server, std::string address)
        : server_(server), address_(std::move(address)) {
        ++server_.connections;
        ++server_.connectionsByAddress[address_];
    }
    ~ConnectionSlot() {
        --server_.connections;
        const auto it = server_.connectionsByAddress.find(address_);
        if (--it->second == 0) {
            server_.connectionsByAddress.erase(it);
        }
    }
    ConnectionSlot(const ConnectionSlot &) = delete;
    ConnectionSlot &operator=(const ConnectionSlot &) = delete;

    const std::string &Address() const { return address_; }

private:
    ViewServer::Impl &server_;
    const std::string address_;
};

// One browser's WebSocket: buffers and events out, key-frame requests in.
class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    // `device`: whose stream it watches; nothing for a grid page.
    Viewer(beast::tcp_stream &&stream, ViewServer::Impl &server,
           std::unique_ptr<ConnectionSlot> slot, std::string who, std::optional<uint16_t> device)
        : device_(device),
          ws_(std::move(stream)),
          server_(server),
          slot_(std::move(slot)),
          who_(std::move(who)),
          queue_(server.settings.queueLimit),
          keyFrameTimer_(server.io) {}

    // "PEER (origin ORIGIN)", for the log.
    const std::string &Who() const { return who_; }

    void Accept(http::request<http::string_body> request) {
        beast::get_lowest_layer(ws_).expires_never();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(
            asio::socket_base::send_buffer_size(kViewerSendBuffer), ignored);
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = kWebSocketHandshakeTimeout;
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type &res) {
            res.set(http::field::server, kServerName);
            AddSecurityHeaders(res);
        }));
        ws_.read_message_max(server_.settings.maxViewerMessage);
        // Each buffer goes as one frame in one gathered write. Beast would otherwise cut
        // it into 4 KB frames, a socket write each, and every viewer would pay those
        // writes again for the same picture.
        ws_.auto_fragment(false);
        // A malformed upgrade is answered with 400 by the handshake itself.
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->server_.Join(self);
                self->Read();
            }
        });
    }

    ViewerQueue &Queue() { return queue_; }
    GridQueue &Grid() { return grid_; }
    const std::optional<uint16_t> &Device() const { return device_; }

    void Kick() {
        if (writing_ || closing_) {
            return;
        }
        auto item = device_ ? queue_.Pop() : grid_.Pop();
        if (!item) {
            return;
        }
        writing_ = std::move(*item);
        writeStarted_ = std::chrono::steady_clock::now();
        auto done = [self = shared_from_this()](beast::error_code ec, size_t) {
            self->writing_.reset();
            if (ec) {
                self->Fail();
                return;
            }
            self->Kick();
        };
        if (writing_->text) {
            ws_.text(true);
            ws_.async_write(asio::buffer(*writing_->text), std::move(done));
            return;
        }
        header_ = EncodeViewHeader(*writing_->buffer, WallClockMs());
        const std::array<asio::const_buffer, 2> message{asio::buffer(header_),
                                                        asio::buffer(writing_->buffer->data)};
        ws_.binary(true);
        ws_.async_write(message, std::move(done));
    }

    // No close frame would reach a viewer that reads nothing: its connection is
    // closed, which ends its pending operations.
    void DropIfStalled(std::chrono::steady_clock::time_point now) {
        if (writing_ && !closing_ && now - writeStarted_ >= kStalledViewerLimit) {
            closing_ = true;
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
        }
    }

    void Close() {
        if (closing_) {
            return;
        }
        closing_ = true;
        ws_.async_close(websocket::close_reason(websocket::close_code::going_away, "relay stopped"),
                        [self = shared_from_this()](beast::error_code) { self->Fail(); });
    }

private:
    void Read() {
        ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                // Closed, broken, or a message over the limit (the stream has already
                // sent the close frame saying so): only this viewer goes.
                self->Fail();
                return;
            }
            const std::string message = beast::buffers_to_string(self->readBuffer_.data());
            self->readBuffer_.consume(self->readBuffer_.size());
            if (self->ws_.got_text() && message == "keyframe" && self->device_) {
                self->KeyFrameAsked();
            }
            self->Read();
        });
    }

    // A viewer's requests reach the host at most once a second: one that comes sooner
    // waits for the rest of that second, and more meanwhile add nothing.
    void KeyFrameAsked() {
        const auto now = std::chrono::steady_clock::now();
        if (!lastKeyFrameAsked_ || now - *lastKeyFrameAsked_ >= kViewerKeyFrameSpacing) {
            lastKeyFrameAsked_ = now;
            server_.requestKeyFrame(KeyFrameNeed::kAsked, *device_);
            return;
        }
        if (keyFrameDeferred_) {
            return;
        }
        keyFrameDeferred_ = true;
        keyFrameTimer_.expires_at(*lastKeyFrameAsked_ + kViewerKeyFrameSpacing);
        keyFrameTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            self->keyFrameDeferred_ = false;
            if (!ec && !self->closing_) {
                self->KeyFrameAsked();
            }
        });
    }

    void Fail() {
        closing_ = true;
        server_.Leave(this);
    }

    const std::optional<uint16_t> device_;
    websocket::stream<beast::tcp_stream> ws_;
    ViewServer::Impl &server_;
    const std::unique_ptr<ConnectionSlot> slot_;
    const std::string who_;
    ViewerQueue queue_;
    GridQueue grid_;
    std::optional<std::chrono::steady_clock::time_point> lastKeyFrameAsked_;
    asio::steady_timer keyFrameTimer_;
    bool keyFrameDeferred_ = false;
    beast::flat_buffer readBuffer_;
    std::optional<ViewItem> writing_;
    std::chrono::steady_clock::time_point writeStarted_;
    std::array<uint8_t, kViewHeaderSize> header_{};
    bool closing_ = false;
};

// One HTTP connection: the page's files, the counters, or the WebSocket upgrade.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket &&socket, ViewServer::Impl &server,
                std::unique_ptr<ConnectionSlot> slot)
        : names_(NamesOf(socket)),
          peer_(PeerOf(socket)),
          stream_(std::move(socket)),
          server_(server),
          slot_(std::move(slot)) {}
    ~HttpSession() { Unlist(); }

    const std::string &Address() const { return slot_->Address(); }

    void Read() {
        parser_.emplace();
        parser_->header_limit(kRequestLimit);
        parser_->body_limit(kRequestLimit);
        stream_.expires_after(kRequestTimeout);
        waitingAt_ = server_.waiting.insert(server_.waiting.end(), this);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    // Makes room for a new connection: answers 503 and closes this one, which is still
    // waiting for its request.
    void Evict() {
        Unlist();
        server_.LogRefusal("closed " + peer_ + ", which sent no request, to make room");
        WriteRefusal(stream_.socket(), "closed to make room for other connections");
        slot_.reset();
        stream_.close();
    }

private:
    void Unlist() {
        if (waitingAt_) {
            server_.waiting.erase(*waitingAt_);
            waitingAt_.reset();
        }
    }

    void OnRead(beast::error_code ec) {
        Unlist();
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted) {
            Shutdown();
            return;
        }
        if (ec) {
            Respond(http::status::bad_request, "bad request\n", false);
            return;
        }
        http::request<http::string_body> request = parser_->release();
        headOnly_ = request.method() == http::verb::head;
        const std::string_view target(request.target().data(), request.target().size());
        const size_t question = target.find('?');
        const std::string_view path = target.substr(0, question);
        const std::string_view query =
            question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
        const auto host = request.find(http::field::host);
        if (host == request.end()) {
            Respond(http::status::bad_request, "a Host header is required\n", false);
            return;
        }
        if (!server_.Names(View(host->value()), "", names_)) {
            // A name that merely resolves here (DNS rebinding) gets nothing.
            server_.LogRefusal("refused " + peer_ + ": Host " + Printable(View(host->value())) +
                               " is not a name of this relay");
            Respond(http::status::misdirected_request, "this relay does not answer to that name\n",
                    false);
            return;
        }
        if (websocket::is_upgrade(request)) {
            if (path != "/ws") {
                Respond(http::status::not_found, "not found\n", false);
                return;
            }
            const auto origin = request.find(http::field::origin);
            const std::string who =
                peer_ + " (" +
                (origin == request.end() ? "no origin"
                                         : "origin " + Printable(View(origin->value()))) +
                ")";
            // Browsers let any page open a WebSocket anywhere and say where it comes
            // from; a client that sends no Origin is no browser page.
            if (origin != request.end() &&
                !server_.Names(View(origin->value()), "http://", names_)) {
                server_.LogRefusal("refused viewer " + who + ": the origin may not watch");
                Respond(http::status::forbidden, "pages of this origin may not watch\n", false);
                return;
            }
            if (!server_.TokenGiven(query)) {
                server_.LogRefusal("refused viewer " + who + ": no valid token");
                Respond(http::status::unauthorized, "the token is missing or wrong\n", false);
                return;
            }
            // ?grid=1: every device's key frames for the grid page; otherwise one device's
            // stream, ?device=N (0 when not given).
            std::optional<uint16_t> device;
            if (!QueryValue(query, "grid")) {
                device = server_.DeviceOf(query);
                if (!device) {
                    server_.LogRefusal("refused viewer " + who + ": no such device");
                    Respond(http::status::not_found, "no such device\n", false);
                    return;
                }
            }
            std::make_shared<Viewer>(std::move(stream_), server_, std::move(slot_), who, device)
                ->Accept(std::move(request));
            return;
        }
        const bool keepAlive = request.keep_alive();
        if (request.method() != http::verb::get && !headOnly_) {
            Respond(http::status::method_not_allowed, "only GET\n", keepAlive);
            return;
        }
        if (path == "/ws") {
            Respond(http::status::bad_request, "WebSocket upgrade expected\n", keepAlive);
            return;
        }
        // The page and the counters show the screen's state; the script and the style
        // sheet they load are the same for everyone.
        const bool needsToken =
            path == "/" || path == "/index.html" || path == "/grid.html" || path == "/stats";
        if (needsToken && !server_.TokenGiven(query)) {
            server_.LogRefusal("refused " + peer_ + ": no valid token");
            Respond(http::status::unauthorized,
                    "open the address with ?token= that the relay printed\n", false);
            return;
        }
        if (path == "/stats") {
            Respond(http::status::ok, server_.StatsJson(), keepAlive, "application/json");
            return;
        }
        const std::string_view name =
            path == "/" ? (server_.settings.grid ? "grid.html" : "index.html") : path.substr(1);
        for (const ViewAsset &asset : ViewAssets()) {
            if (asset.name == name) {
                Respond(http::status::ok, std::string(asset.body), keepAlive,
                        ContentType(asset.name));
                return;
            }
        }
        Respond(http::status::not_found, "not found\n", keepAlive);
    }

    // A HEAD request gets the headers of its GET answer, without the body.
    void Respond(http::status status, std::string body, bool keepAlive,
                 std::string_view type = "text/plain") {
        auto response = std::make_shared<http::response<http::string_body>>(
            Answer(status, std::move(body), keepAlive, type));
        if (headOnly_) {
            response->body().clear();  // Content-Length stays the GET answer's
        }
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code ec, size_t) {
                              if (ec || !response->keep_alive()) {
                                  self->Shutdown();
                                  return;
                              }
                              self->Read();
                          });
    }

    void Shutdown() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    const std::vector<std::string> names_;
    const std::string peer_;
    beast::tcp_stream stream_;
    ViewServer::Impl &server_;
    std::unique_ptr<ConnectionSlot> slot_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<std::list<HttpSession *>::iterator> waitingAt_;
    bool headOnly_ = false;
};

}  // namespace

void ViewServer::Impl::Accept() {
    acceptor.async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == asio::error::operation_aborted) {
            return;
        }
        const bool outOfDescriptors = ec.category() == boost::system::system_category() &&
                                      (ec.value() == EMFILE || ec.value() == ENFILE ||
                                       ec.value() == ENOBUFS || ec.value() == ENOMEM);
        if (outOfDescriptors) {
            LogRefusal("cannot accept connections (" + ec.message() + "); trying again shortly");
            acceptPause.expires_after(kAcceptPause);
            acceptPause.async_wait([this](beast::error_code waitError) {
                if (!waitError && !stopping) {
                    Accept();
                }
            });
            return;
        }
        if (!ec) {
            Admit(std::move(socket));
        }
        Accept();
    });
}

void ViewServer::Impl::CheckStalledViewers() {
    stalledCheck.expires_after(kStalledViewerCheck);
    stalledCheck.async_wait([this](beast::error_code ec) {
        if (ec || stopping) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto current = viewers;  // dropped viewers leave the list
        for (const auto &viewer : current) {
            viewer->DropIfStalled(now);
        }
        CheckStalledViewers();
    });
}

void ViewServer::Impl::Admit(tcp::socket socket) {
    beast::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec) {
        return;  // gone already
    }
    const std::string address = Unmapped(remote.address()).to_string();
    const auto sameAddress = connectionsByAddress.find(address);
    if (sameAddress != connectionsByAddress.end() &&
        sameAddress->second >= settings.maxConnectionsPerAddress && !EvictWaiting(address)) {
        LogRefusal("refused a connection from " + PeerOf(socket) + ": too many from " + address);
        WriteRefusal(socket, "too many connections from " + address);
        return;
    }
    if (connections >= settings.maxConnections && !EvictWaiting({})) {
        LogRefusal("refused a connection from " + PeerOf(socket) + ": too many connections");
        WriteRefusal(socket, "too many connections");
        return;
    }
    auto slot = std::make_unique<ConnectionSlot>(*this, address);
    std::make_shared<HttpSession>(std::move(socket), *this, std::move(slot))->Read();
}

bool ViewServer::Impl::EvictWaiting(const std::string &address) {
    for (HttpSession *session : waiting) {
        if (address.empty() || session->Address() == address) {
            session->Evict();
            return true;
        }
    }
    return false;
}

bool ViewServer::Impl::Names(std::string_view text, const std::string &scheme,
                             const std::vector<std::string> &names) const {
    const std::string given = Lower(text);
    for (const auto &name : names) {
        if (given == scheme + name + ":" + std::to_string(port) ||
            (port == 80 && given == scheme + name)) {
            return true;
        }
    }
    return std::any_of(settings.allowedOrigins.begin(), settings.allowedOrigins.end(),
                       [&](const std::string &origin) {
                           return given ==
                                  (scheme.empty() ? origin.substr(origin.find("://") + 3) : origin);
                       });
}

bool ViewServer::Impl::TokenGiven(std::string_view query) const {
    if (!settings.requireToken) {
        return true;
    }
    const auto given = QueryValue(query, "token");
    return given && SameToken(*given, settings.token);
}

void ViewServer::Impl::LogRefusal(const std::string &line) {
    const auto now = std::chrono::steady_clock::now();
    if (now - refusalSecond >= std::chrono::seconds(1)) {
        refusalSecond = now;
        refusalLines = 0;
    }
    if (refusalLines >= kRefusalLinesPerSecond) {
        ++refusalsHeldBack;
        return;
    }
    ++refusalLines;
    if (refusalsHeldBack > 0) {
        Say("view: %llu more refusals not shown",
            static_cast<unsigned long long>(refusalsHeldBack));
        refusalsHeldBack = 0;
    }
    Say("view: %s", line.c_str());
}

void ViewServer::Impl::Join(const std::shared_ptr<Viewer> &viewer) {
    if (stopping) {
        viewer->Close();
        return;
    }
    viewers.push_back(viewer);
    Say("view: viewer %s joined, %zu watching", viewer->Who().c_str(), viewers.size());
    if (!viewer->Device()) {
        // A grid shows every device at once from what the relay holds, asking no host.
        for (size_t i = 0; i < devices.size(); ++i) {
            const Device &device = devices[i];
            viewer->Grid().OfferText(static_cast<uint16_t>(i),
                                     device.hostEvent
                                         ? device.hostEvent
                                         : std::make_shared<const std::string>(
                                               HostEvent(i, HostState::kConnecting, "")));
            for (const auto &buffer : {device.latestCodecData, device.latestKeyFrame}) {
                if (buffer && device.latestKeyFrame) {
                    viewer->Grid().Offer(buffer);
                }
            }
        }
        viewer->Kick();
        return;
    }
    const size_t index = *viewer->Device();
    const Device &device = devices[index];
    if (device.hostEvent) {
        viewer->Queue().OfferText(device.hostEvent);
    }
    if (device.latestCodecData) {
        viewer->Queue().Offer(device.latestCodecData, device.latestCodecData);
    }
    viewer->Kick();
    if (device.hostState == HostState::kUp) {
        requestKeyFrame(KeyFrameNeed::kJoin, index);
    }
}

void ViewServer::Impl::Leave(const Viewer *viewer) {
    if (std::erase_if(viewers, [viewer](const auto &v) { return v.get() == viewer; }) > 0) {
        Say("view: viewer %s left, %zu watching", viewer->Who().c_str(), viewers.size());
    }
    if (stopping && viewers.empty()) {
        {
            std::lock_guard lock(mutex);
            closed = true;
        }
        closedChanged.notify_all();
    }
}

void ViewServer::Impl::Broadcast(const std::shared_ptr<const RelayBuffer> &buffer) {
    Device &device = devices[buffer->device];
    if (buffer->IsCodecData()) {
        device.latestCodecData = buffer;
        device.latestKeyFrame.reset();
    } else if (buffer->IsKeyFrame() && !buffer->data.empty()) {
        device.latestKeyFrame = buffer;
    }
    bool wantKeyFrame = false;
    for (const auto &viewer : viewers) {
        if (!viewer->Device()) {
            viewer->Grid().Offer(buffer);
            viewer->Kick();
            continue;
        }
        if (*viewer->Device() != buffer->device) {
            continue;
        }
        const uint64_t before = viewer->Queue().Skips();
        wantKeyFrame = viewer->Queue().Offer(buffer, device.latestCodecData) || wantKeyFrame;
        skips += viewer->Queue().Skips() - before;
        viewer->Kick();
    }
    if (wantKeyFrame) {
        requestKeyFrame(KeyFrameNeed::kAsked, buffer->device);
    }
}

std::string ViewServer::Impl::HostEvent(size_t device, HostState state,
                                        const std::string &detail) const {
    return std::string("{\"event\":\"host\",\"state\":\"") + HostStateName(state) +
           "\",\"detail\":" + JsonString(detail) + ",\"device\":" + std::to_string(device) +
           ",\"name\":" + JsonString(settings.deviceNames[device]) + "}";
}

std::optional<uint16_t> ViewServer::Impl::DeviceOf(std::string_view query) const {
    const auto given = QueryValue(query, "device");
    if (!given) {
        return 0;
    }
    size_t index = 0;
    const auto [end, ec] = std::from_chars(given->data(), given->data() + given->size(), index);
    if (ec != std::errc() || end != given->data() + given->size() || index >= devices.size()) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(index);
}

void ViewServer::Impl::ChangeHostState(size_t index, HostState state, const std::string &detail) {
    Device &device = devices[index];
    device.hostState = state;
    device.hostEvent = std::make_shared<const std::string>(HostEvent(index, state, detail));
    const auto &hostEvent = device.hostEvent;
    if (state != HostState::kUp) {
        device.latestCodecData.reset();  // the next run brings its own
        device.latestKeyFrame.reset();
    }
    for (const auto &viewer : viewers) {
        if (!viewer->Device()) {
            viewer->Grid().OfferText(static_cast<uint16_t>(index), hostEvent);
            viewer->Kick();
            continue;
        }
        if (*viewer->Device() != index) {
            continue;
        }
        if (state != HostState::kUp) {
            viewer->Queue().WaitForKeyFrame();
        }
        viewer->Queue().OfferText(hostEvent);
        viewer->Kick();
    }
}

void ViewServer::Impl::CloseAll() {
    stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptPause.cancel();
    stalledCheck.cancel();
    const auto current = viewers;  // Close may complete and leave at once
    for (const auto &viewer : current) {
        viewer->Close();
    }
    Leave(nullptr);  // signals at once when there was no viewer
}

std::string ViewServer::Impl::StatsJson() const {
    std::string json = "{\"pictures\":" + std::to_string(pictures.load()) +
                       ",\"keyFrames\":" + std::to_string(keyFrames.load()) +
                       ",\"viewers\":" + std::to_string(viewers.size()) +
                       ",\"skips\":" + std::to_string(skips) + ",\"host\":\"" +
                       HostStateName(devices.front().hostState) + "\"";
    if (settings.grid) {
        json += ",\"devices\":[";
        for (size_t i = 0; i < devices.size(); ++i) {
            json += std::string(i ? "," : "") + "{\"name\":" + JsonString(settings.deviceNames[i]) +
                    ",\"host\":\"" + HostStateName(devices[i].hostState) + "\"}";
        }
        json += "]";
    }
    return json + "}\n";
}

ViewServer::ViewServer(Settings settings, std::function<void(KeyFrameNeed, size_t)> requestKeyFrame)
    : impl_(std::make_shared<Impl>(std::move(settings), std::move(requestKeyFrame))) {}

ViewServer::~ViewServer() { Stop(); }

bool ViewServer::Start(std::string *error) {
    beast::error_code ec;
    const auto address = asio::ip::make_address(impl_->settings.address, ec);
    if (ec) {
        *error = "bad listen address '" + impl_->settings.address + "'";
        return false;
    }
    const tcp::endpoint endpoint(address, impl_->settings.port);
    auto &acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = "cannot listen on " + impl_->settings.address + ":" +
                 std::to_string(impl_->settings.port) + ": " + ec.message();
        return false;
    }
    impl_->port = acceptor.local_endpoint(ec).port();
    impl_->Accept();
    impl_->CheckStalledViewers();
    impl_->thread = std::thread([impl = impl_.get()] {
        pthread_setname_np(pthread_self(), "view-http");
        impl->io.run();
    });
    return true;
}

uint16_t ViewServer::Port() const { return impl_->port; }

void ViewServer::Publish(RelayBuffer buffer, size_t device) {
    if (device >= impl_->devices.size()) {
        return;
    }
    buffer.device = static_cast<uint16_t>(device);
    if (!buffer.IsCodecData() && !buffer.data.empty()) {
        impl_->pictures.fetch_add(1);
        if (buffer.IsKeyFrame()) {
            impl_->keyFrames.fetch_add(1);
        }
    }
    auto shared = std::make_shared<const RelayBuffer>(std::move(buffer));
    asio::post(impl_->io, [impl = impl_.get(), shared] { impl->Broadcast(shared); });
}

void ViewServer::SetHostState(HostState state, const std::string &detail, size_t device) {
    if (device >= impl_->devices.size()) {
        return;
    }
    asio::post(impl_->io, [impl = impl_.get(), state, detail, device] {
        impl->ChangeHostState(device, state, detail);
    });
}

void ViewServer::Stop() {
    if (!impl_->thread.joinable()) {
        return;
    }
    asio::post(impl_->io, [impl = impl_.get()] { impl->CloseAll(); });
    {
        std::unique_lock lock(impl_->mutex);
        impl_->closedChanged.wait_for(lock, kStopGrace, [this] { return impl_->closed; });
    }
    impl_->io.stop();
    impl_->thread.join();
    // Sessions still held by pending operations go with the io_context; none of them
    // reaches the viewer list from its destructor.
    impl_->viewers.clear();
}

bool IsLoopbackAddress(const std::string &address) {
    beast::error_code ec;
    const auto parsed = asio::ip::make_address(address, ec);
    return !ec && Unmapped(parsed).is_loopback();
}

}  // namespace mirrax::client
