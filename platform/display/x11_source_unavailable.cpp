// Built instead of x11_source.cpp when xcb is not available.
#include "x11_source.h"

namespace mirrax::platform::display {

std::unique_ptr<DisplaySource> CreateX11Source(std::string_view, std::shared_ptr<ScreenCanvas>,
                                               SourceObserver *, std::string *error) {
    if (error != nullptr) {
        *error = "x11 display source not built (xcb, xcb-shm, xcb-randr not found)";
    }
    return nullptr;
}

}  // namespace mirrax::platform::display
