// One host of the view: its stream is held on a thread of its own ("view-host-N"),
// retried with a bounded backoff while the host is away, and relayed to the ViewServer
// as device N; the key frames its viewers need are asked for by the current run
// (StreamRun::RequestKeyFrame, spaced by the run). Devices share nothing but the
// server, so one host coming and going never disturbs another's stream.
#ifndef MIRRAX_TOOLS_CLIENT_VIEW_DEVICE_H
#define MIRRAX_TOOLS_CLIENT_VIEW_DEVICE_H

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "view_server.h"

namespace mirrax::client {

class ViewDevice {
public:
    struct Settings {
        size_t index = 0;    // the device's index at the server
        std::string server;  // the host, HOST:PORT
        std::string name;    // before its log lines; empty for the only host
        // A host in record mode has no stream: the only host ends the view (exit 1 with
        // a message); one of many is shown as having none and given up alone.
        bool oneOfMany = false;
    };

    ViewDevice(ViewServer &server, Settings settings);
    ~ViewDevice();  // interrupts and joins
    ViewDevice(const ViewDevice &) = delete;
    ViewDevice &operator=(const ViewDevice &) = delete;

    void Start();
    // Any thread; never blocks. Goes to the current run; dropped between runs.
    void RequestKeyFrame(KeyFrameNeed need);
    // Any thread: ends the current run with onEnd and the retries.
    void Interrupt();
    // Waits for the device's thread to end (after Interrupt, or when its host has no
    // stream): 0, or 1 when the host had no stream.
    int Join();

private:
    class RelayState;

    int Loop();

    ViewServer &server_;
    const Settings settings_;
    const std::string prefix_;  // "NAME: " before each log line, or nothing
    const std::unique_ptr<RelayState> relay_;
    std::thread thread_;
    int status_ = 0;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_VIEW_DEVICE_H
