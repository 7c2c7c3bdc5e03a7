// What feeds the physical screen: one small interface, implementations chosen at run
// time (synthetic, x11). A source draws into the screen canvas on its own thread from
// construction to destruction, and reports size changes to its observer.
#ifndef MIRRAX_PLATFORM_DISPLAY_DISPLAY_SOURCE_H
#define MIRRAX_PLATFORM_DISPLAY_DISPLAY_SOURCE_H

#include <cstdint>
#include <string_view>

#include "dm_common.h"

namespace mirrax::platform::display {

struct SourceGeometry {
    int width = 0;
    int height = 0;
    uint32_t refreshRate = 60;
    int dpi = 160;
    OHOS::Rosen::Rotation rotation = OHOS::Rosen::Rotation::ROTATION_0;

    bool operator==(const SourceGeometry &) const = default;
};

class SourceObserver {
public:
    virtual ~SourceObserver() = default;
    // The screen's geometry changed (or was first known). Called on any thread, with
    // no lock of the display server held; must not call back into the source.
    virtual void OnSourceGeometry(const SourceGeometry &geometry) = 0;
};

class DisplaySource {
public:
    virtual ~DisplaySource() = default;  // stops and joins the source's thread
    virtual std::string_view Kind() const = 0;
    virtual SourceGeometry Geometry() const = 0;
    // Mean thread CPU time spent drawing or capturing one frame, microseconds.
    virtual double CpuUsPerFrame() const = 0;
};

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_DISPLAY_SOURCE_H
