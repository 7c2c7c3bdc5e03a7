// OHOS::Rosen::Display: the logical display shown on a screen.
#ifndef OHOS_ROSEN_DISPLAY_H
#define OHOS_ROSEN_DISPLAY_H

#include <cstdint>
#include <string>

#include "dm_common.h"
#include "refbase.h"

namespace OHOS::Rosen {

// A snapshot of the display's properties taken when it was looked up; look the display
// up again after a screen change to see the new size.
class Display : public RefBase {
public:
    struct Info {
        DisplayId id = DISPLAY_ID_INVALID;
        std::string name;
        int32_t width = 0;
        int32_t height = 0;
        int32_t physicalWidth = 0;
        int32_t physicalHeight = 0;
        uint32_t refreshRate = 0;
        ScreenId screenId = SCREEN_ID_INVALID;
        int dpi = 0;
        Rotation rotation = Rotation::ROTATION_0;
    };

    explicit Display(Info info);
    ~Display() override;
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;

    DisplayId GetId() const;
    std::string GetName() const;
    int32_t GetWidth() const;
    int32_t GetHeight() const;
    int32_t GetPhysicalWidth() const;
    int32_t GetPhysicalHeight() const;
    uint32_t GetRefreshRate() const;
    ScreenId GetScreenId() const;
    float GetVirtualPixelRatio() const;
    int GetDpi() const;
    Rotation GetRotation() const;

private:
    Info info_;
};

}  // namespace OHOS::Rosen

#endif  // OHOS_ROSEN_DISPLAY_H
