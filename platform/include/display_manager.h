// OHOS::Rosen::DisplayManager: displays of the display server.
#ifndef OHOS_ROSEN_DISPLAY_MANAGER_H
#define OHOS_ROSEN_DISPLAY_MANAGER_H

#include <cstdint>
#include <vector>

#include "display.h"
#include "dm_common.h"
#include "refbase.h"

namespace OHOS::Rosen {

class DisplayManager {
public:
    static DisplayManager &GetInstance();
    DisplayManager(const DisplayManager &) = delete;
    DisplayManager &operator=(const DisplayManager &) = delete;
    DisplayManager(DisplayManager &&) = delete;
    DisplayManager &operator=(DisplayManager &&) = delete;

    std::vector<sptr<Display>> GetAllDisplays();
    // The default display's id, DISPLAY_ID_INVALID (-1) when there is none.
    DisplayId GetDefaultDisplayId();
    sptr<Display> GetDefaultDisplay();
    sptr<Display> GetDisplayById(DisplayId displayId);
    // The display shown on a screen; null for a screen without one (virtual screens).
    sptr<Display> GetDisplayByScreen(ScreenId screenId);
    std::vector<DisplayId> GetAllDisplayIds();
    // Keeps mirroring a screen after its panel is switched off (always the case here).
    void DisablePowerOffRenderControl(ScreenId screenId);
    // Secure windows listed here are shown, not blanked, on the virtual screen.
    DMError SetVirtualScreenSecurityExemption(ScreenId screenId, uint32_t pid,
                                              std::vector<uint64_t> &windowIdList);

private:
    DisplayManager();
    ~DisplayManager();
};

}  // namespace OHOS::Rosen

#endif  // OHOS_ROSEN_DISPLAY_MANAGER_H
