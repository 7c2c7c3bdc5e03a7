// Display and Screen: snapshots of the display server's state.
#include "display.h"
#include "screen.h"

namespace OHOS::Rosen {

Display::Display(Info info) : info_(std::move(info)) {}
Display::~Display() = default;
DisplayId Display::GetId() const { return info_.id; }
std::string Display::GetName() const { return info_.name; }
int32_t Display::GetWidth() const { return info_.width; }
int32_t Display::GetHeight() const { return info_.height; }
int32_t Display::GetPhysicalWidth() const { return info_.physicalWidth; }
int32_t Display::GetPhysicalHeight() const { return info_.physicalHeight; }
uint32_t Display::GetRefreshRate() const { return info_.refreshRate; }
ScreenId Display::GetScreenId() const { return info_.screenId; }
float Display::GetVirtualPixelRatio() const { return static_cast<float>(info_.dpi) / 160.0f; }
int Display::GetDpi() const { return info_.dpi; }
Rotation Display::GetRotation() const { return info_.rotation; }

Screen::Screen(Info info) : info_(std::move(info)) {}
Screen::~Screen() = default;
bool Screen::IsGroup() const { return false; }
std::string Screen::GetName() const { return info_.name; }
ScreenId Screen::GetId() const { return info_.id; }
uint32_t Screen::GetWidth() const { return info_.width; }
uint32_t Screen::GetHeight() const { return info_.height; }
uint32_t Screen::GetVirtualWidth() const { return info_.width; }
uint32_t Screen::GetVirtualHeight() const { return info_.height; }
float Screen::GetVirtualPixelRatio() const { return info_.virtualPixelRatio; }
Rotation Screen::GetRotation() const { return info_.rotation; }
bool Screen::IsReal() const { return info_.isReal; }
ScreenId Screen::GetParentId() const { return info_.parentId; }
uint32_t Screen::GetModeId() const { return 0; }

}  // namespace OHOS::Rosen
