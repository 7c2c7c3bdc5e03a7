// DisplayManager: the SDK-named front of the display server. Every call the capture
// library makes can be failed with the fault switch ("DisplayManager::<Method>").
#include "display_manager.h"

#include "display_server.h"
#include "mirrax_platform/fault_injection.h"

namespace OHOS::Rosen {
namespace {

mirrax::platform::display::DisplayServer &Server() {
    return mirrax::platform::display::DisplayServer::Instance();
}

sptr<Display> MakeDisplay(ScreenId screenId) {
    auto info = Server().DisplayOfScreen(screenId);
    return info.has_value() ? sptr<Display>(new Display(std::move(*info))) : sptr<Display>();
}

}  // namespace

DisplayManager &DisplayManager::GetInstance() {
    static DisplayManager instance;
    return instance;
}

DisplayManager::DisplayManager() = default;
DisplayManager::~DisplayManager() = default;

std::vector<sptr<Display>> DisplayManager::GetAllDisplays() {
    std::vector<sptr<Display>> displays;
    if (sptr<Display> display = GetDefaultDisplay()) {
        displays.push_back(display);
    }
    return displays;
}

DisplayId DisplayManager::GetDefaultDisplayId() {
    if (auto fault = mirrax::platform::TakeFault("DisplayManager::GetDefaultDisplayId")) {
        return static_cast<DisplayId>(*fault);
    }
    return Server().DefaultDisplayId().value_or(DISPLAY_ID_INVALID);
}

sptr<Display> DisplayManager::GetDefaultDisplay() {
    auto id = Server().DefaultDisplayId();
    return id.has_value() ? MakeDisplay(*id) : sptr<Display>();
}

sptr<Display> DisplayManager::GetDisplayById(DisplayId displayId) {
    // Display ids equal the ids of the screens they are shown on.
    return MakeDisplay(displayId);
}

sptr<Display> DisplayManager::GetDisplayByScreen(ScreenId screenId) {
    if (mirrax::platform::TakeFault("DisplayManager::GetDisplayByScreen")) {
        return nullptr;
    }
    return MakeDisplay(screenId);
}

std::vector<DisplayId> DisplayManager::GetAllDisplayIds() {
    std::vector<DisplayId> ids;
    if (auto id = Server().DefaultDisplayId()) {
        ids.push_back(*id);
    }
    return ids;
}

void DisplayManager::DisablePowerOffRenderControl(ScreenId) {
    // Screens here never power off, so mirroring never stops for that reason.
    (void)mirrax::platform::TakeFault("DisplayManager::DisablePowerOffRenderControl");
}

DMError DisplayManager::SetVirtualScreenSecurityExemption(ScreenId screenId, uint32_t pid,
                                                          std::vector<uint64_t> &windowIdList) {
    if (auto fault =
            mirrax::platform::TakeFault("DisplayManager::SetVirtualScreenSecurityExemption")) {
        return static_cast<DMError>(*fault);
    }
    return Server().SetExemption(screenId, pid, windowIdList);
}

}  // namespace OHOS::Rosen
