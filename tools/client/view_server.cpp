#include "view_server.h"

#include <pthread.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "summary_format.h"
#include "view_assets.h"

namespace mirrax::client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::chrono::seconds kHttpReadTimeout{30};
constexpr std::chrono::seconds kWebSocketHandshakeTimeout{5};
constexpr std::chrono::seconds kStopGrace{2};
constexpr size_t kRequestLimit = 16 * 1024;
// A viewer's socket buffers little, so a viewer that falls behind shows in its
// queue, where it skips to the next key frame, instead of seconds of stale pictures
// piling up in the kernel.
constexpr int kViewerSendBuffer = 64 * 1024;
constexpr const char *kServerName = "mirrax_client view";

double WallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char *HostStateName(HostState state) {
    switch (state) {
        case HostState::kUp:
            return "up";
        case HostState::kDown:
            return "down";
        case HostState::kConnecting:
            break;
    }
    return "connecting";
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

}  // namespace

// Everything below runs on the server's one thread, but Publish, SetHostState and
// the counters, which other threads use.
struct ViewServer::Impl {
    Impl(Settings s, std::function<void()> r)
        : settings(std::move(s)), requestKeyFrame(std::move(r)) {}

    void Accept();
    void Join(const std::shared_ptr<Viewer> &viewer);
    void Leave(const Viewer *viewer);
    void Broadcast(const std::shared_ptr<const RelayBuffer> &buffer);
    void ChangeHostState(HostState state, const std::string &detail);
    void CloseAll();
    std::string StatsJson() const;

    const Settings settings;
    const std::function<void()> requestKeyFrame;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    uint16_t port = 0;  // the bound port, known before the thread starts
    std::thread thread;

    std::vector<std::shared_ptr<Viewer>> viewers;
    std::shared_ptr<const RelayBuffer> latestCodecData;
    HostState hostState = HostState::kConnecting;
    std::shared_ptr<const std::string> hostEvent;
    bool stopping = false;

    std::atomic<uint64_t> pictures{0};
    std::atomic<uint64_t> keyFrames{0};
    uint64_t skips = 0;

    std::mutex mutex;  // guards `closed`, which Stop waits for
    std::condition_variable closedChanged;
    bool closed = false;
};

namespace {

// One browser's WebSocket: buffers and events out, key-frame requests in.
class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    Viewer(beast::tcp_stream &&stream, ViewServer::Impl &server)
        : ws_(std::move(stream)), server_(server), queue_(server.settings.queueLimit) {}

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
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type &res) { res.set(http::field::server, kServerName); }));
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

    void Kick() {
        if (writing_ || closing_) {
            return;
        }
        auto item = queue_.Pop();
        if (!item) {
            return;
        }
        writing_ = std::move(*item);
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
            if (self->ws_.got_text() && message == "keyframe") {
                self->server_.requestKeyFrame();
            }
            self->Read();
        });
    }

    void Fail() {
        closing_ = true;
        server_.Leave(this);
    }

    websocket::stream<beast::tcp_stream> ws_;
    ViewServer::Impl &server_;
    ViewerQueue queue_;
    beast::flat_buffer readBuffer_;
    std::optional<ViewItem> writing_;
    std::array<uint8_t, kViewHeaderSize> header_{};
    bool closing_ = false;
};

// One HTTP connection: the page's files, the counters, or the WebSocket upgrade.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket &&socket, ViewServer::Impl &server)
        : stream_(std::move(socket)), server_(server) {}

    void Read() {
        parser_.emplace();
        parser_->header_limit(kRequestLimit);
        parser_->body_limit(kRequestLimit);
        stream_.expires_after(kHttpReadTimeout);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

private:
    void OnRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted) {
            Shutdown();
            return;
        }
        if (ec) {
            Respond(http::status::bad_request, "text/plain", "bad request\n", false);
            return;
        }
        http::request<http::string_body> request = parser_->release();
        const std::string_view target(request.target().data(), request.target().size());
        const std::string_view path = target.substr(0, target.find('?'));
        if (websocket::is_upgrade(request)) {
            if (path != "/ws") {
                Respond(http::status::not_found, "text/plain", "not found\n", false);
                return;
            }
            std::make_shared<Viewer>(std::move(stream_), server_)->Accept(std::move(request));
            return;
        }
        const bool keepAlive = request.keep_alive();
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            Respond(http::status::method_not_allowed, "text/plain", "only GET\n", keepAlive);
            return;
        }
        if (path == "/ws") {
            Respond(http::status::bad_request, "text/plain", "WebSocket upgrade expected\n",
                    keepAlive);
            return;
        }
        if (path == "/stats") {
            Respond(http::status::ok, "application/json", server_.StatsJson(), keepAlive);
            return;
        }
        const std::string_view name = path == "/" ? "index.html" : path.substr(1);
        for (const ViewAsset &asset : ViewAssets()) {
            if (asset.name == name) {
                Respond(http::status::ok, ContentType(asset.name), std::string(asset.body),
                        keepAlive, request.method() == http::verb::head);
                return;
            }
        }
        Respond(http::status::not_found, "text/plain", "not found\n", keepAlive);
    }

    void Respond(http::status status, std::string_view type, std::string body, bool keepAlive,
                 bool headOnly = false) {
        auto response = std::make_shared<http::response<http::string_body>>(status, 11);
        response->set(http::field::server, kServerName);
        response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
        response->set(http::field::cache_control, "no-store");
        response->keep_alive(keepAlive);
        response->body() = std::move(body);
        response->prepare_payload();
        if (headOnly) {
            response->body().clear();  // Content-Length stays the file's
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

    beast::tcp_stream stream_;
    ViewServer::Impl &server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void ViewServer::Impl::Accept() {
    acceptor.async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec != asio::error::operation_aborted && !stopping) {
                Accept();  // e.g. out of descriptors for a moment
            }
            return;
        }
        std::make_shared<HttpSession>(std::move(socket), *this)->Read();
        Accept();
    });
}

void ViewServer::Impl::Join(const std::shared_ptr<Viewer> &viewer) {
    if (stopping) {
        viewer->Close();
        return;
    }
    viewers.push_back(viewer);
    if (hostEvent) {
        viewer->Queue().OfferText(hostEvent);
    }
    if (latestCodecData) {
        viewer->Queue().Offer(latestCodecData, latestCodecData);
    }
    viewer->Kick();
    if (hostState == HostState::kUp) {
        requestKeyFrame();
    }
}

void ViewServer::Impl::Leave(const Viewer *viewer) {
    std::erase_if(viewers, [viewer](const auto &v) { return v.get() == viewer; });
    if (stopping && viewers.empty()) {
        {
            std::lock_guard lock(mutex);
            closed = true;
        }
        closedChanged.notify_all();
    }
}

void ViewServer::Impl::Broadcast(const std::shared_ptr<const RelayBuffer> &buffer) {
    if (buffer->IsCodecData()) {
        latestCodecData = buffer;
    }
    bool wantKeyFrame = false;
    for (const auto &viewer : viewers) {
        const uint64_t before = viewer->Queue().Skips();
        wantKeyFrame = viewer->Queue().Offer(buffer, latestCodecData) || wantKeyFrame;
        skips += viewer->Queue().Skips() - before;
        viewer->Kick();
    }
    if (wantKeyFrame) {
        requestKeyFrame();
    }
}

void ViewServer::Impl::ChangeHostState(HostState state, const std::string &detail) {
    hostState = state;
    std::string event = std::string("{\"event\":\"host\",\"state\":\"") + HostStateName(state) +
                        "\",\"detail\":" + JsonString(detail) + "}";
    hostEvent = std::make_shared<const std::string>(std::move(event));
    if (state != HostState::kUp) {
        latestCodecData.reset();  // the next run brings its own
    }
    for (const auto &viewer : viewers) {
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
    const auto current = viewers;  // Close may complete and leave at once
    for (const auto &viewer : current) {
        viewer->Close();
    }
    Leave(nullptr);  // signals at once when there was no viewer
}

std::string ViewServer::Impl::StatsJson() const {
    return "{\"pictures\":" + std::to_string(pictures.load()) +
           ",\"keyFrames\":" + std::to_string(keyFrames.load()) +
           ",\"viewers\":" + std::to_string(viewers.size()) +
           ",\"skips\":" + std::to_string(skips) + ",\"host\":\"" + HostStateName(hostState) +
           "\"}\n";
}

ViewServer::ViewServer(Settings settings, std::function<void()> requestKeyFrame)
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
    impl_->thread = std::thread([impl = impl_.get()] {
        pthread_setname_np(pthread_self(), "view-http");
        impl->io.run();
    });
    return true;
}

uint16_t ViewServer::Port() const { return impl_->port; }

void ViewServer::Publish(RelayBuffer buffer) {
    if (!buffer.IsCodecData() && !buffer.data.empty()) {
        impl_->pictures.fetch_add(1);
        if (buffer.IsKeyFrame()) {
            impl_->keyFrames.fetch_add(1);
        }
    }
    auto shared = std::make_shared<const RelayBuffer>(std::move(buffer));
    asio::post(impl_->io, [impl = impl_.get(), shared] { impl->Broadcast(shared); });
}

void ViewServer::SetHostState(HostState state, const std::string &detail) {
    asio::post(impl_->io,
               [impl = impl_.get(), state, detail] { impl->ChangeHostState(state, detail); });
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
    auto parsed = asio::ip::make_address(address, ec);
    if (ec) {
        return false;
    }
    if (parsed.is_v6() && parsed.to_v6().is_v4_mapped()) {
        parsed = asio::ip::make_address_v4(asio::ip::v4_mapped, parsed.to_v6());
    }
    return parsed.is_loopback();
}

}  // namespace mirrax::client
