// ScreenManager: the SDK-named front of the display server. Every call the capture
// library makes can be failed with the fault switch ("ScreenManager::<Method>").
#include "screen_manager.h"

#include "display_server.h"
#include "mirrax_platform/fault_injection.h"

namespace OHOS::Rosen {
namespace {

mirrax::platform::display::DisplayServer &Server() {
    return mirrax::platform::display::DisplayServer::Instance();
}

std::optional<DMError> Fault(std::string_view call) {
    if (auto code = mirrax::platform::TakeFault(call)) {
        return static_cast<DMError>(*code);
    }
    return std::nullopt;
}

}  // namespace

ScreenManager &ScreenManager::GetInstance() {
    static ScreenManager instance;
    return instance;
}

ScreenManager::ScreenManager() = default;
ScreenManager::~ScreenManager() = default;

sptr<Screen> ScreenManager::GetScreenById(ScreenId screenId) {
    if (mirrax::platform::TakeFault("ScreenManager::GetScreenById")) {
        return nullptr;
    }
    auto info = Server().ScreenInfo(screenId);
    return info.has_value() ? sptr<Screen>(new Screen(std::move(*info))) : sptr<Screen>();
}

DMError ScreenManager::GetAllScreens(std::vector<sptr<Screen>> &screens) {
    screens.clear();
    for (ScreenId id : Server().ScreenIds()) {
        if (auto info = Server().ScreenInfo(id)) {
            screens.push_back(sptr<Screen>(new Screen(std::move(*info))));
        }
    }
    return DMError::DM_OK;
}

DMError ScreenManager::MakeMirror(ScreenId mainScreenId, std::vector<ScreenId> mirrorScreenId,
                                  ScreenId &screenGroupId) {
    if (auto fault = Fault("ScreenManager::MakeMirror")) {
        return *fault;
    }
    return Server().MakeMirror(mainScreenId, mirrorScreenId, screenGroupId);
}

DMError ScreenManager::StopMirror(const std::vector<ScreenId> &mirrorScreenIds) {
    if (auto fault = Fault("ScreenManager::StopMirror")) {
        return *fault;
    }
    return Server().StopMirror(mirrorScreenIds);
}

ScreenId ScreenManager::CreateVirtualScreen(VirtualScreenOption option) {
    if (auto code = mirrax::platform::TakeFault("ScreenManager::CreateVirtualScreen")) {
        return static_cast<ScreenId>(*code);
    }
    return Server().CreateVirtualScreen(option);
}

DMError ScreenManager::DestroyVirtualScreen(ScreenId screenId) {
    if (auto fault = Fault("ScreenManager::DestroyVirtualScreen")) {
        return *fault;
    }
    return Server().DestroyVirtualScreen(screenId);
}

DMError ScreenManager::SetVirtualScreenSurface(ScreenId screenId, sptr<Surface> surface) {
    if (auto fault = Fault("ScreenManager::SetVirtualScreenSurface")) {
        return *fault;
    }
    return Server().SetSurface(screenId, std::move(surface));
}

DMError ScreenManager::ResizeVirtualScreen(ScreenId screenId, uint32_t width, uint32_t height) {
    if (auto fault = Fault("ScreenManager::ResizeVirtualScreen")) {
        return *fault;
    }
    return Server().Resize(screenId, width, height);
}

DMError ScreenManager::SetVirtualScreenRefreshRate(ScreenId screenId, uint32_t refreshRate) {
    if (auto fault = Fault("ScreenManager::SetVirtualScreenRefreshRate")) {
        return *fault;
    }
    return Server().SetInterval(screenId, refreshRate);
}

DMError ScreenManager::SetVirtualMirrorScreenCanvasRotation(ScreenId screenId,
                                                            bool canvasRotation) {
    if (auto fault = Fault("ScreenManager::SetVirtualMirrorScreenCanvasRotation")) {
        return *fault;
    }
    return Server().SetCanvasRotation(screenId, canvasRotation);
}

DMError ScreenManager::RegisterScreenListener(sptr<IScreenListener> listener) {
    if (auto fault = Fault("ScreenManager::RegisterScreenListener")) {
        return *fault;
    }
    return Server().RegisterListener(std::move(listener));
}

DMError ScreenManager::UnregisterScreenListener(sptr<IScreenListener> listener) {
    if (auto fault = Fault("ScreenManager::UnregisterScreenListener")) {
        return *fault;
    }
    return Server().UnregisterListener(std::move(listener));
}

VirtualScreenFlag ScreenManager::GetVirtualScreenFlag(ScreenId) {
    return VirtualScreenFlag::DEFAULT;
}

DMError ScreenManager::SetVirtualScreenFlag(ScreenId screenId, VirtualScreenFlag) {
    return Server().ScreenInfo(screenId).has_value() ? DMError::DM_OK
                                                     : DMError::DM_ERROR_INVALID_PARAM;
}

}  // namespace OHOS::Rosen
