// The display server's notification thread: delivers screen events to the listeners
// in order, with no display-server lock held, so listeners may call back into the
// server.
#ifndef MIRRAX_PLATFORM_DISPLAY_SCREEN_NOTIFIER_H
#define MIRRAX_PLATFORM_DISPLAY_SCREEN_NOTIFIER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "dm_common.h"
#include "refbase.h"
#include "screen_manager.h"

namespace mirrax::platform::display {

class ScreenNotifier {
public:
    enum class Event { kConnect, kDisconnect, kChange };
    using Listener = OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener>;
    // Supplies the listeners to call at dispatch time.
    using ListenerSource = std::function<std::vector<Listener>()>;

    explicit ScreenNotifier(ListenerSource listeners);
    ~ScreenNotifier();  // drops pending events, joins the thread
    ScreenNotifier(const ScreenNotifier &) = delete;
    ScreenNotifier &operator=(const ScreenNotifier &) = delete;

    void Post(Event event, OHOS::Rosen::ScreenId id);
    // Waits until the events posted so far have been delivered. No-op on the
    // notification thread itself.
    void Flush();
    // Waits until no listener call is in progress. No-op on the notification thread.
    void WaitForDispatch();
    uint64_t Delivered() const;

private:
    void Run(std::stop_token stop);

    const ListenerSource listeners_;
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::condition_variable_any idle_;
    std::deque<std::pair<Event, OHOS::Rosen::ScreenId>> queue_;
    uint64_t posted_ = 0;
    uint64_t done_ = 0;
    bool dispatching_ = false;
    uint64_t delivered_ = 0;
    std::jthread thread_;
};

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_SCREEN_NOTIFIER_H
