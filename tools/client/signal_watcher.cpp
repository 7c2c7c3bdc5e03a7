#include "signal_watcher.h"

#include <pthread.h>

namespace mirrax::client {

namespace {

// Sent by the destructor to end the wait; ignored from anyone else.
constexpr int kWakeSignal = SIGUSR1;

}  // namespace

sigset_t BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

SignalWatcher::SignalWatcher(sigset_t set, std::function<void(int)> onSignal)
    : set_(set), onSignal_(std::move(onSignal)), thread_([this] { Watch(); }) {}

SignalWatcher::~SignalWatcher() {
    closing_ = true;
    pthread_kill(thread_.native_handle(), kWakeSignal);
    thread_.join();
}

void SignalWatcher::Watch() {
    pthread_setname_np(pthread_self(), "client-signals");
    int sig = 0;
    while (sigwait(&set_, &sig) == 0) {
        if (sig == kWakeSignal) {
            if (closing_) {
                return;
            }
            continue;
        }
        onSignal_(sig);
    }
}

}  // namespace mirrax::client
