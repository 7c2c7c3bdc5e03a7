// The live view's web server: serves the page and relays the host's encoded buffers
// to every browser over a WebSocket, each viewer behind its own bounded queue.
//
// Who may watch: every request must name the relay (its Host header is the address
// the connection reached, localhost on loopback, or the host of an allowed origin), so
// a name rebound to this address gets nothing; a WebSocket must come from the page's
// own origin or an allowed one, or from a client that sends no Origin (not a browser);
// and with `requireToken` the page, /stats and the WebSocket need ?token=TOKEN.
// Connections are capped in total and per peer address; requests must arrive whole
// within a few seconds; the oldest connection still waiting for its request makes
// room for a new one when the cap is reached; a viewer that reads nothing for half a
// minute is dropped.
#ifndef MIRRAX_TOOLS_CLIENT_VIEW_SERVER_H
#define MIRRAX_TOOLS_CLIENT_VIEW_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame_message.h"
#include "view_queue.h"

namespace mirrax::client {

// kNoStream: the host answers without a stream (it is in record mode) and is given up.
enum class HostState { kConnecting, kUp, kDown, kNoStream };

class ViewServer {
public:
    struct Settings {
        std::string address = "127.0.0.1";
        uint16_t port = 8080;                     // 0: any free port
        size_t queueLimit = 8;                    // buffers queued per viewer at most
        size_t maxViewerMessage = 64 * 1024;      // a larger message closes that viewer
        std::string token;                        // what ?token= must hold
        bool requireToken = false;                // false: the token is not asked for
        std::vector<std::string> allowedOrigins;  // lower case scheme://host[:port]
        size_t maxConnections = 256;
        size_t maxConnectionsPerAddress = 32;
        // One name per host, in the relay's order (the index a viewer's ?device= and the
        // grid's messages give); at least one.
        std::vector<std::string> deviceNames{""};
        bool grid = false;  // "/" is the grid page of every device, not the single page
    };

    // `requestKeyFrame` runs on the server's thread whenever a viewer of `device` needs
    // a key frame; it must not block. A viewer's own requests reach it at most once a
    // second. Grid pages never ask.
    ViewServer(Settings settings, std::function<void(KeyFrameNeed, size_t device)> requestKeyFrame);
    ~ViewServer();  // stops
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    // Binds and starts serving on its own thread; false with a message otherwise.
    bool Start(std::string *error);
    uint16_t Port() const;

    // Any thread: a buffer from the host of `device` for its viewers (and its key frames
    // and codec data for the grid pages).
    void Publish(RelayBuffer buffer, size_t device = 0);
    // Any thread: tells the viewers whether the host of `device` is streaming.
    void SetHostState(HostState state, const std::string &detail, size_t device = 0);

    // Closes every viewer's WebSocket (waiting a short while for the closing
    // handshakes) and the listening socket, and joins the server's thread.
    void Stop();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// True for 127.0.0.0/8 and ::1 (also written as an IPv4-mapped address).
bool IsLoopbackAddress(const std::string &address);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_VIEW_SERVER_H
