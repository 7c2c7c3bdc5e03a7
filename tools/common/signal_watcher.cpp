#include "signal_watcher.h"

#include <pthread.h>

#include <cerrno>

namespace mirrax::tools {

namespace {

// Sent by Close to end the wait; ignored from anyone else.
constexpr int kWakeSignal = SIGUSR1;

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

sigset_t BlockStopSignals() {
    sigset_t set = StopSignals();
    sigaddset(&set, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

int TakePendingStopSignal() {
    const sigset_t stops = StopSignals();
    const timespec now{0, 0};
    const int sig = sigtimedwait(&stops, nullptr, &now);
    return sig > 0 ? sig : 0;
}

SignalWatcher::SignalWatcher(std::string threadName, sigset_t set,
                             std::function<void(int)> onSignal)
    : threadName_(std::move(threadName)),
      set_(set),
      onSignal_(std::move(onSignal)),
      thread_([this] { Watch(); }) {}

SignalWatcher::~SignalWatcher() { Close(); }

void SignalWatcher::Close() {
    if (!thread_.joinable()) {
        return;
    }
    closing_ = true;
    pthread_kill(thread_.native_handle(), kWakeSignal);
    thread_.join();
}

void SignalWatcher::Watch() {
    pthread_setname_np(pthread_self(), threadName_.substr(0, 15).c_str());
    for (;;) {
        const int sig = sigwaitinfo(&set_, nullptr);
        if (sig < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (sig == kWakeSignal) {
            if (closing_) {
                return;
            }
            continue;
        }
        onSignal_(sig);
    }
}

}  // namespace mirrax::tools
