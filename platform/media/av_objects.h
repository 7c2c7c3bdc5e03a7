// The objects behind OH_AVFormat and OH_AVMemory, shared by the encoder and muxer.
#ifndef MIRRAX_PLATFORM_MEDIA_AV_OBJECTS_H
#define MIRRAX_PLATFORM_MEDIA_AV_OBJECTS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "multimedia/player_framework/native_avformat.h"
#include "multimedia/player_framework/native_avmemory.h"

struct OH_AVFormat {
    using Value = std::variant<int32_t, int64_t, float, double, std::string, std::vector<uint8_t>>;
    std::map<std::string, Value, std::less<>> values;
    std::string dump;  // storage behind OH_AVFormat_DumpInfo
};

struct OH_AVMemory {
    std::vector<uint8_t> bytes;
    bool callerOwned = false;  // made by OH_AVMemory_Create (else a codec's buffer)
};

namespace mirrax::media {

// Typed reads for the platform's own use; empty when absent or of another type.
std::optional<int32_t> FormatInt(const OH_AVFormat &format, const char *key);
std::optional<int64_t> FormatLong(const OH_AVFormat &format, const char *key);
std::optional<double> FormatDouble(const OH_AVFormat &format, const char *key);
std::optional<std::string> FormatString(const OH_AVFormat &format, const char *key);

// True when `format` is a live handle made by OH_AVFormat_Create*.
bool IsLiveFormat(const OH_AVFormat *format);
// True when `memory` is a live block (caller's or a codec's).
bool IsLiveMemory(const OH_AVMemory *memory);
// Codec-owned blocks: the encoder's output pool registers and unregisters them.
void RegisterMemory(const OH_AVMemory *memory);
void UnregisterMemory(const OH_AVMemory *memory);

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_AV_OBJECTS_H
