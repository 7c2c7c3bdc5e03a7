// Waits for SIGINT/SIGTERM with sigwait on its own thread and reports them.
#ifndef MIRRAX_TOOLS_CLIENT_SIGNAL_WATCHER_H
#define MIRRAX_TOOLS_CLIENT_SIGNAL_WATCHER_H

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace mirrax::client {

// Blocks SIGINT, SIGTERM and the watcher's own wake-up signal in the calling thread.
// Call it before any other thread starts, so that every thread inherits the mask and
// only the watcher receives the signals.
sigset_t BlockStopSignals();

class SignalWatcher {
public:
    // `onSignal` runs on the watcher's thread for every SIGINT/SIGTERM.
    SignalWatcher(sigset_t set, std::function<void(int)> onSignal);
    ~SignalWatcher();  // wakes the thread and joins it
    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

private:
    void Watch();

    sigset_t set_;
    std::function<void(int)> onSignal_;
    std::atomic<bool> closing_{false};
    std::thread thread_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_SIGNAL_WATCHER_H
