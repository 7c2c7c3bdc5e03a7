// The process's display server: the physical screen (id 0) fed by a display source,
// its default display, the virtual screens with their mirror workers, and the screen
// listeners with their notification thread. DisplayManager and ScreenManager forward
// here.
//
// Locks: configMutex_ (source changes, taken first) -> source locks -> mutex_ (state).
// Listeners run on the notification thread with no lock held; workers are joined
// with no lock of mutex_ held.
#ifndef MIRRAX_PLATFORM_DISPLAY_DISPLAY_SERVER_H
#define MIRRAX_PLATFORM_DISPLAY_DISPLAY_SERVER_H

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "display.h"
#include "display_source.h"
#include "mirrax_platform/display_config.h"
#include "mirror_worker.h"
#include "screen.h"
#include "screen_canvas.h"
#include "screen_manager.h"
#include "screen_notifier.h"

namespace mirrax::platform::display {

class SyntheticSource;

class DisplayServer final : public SourceObserver {
public:
    static DisplayServer &Instance();
    ~DisplayServer() override;

    // Configuration (host and tests).
    bool Configure(std::string_view spec, std::string *error);
    void Reset();
    bool WithSynthetic(const std::function<bool(SyntheticSource &)> &action);
    DisplayStats Stats() const;

    // Displays and screens.
    std::optional<OHOS::Rosen::DisplayId> DefaultDisplayId() const;
    std::optional<OHOS::Rosen::Display::Info> DisplayOfScreen(OHOS::Rosen::ScreenId id) const;
    std::optional<OHOS::Rosen::Screen::Info> ScreenInfo(OHOS::Rosen::ScreenId id) const;
    std::vector<OHOS::Rosen::ScreenId> ScreenIds() const;

    // Virtual screens.
    OHOS::Rosen::ScreenId CreateVirtualScreen(const OHOS::Rosen::VirtualScreenOption &option);
    OHOS::Rosen::DMError DestroyVirtualScreen(OHOS::Rosen::ScreenId id);
    OHOS::Rosen::DMError SetSurface(OHOS::Rosen::ScreenId id, OHOS::sptr<OHOS::Surface> surface);
    OHOS::Rosen::DMError Resize(OHOS::Rosen::ScreenId id, uint32_t width, uint32_t height);
    OHOS::Rosen::DMError SetInterval(OHOS::Rosen::ScreenId id, uint32_t interval);
    OHOS::Rosen::DMError SetCanvasRotation(OHOS::Rosen::ScreenId id, bool rotation);
    OHOS::Rosen::DMError SetExemption(OHOS::Rosen::ScreenId id, uint32_t pid,
                                      std::vector<uint64_t> windowIds);
    OHOS::Rosen::DMError MakeMirror(OHOS::Rosen::ScreenId main,
                                    const std::vector<OHOS::Rosen::ScreenId> &mirrors,
                                    OHOS::Rosen::ScreenId &group);
    OHOS::Rosen::DMError StopMirror(const std::vector<OHOS::Rosen::ScreenId> &mirrors);

    // Listeners.
    OHOS::Rosen::DMError RegisterListener(
        OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener> l);
    OHOS::Rosen::DMError UnregisterListener(
        OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener> l);

    // SourceObserver.
    void OnSourceGeometry(const SourceGeometry &geometry) override;

private:
    struct VirtualScreen {
        std::string name;
        float density = 0;
        std::shared_ptr<MirrorTarget> target;
        std::unique_ptr<MirrorWorker> worker;
    };

    DisplayServer();
    // Replaces the source; the old one is stopped outside mutex_. configMutex_ held.
    void ReplaceSource(std::unique_ptr<DisplaySource> source);
    std::vector<OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener>> Listeners() const;

    mutable std::mutex configMutex_;
    std::unique_ptr<DisplaySource> source_;  // guarded by configMutex_

    const std::shared_ptr<ScreenCanvas> canvas_;
    std::atomic<uint64_t> mirroredFrames_{0};

    mutable std::mutex mutex_;
    std::optional<SourceGeometry> physical_;  // no value: no physical screen
    std::string sourceKind_;
    std::map<OHOS::Rosen::ScreenId, VirtualScreen> virtual_;
    OHOS::Rosen::ScreenId nextId_ = 1;
    OHOS::Rosen::ScreenId groupId_ = OHOS::Rosen::SCREEN_ID_INVALID;
    std::vector<OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener>> listeners_;

    ScreenNotifier notifier_;  // last: its thread stops first
};

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_DISPLAY_SERVER_H
