// OHOS::Rosen::Screen and the option record of a virtual screen.
#ifndef OHOS_ROSEN_SCREEN_H
#define OHOS_ROSEN_SCREEN_H

#include <cstdint>
#include <string>
#include <vector>

#include "dm_common.h"
#include "refbase.h"
#include "surface.h"

namespace OHOS::Rosen {

// Members in the SDK's order; callers fill the record member by member.
struct VirtualScreenOption {
    std::string name_;
    uint32_t width_;
    uint32_t height_;
    float density_;
    sptr<Surface> surface_;
    int32_t flags_;
    bool isForShot_{true};
    std::vector<uint64_t> missionIds_{};
    int32_t virtualScreenType_{0};
    bool isSecurity_{true};
    int32_t virtualScreenFlag_{0};
    bool supportsFocus_{true};
    bool supportsInput_{true};
    std::string serialNumber_{};
};

struct ExpandOption {
    ScreenId screenId_;
    uint32_t startX_;
    uint32_t startY_;
};

// A snapshot of one screen (physical or virtual) taken when it was looked up.
class Screen : public RefBase {
public:
    struct Info {
        ScreenId id = SCREEN_ID_INVALID;
        std::string name;
        uint32_t width = 0;
        uint32_t height = 0;
        float virtualPixelRatio = 1.0f;
        Rotation rotation = Rotation::ROTATION_0;
        bool isReal = false;
        ScreenId parentId = SCREEN_ID_INVALID;
    };

    explicit Screen(Info info);
    ~Screen() override;
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    bool IsGroup() const;
    std::string GetName() const;
    ScreenId GetId() const;
    uint32_t GetWidth() const;
    uint32_t GetHeight() const;
    uint32_t GetVirtualWidth() const;
    uint32_t GetVirtualHeight() const;
    float GetVirtualPixelRatio() const;
    Rotation GetRotation() const;
    bool IsReal() const;
    ScreenId GetParentId() const;
    uint32_t GetModeId() const;

private:
    Info info_;
};

}  // namespace OHOS::Rosen

#endif  // OHOS_ROSEN_SCREEN_H
