// The live-view page (HTML, JavaScript, CSS), built into the program from
// tools/client/view/ so the client stays a single file.
#ifndef MIRRAX_TOOLS_CLIENT_VIEW_ASSETS_H
#define MIRRAX_TOOLS_CLIENT_VIEW_ASSETS_H

#include <span>
#include <string_view>

namespace mirrax::client {

struct ViewAsset {
    std::string_view name;  // file name, e.g. "index.html"
    std::string_view body;
};

// Generated at build time.
std::span<const ViewAsset> ViewAssets();

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_VIEW_ASSETS_H
