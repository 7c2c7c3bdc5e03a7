// The live view's web server: serves the page and relays the host's encoded buffers
// to every browser over a WebSocket, each viewer behind its own bounded queue.
#ifndef MIRRAX_TOOLS_CLIENT_VIEW_SERVER_H
#define MIRRAX_TOOLS_CLIENT_VIEW_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "view_queue.h"

namespace mirrax::client {

enum class HostState { kConnecting, kUp, kDown };

class ViewServer {
public:
    struct Settings {
        std::string address = "127.0.0.1";
        uint16_t port = 8080;                 // 0: any free port
        size_t queueLimit = 8;                // buffers queued per viewer at most
        size_t maxViewerMessage = 64 * 1024;  // a larger message closes that viewer
    };

    // `requestKeyFrame` runs on the server's thread whenever a viewer needs a key
    // frame (it joined, fell behind, or pressed the button); it must not block.
    ViewServer(Settings settings, std::function<void()> requestKeyFrame);
    ~ViewServer();  // stops
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    // Binds and starts serving on its own thread; false with a message otherwise.
    bool Start(std::string *error);
    uint16_t Port() const;

    // Any thread: a buffer from the host for every viewer.
    void Publish(RelayBuffer buffer);
    // Any thread: tells the viewers whether the host is streaming.
    void SetHostState(HostState state, const std::string &detail);

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
