// view: holds one stream from each host (ViewDevice) and relays them to browsers
// (ViewServer). Each stream is retried with a bounded backoff while its host is away;
// Ctrl-C ends the runs with onEnd, closes the viewers' sockets and exits 0.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "open_file_limit.h"
#include "signal_watcher.h"
#include "view_device.h"
#include "view_server.h"

namespace mirrax::client {

namespace {

constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxConnectionsPerAddress = 32;
constexpr size_t kTokenBytes = 24;  // 192 bits

// A random token in hex; empty when the system has no randomness to give.
std::string RandomToken() {
    uint8_t bytes[kTokenBytes];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0 && errno != EINTR) {
            return {};
        }
        filled += got > 0 ? static_cast<size_t>(got) : 0;
    }
    std::string token;
    for (const uint8_t byte : bytes) {
        static constexpr char kHex[] = "0123456789abcdef";
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

}  // namespace

int RunView(const ClientOptions &options, sigset_t stopSignals) {
    // One host and its single page, or the grid of several.
    std::vector<ViewDevice::Settings> hosts;
    for (const NamedServer &device : options.devices) {
        hosts.push_back({hosts.size(), device.server, device.name, true});
    }
    if (hosts.empty()) {
        hosts.push_back({0, options.server, "", false});
    }
    std::vector<std::unique_ptr<ViewDevice>> devices;
    ViewServer::Settings settings;
    settings.grid = !options.devices.empty();
    settings.deviceNames.clear();
    for (const auto &host : hosts) {
        settings.deviceNames.push_back(host.name.empty() ? host.server : host.name);
    }
    settings.address = options.listenAddress;
    settings.port = options.listenPort;
    settings.token = options.token.empty() ? RandomToken() : options.token;
    if (settings.token.empty()) {
        return Fail(std::string("cannot make a token: getrandom: ") + strerror(errno));
    }
    settings.requireToken = options.requireToken;
    settings.allowedOrigins = options.allowOrigins;
    // Well below the descriptors the process may hold, so a flood of connections
    // never leaves it without one.
    std::string limitFailure;
    size_t descriptors = tools::RaiseOpenFileLimit(&limitFailure);
    if (descriptors == 0) {
        descriptors = 1024;
    } else if (!limitFailure.empty()) {
        Warn("%s", limitFailure.c_str());
    }
    settings.maxConnections = std::clamp<size_t>(descriptors / 4, 8, kMaxConnections);
    settings.maxConnectionsPerAddress =
        std::min(kMaxConnectionsPerAddress, settings.maxConnections);
    ViewServer server(settings, [&devices](KeyFrameNeed need, size_t device) {
        devices[device]->RequestKeyFrame(need);
    });
    for (const auto &host : hosts) {
        devices.push_back(std::make_unique<ViewDevice>(server, host));
    }
    std::string error;
    if (!server.Start(&error)) {
        return Fail(error);
    }
    const std::string shownHost = settings.address.find(':') == std::string::npos
                                      ? settings.address
                                      : "[" + settings.address + "]";
    // The only place the token is shown.
    const std::string count =
        settings.grid ? std::to_string(devices.size()) + " devices, " : std::string();
    printf("view: watch the screen at http://%s:%u/?token=%s (%sCtrl-C to stop)\n",
           shownHost.c_str(), server.Port(), settings.token.c_str(), count.c_str());
    fflush(stdout);
    if (settings.requireToken) {
        std::string why;
        if (settings.address == "0.0.0.0" || settings.address == "::") {
            why =
                " (it listens on every address: open it with this machine's address in place "
                "of " +
                shownHost + ")";
        } else if (!IsLoopbackAddress(settings.address)) {
            why = " (it listens off loopback)";
        }
        Say("view: the page, its stream and /stats need the token in that address%s", why.c_str());
    }

    tools::SignalWatcher watcher("client-signals", stopSignals, [&devices](int) {
        for (const auto &device : devices) {
            device->Interrupt();
        }
    });
    for (const auto &device : devices) {
        device->Start();
    }
    // Each device runs until Ctrl-C, or gives up on a host without a stream.
    int status = kExitOk;
    size_t givenUp = 0;
    for (const auto &device : devices) {
        status = device->Join();
        givenUp += status == kExitOk ? 0 : 1;
    }
    if (settings.grid) {
        status = givenUp == devices.size()
                     ? Fail("no device has a stream to show: every host is in record mode")
                     : kExitOk;
    }
    server.Stop();
    Say("view: stopped");
    return status;
}

}  // namespace mirrax::client
