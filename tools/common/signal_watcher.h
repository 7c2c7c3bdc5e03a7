// Waits for SIGINT/SIGTERM with sigwaitinfo on its own named thread and reports them,
// for the host and the client alike.
#ifndef MIRRAX_TOOLS_COMMON_SIGNAL_WATCHER_H
#define MIRRAX_TOOLS_COMMON_SIGNAL_WATCHER_H

#include <signal.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace mirrax::tools {

// Blocks SIGINT, SIGTERM and the watcher's own wake-up signal (SIGUSR1) in the
// calling thread and returns that set. Call it before any other thread starts, so
// that every thread inherits the mask and only the watcher receives the signals; one
// that arrives before the watcher runs waits for it.
sigset_t BlockStopSignals();

// A stop signal (SIGINT or SIGTERM) that is already pending, taken without waiting;
// 0 when there is none.
int TakePendingStopSignal();

class SignalWatcher {
public:
    // `onSignal` runs on the watcher's thread, named `threadName`, for every stop
    // signal in `set` until Close. `set` comes from BlockStopSignals.
    SignalWatcher(std::string threadName, sigset_t set, std::function<void(int)> onSignal);
    ~SignalWatcher();  // Close
    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

    // Wakes the thread and joins it; no callback runs once it has returned. A stop
    // signal after that stays pending. Called by the owner only; idempotent.
    void Close();

private:
    void Watch();

    const std::string threadName_;
    const sigset_t set_;
    const std::function<void(int)> onSignal_;
    std::atomic<bool> closing_{false};
    std::thread thread_;  // last: starts once the members above exist
};

}  // namespace mirrax::tools

#endif  // MIRRAX_TOOLS_COMMON_SIGNAL_WATCHER_H
