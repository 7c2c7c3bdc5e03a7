// OHOS::Rosen::ScreenManager: physical and virtual screens, mirroring, screen listeners.
//
// Listeners are called on the display server's notification thread, never while a
// display-server lock is held, so a listener may call back into the screen manager.
// StopMirror and DestroyVirtualScreen return after the mirror worker has stopped.
#ifndef OHOS_ROSEN_SCREEN_MANAGER_H
#define OHOS_ROSEN_SCREEN_MANAGER_H

#include <cstdint>
#include <vector>

#include "dm_common.h"
#include "refbase.h"
#include "screen.h"
#include "surface.h"

namespace OHOS::Rosen {

class ScreenManager : public RefBase {
public:
    static ScreenManager &GetInstance();
    ScreenManager(const ScreenManager &) = delete;
    ScreenManager &operator=(const ScreenManager &) = delete;
    ScreenManager(ScreenManager &&) = delete;
    ScreenManager &operator=(ScreenManager &&) = delete;

    class IScreenListener : public virtual RefBase {
    public:
        virtual void OnConnect(ScreenId) = 0;
        virtual void OnDisconnect(ScreenId) = 0;
        virtual void OnChange(ScreenId) = 0;
    };

    sptr<Screen> GetScreenById(ScreenId screenId);
    DMError GetAllScreens(std::vector<sptr<Screen>> &screens);
    // Mirrors `mainScreenId` into each virtual screen of `mirrorScreenId`.
    DMError MakeMirror(ScreenId mainScreenId, std::vector<ScreenId> mirrorScreenId,
                       ScreenId &screenGroupId);
    DMError StopMirror(const std::vector<ScreenId> &mirrorScreenIds);
    // Returns the new screen's id, SCREEN_ID_INVALID on failure.
    ScreenId CreateVirtualScreen(VirtualScreenOption option);
    DMError DestroyVirtualScreen(ScreenId screenId);
    DMError SetVirtualScreenSurface(ScreenId screenId, sptr<Surface> surface);
    DMError ResizeVirtualScreen(ScreenId screenId, uint32_t width, uint32_t height);
    // `refreshRate` is an interval of the 120 Hz clock: 1 = 120 fps, 2 = 60 fps, ...
    DMError SetVirtualScreenRefreshRate(ScreenId screenId, uint32_t refreshRate);
    DMError SetVirtualMirrorScreenCanvasRotation(ScreenId screenId, bool canvasRotation);
    DMError RegisterScreenListener(sptr<IScreenListener> listener);
    DMError UnregisterScreenListener(sptr<IScreenListener> listener);
    VirtualScreenFlag GetVirtualScreenFlag(ScreenId screenId);
    DMError SetVirtualScreenFlag(ScreenId screenId, VirtualScreenFlag screenFlag);

private:
    ScreenManager();
    ~ScreenManager() override;
};

}  // namespace OHOS::Rosen

#endif  // OHOS_ROSEN_SCREEN_MANAGER_H
