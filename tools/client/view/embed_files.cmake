# Writes OUTPUT, a C++ source that defines mirrax::client::ViewAssets() with the bytes
# of every file in FILES (a ;-list of paths), named by their file names.
# Run as: cmake -DOUTPUT=... -DFILES=... -P embed_files.cmake
set(arrays "")
set(entries "")
set(index 0)
foreach(path IN LISTS FILES)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(([^,]*,){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "constexpr char kAsset${index}[] = {\n    ${bytes}'\\0'};\n")
  string(APPEND entries "    {\"${name}\", std::string_view(kAsset${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from tools/client/view/ by embed_files.cmake; do not edit.
#include \"view_assets.h\"

namespace mirrax::client {
namespace {
${arrays}
constexpr ViewAsset kAssets[] = {
${entries}};
}  // namespace

std::span<const ViewAsset> ViewAssets() { return kAssets; }

}  // namespace mirrax::client
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
