// The screen of an X display, read with MIT-SHM; a RandR screen-size change is a
// screen change. Left out of the build when xcb is not available (the factory then
// reports that x11 support is missing).
#ifndef MIRRAX_PLATFORM_DISPLAY_X11_SOURCE_H
#define MIRRAX_PLATFORM_DISPLAY_X11_SOURCE_H

#include <memory>
#include <string>
#include <string_view>

#include "display_source.h"
#include "screen_canvas.h"

namespace mirrax::platform::display {

// Opens the display `name` (empty: $DISPLAY), reads the first picture and starts the
// capture thread. Returns null with a one-line reason in `error` when the display
// cannot be opened or lacks MIT-SHM.
std::unique_ptr<DisplaySource> CreateX11Source(std::string_view name,
                                               std::shared_ptr<ScreenCanvas> canvas,
                                               SourceObserver *observer, std::string *error);

}  // namespace mirrax::platform::display

#endif  // MIRRAX_PLATFORM_DISPLAY_X11_SOURCE_H
