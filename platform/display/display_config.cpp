#include "mirrax_platform/display_config.h"

#include "display_server.h"
#include "synthetic_source.h"

namespace mirrax::platform {
namespace {

display::DisplayServer &Server() { return display::DisplayServer::Instance(); }

}  // namespace

bool ConfigureDisplay(std::string_view spec, std::string *error) {
    return Server().Configure(spec, error);
}

void ResetDisplayServer() { Server().Reset(); }

bool SetSyntheticStill(bool still) {
    return Server().WithSynthetic([still](display::SyntheticSource &source) {
        source.SetStill(still);
        return true;
    });
}

bool RotateSynthetic() {
    return Server().WithSynthetic([](display::SyntheticSource &source) {
        source.Rotate();
        return true;
    });
}

bool ResizeSynthetic(int width, int height) {
    return Server().WithSynthetic(
        [=](display::SyntheticSource &source) { return source.Resize(width, height); });
}

DisplayStats GetDisplayStats() { return Server().Stats(); }

}  // namespace mirrax::platform
