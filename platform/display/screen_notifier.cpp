#include "screen_notifier.h"

#include <pthread.h>

namespace mirrax::platform::display {

ScreenNotifier::ScreenNotifier(ListenerSource listeners)
    : listeners_(std::move(listeners)), thread_([this](std::stop_token stop) { Run(stop); }) {}

ScreenNotifier::~ScreenNotifier() {
    thread_.request_stop();
    thread_.join();
}

void ScreenNotifier::Post(Event event, OHOS::Rosen::ScreenId id) {
    {
        std::lock_guard lock(mutex_);
        queue_.emplace_back(event, id);
        ++posted_;
    }
    wake_.notify_one();
}

void ScreenNotifier::Flush() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        return;
    }
    std::unique_lock lock(mutex_);
    const uint64_t target = posted_;
    idle_.wait(lock, thread_.get_stop_token(), [&] { return done_ >= target; });
}

void ScreenNotifier::WaitForDispatch() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        return;
    }
    std::unique_lock lock(mutex_);
    idle_.wait(lock, thread_.get_stop_token(), [&] { return !dispatching_; });
}

uint64_t ScreenNotifier::Delivered() const {
    std::lock_guard lock(mutex_);
    return delivered_;
}

void ScreenNotifier::Run(std::stop_token stop) {
    pthread_setname_np(pthread_self(), "screen-notify");
    std::unique_lock lock(mutex_);
    while (wake_.wait(lock, stop, [this] { return !queue_.empty(); })) {
        const auto [event, id] = queue_.front();
        queue_.pop_front();
        dispatching_ = true;
        lock.unlock();
        // The snapshot keeps every listener alive for the whole dispatch.
        for (const Listener &listener : listeners_()) {
            switch (event) {
                case Event::kConnect:
                    listener->OnConnect(id);
                    break;
                case Event::kDisconnect:
                    listener->OnDisconnect(id);
                    break;
                case Event::kChange:
                    listener->OnChange(id);
                    break;
            }
        }
        lock.lock();
        dispatching_ = false;
        ++done_;
        ++delivered_;
        idle_.notify_all();
    }
}

}  // namespace mirrax::platform::display
