// OH_AVFormat and OH_AVMemory.
#include <cstring>
#include <memory>
#include <sstream>

#include "av_objects.h"
#include "handle_registry.h"
#include "mirrax_platform/fault_injection.h"
#include "multimedia/player_framework/native_avcodec_base.h"

namespace mirrax::media {
namespace {

constexpr size_t kMaxStringBytes = 256;

HandleSet<OH_AVFormat> &Formats() {
    static HandleSet<OH_AVFormat> formats;
    return formats;
}

HandleSet<OH_AVMemory> &Memories() {
    static HandleSet<OH_AVMemory> memories;
    return memories;
}

bool Faulted(const char *call) { return platform::TakeFault(call).has_value(); }

// Stores `value` under `key` unless the key already holds another type.
template <typename T>
bool SetValue(const char *call, OH_AVFormat *format, const char *key, T value) {
    if (Faulted(call) || key == nullptr || !IsLiveFormat(format)) {
        return false;
    }
    auto it = format->values.find(key);
    if (it != format->values.end() && !std::holds_alternative<T>(it->second)) {
        return false;
    }
    format->values[key] = std::move(value);
    return true;
}

template <typename T>
const T *GetValue(const OH_AVFormat *format, const char *key) {
    if (key == nullptr) {
        return nullptr;
    }
    auto it = format->values.find(key);
    if (it == format->values.end()) {
        return nullptr;
    }
    return std::get_if<T>(&it->second);
}

template <typename T>
bool GetScalar(const char *call, OH_AVFormat *format, const char *key, T *out) {
    if (Faulted(call) || out == nullptr || !IsLiveFormat(format)) {
        return false;
    }
    const T *value = GetValue<T>(format, key);
    if (value == nullptr) {
        return false;
    }
    *out = *value;
    return true;
}

template <typename T>
std::optional<T> Read(const OH_AVFormat &format, const char *key) {
    const T *value = GetValue<T>(&format, key);
    return value != nullptr ? std::optional<T>(*value) : std::nullopt;
}

}  // namespace

std::optional<int32_t> FormatInt(const OH_AVFormat &format, const char *key) {
    return Read<int32_t>(format, key);
}

std::optional<int64_t> FormatLong(const OH_AVFormat &format, const char *key) {
    if (auto value = Read<int64_t>(format, key)) {
        return value;
    }
    // An int where a long is expected is accepted: the value is the same.
    if (auto value = Read<int32_t>(format, key)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<double> FormatDouble(const OH_AVFormat &format, const char *key) {
    if (auto value = Read<double>(format, key)) {
        return value;
    }
    if (auto value = Read<float>(format, key)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<std::string> FormatString(const OH_AVFormat &format, const char *key) {
    return Read<std::string>(format, key);
}

bool IsLiveFormat(const OH_AVFormat *format) { return Formats().Contains(format); }
bool IsLiveMemory(const OH_AVMemory *memory) { return Memories().Contains(memory); }
void RegisterMemory(const OH_AVMemory *memory) { Memories().Add(memory); }
void UnregisterMemory(const OH_AVMemory *memory) { Memories().Remove(memory); }

}  // namespace mirrax::media

using mirrax::media::Faulted;
using mirrax::media::IsLiveFormat;
using mirrax::media::IsLiveMemory;

extern "C" {

OH_AVFormat *OH_AVFormat_Create(void) {
    if (Faulted("OH_AVFormat_Create")) {
        return nullptr;
    }
    auto *format = new (std::nothrow) OH_AVFormat();
    if (format != nullptr) {
        mirrax::media::Formats().Add(format);
    }
    return format;
}

OH_AVFormat *OH_AVFormat_CreateVideoFormat(const char *mimeType, int32_t width, int32_t height) {
    if (Faulted("OH_AVFormat_CreateVideoFormat") || mimeType == nullptr) {
        return nullptr;
    }
    OH_AVFormat *format = OH_AVFormat_Create();
    if (format != nullptr) {
        format->values[OH_MD_KEY_CODEC_MIME] = std::string(mimeType);
        format->values[OH_MD_KEY_WIDTH] = width;
        format->values[OH_MD_KEY_HEIGHT] = height;
        format->values[OH_MD_KEY_TRACK_TYPE] = static_cast<int32_t>(MEDIA_TYPE_VID);
    }
    return format;
}

OH_AVFormat *OH_AVFormat_CreateAudioFormat(const char *mimeType, int32_t sampleRate,
                                           int32_t channelCount) {
    if (Faulted("OH_AVFormat_CreateAudioFormat") || mimeType == nullptr) {
        return nullptr;
    }
    OH_AVFormat *format = OH_AVFormat_Create();
    if (format != nullptr) {
        format->values[OH_MD_KEY_CODEC_MIME] = std::string(mimeType);
        format->values["sample_rate"] = sampleRate;
        format->values["channel_count"] = channelCount;
        format->values[OH_MD_KEY_TRACK_TYPE] = static_cast<int32_t>(MEDIA_TYPE_AUD);
    }
    return format;
}

void OH_AVFormat_Destroy(OH_AVFormat *format) {
    if (format == nullptr || !mirrax::media::Formats().Remove(format)) {
        return;
    }
    delete format;
}

bool OH_AVFormat_Copy(OH_AVFormat *to, OH_AVFormat *from) {
    if (Faulted("OH_AVFormat_Copy") || !IsLiveFormat(to) || !IsLiveFormat(from)) {
        return false;
    }
    if (to != from) {
        to->values = from->values;
    }
    return true;
}

bool OH_AVFormat_SetIntValue(OH_AVFormat *format, const char *key, int32_t value) {
    return mirrax::media::SetValue("OH_AVFormat_SetIntValue", format, key, value);
}

bool OH_AVFormat_SetLongValue(OH_AVFormat *format, const char *key, int64_t value) {
    return mirrax::media::SetValue("OH_AVFormat_SetLongValue", format, key, value);
}

bool OH_AVFormat_SetFloatValue(OH_AVFormat *format, const char *key, float value) {
    return mirrax::media::SetValue("OH_AVFormat_SetFloatValue", format, key, value);
}

bool OH_AVFormat_SetDoubleValue(OH_AVFormat *format, const char *key, double value) {
    return mirrax::media::SetValue("OH_AVFormat_SetDoubleValue", format, key, value);
}

bool OH_AVFormat_SetStringValue(OH_AVFormat *format, const char *key, const char *value) {
    if (value == nullptr || strlen(value) > mirrax::media::kMaxStringBytes) {
        return false;
    }
    return mirrax::media::SetValue("OH_AVFormat_SetStringValue", format, key, std::string(value));
}

bool OH_AVFormat_SetBuffer(OH_AVFormat *format, const char *key, const uint8_t *addr, size_t size) {
    if (addr == nullptr || size == 0) {
        return false;
    }
    return mirrax::media::SetValue("OH_AVFormat_SetBuffer", format, key,
                                   std::vector<uint8_t>(addr, addr + size));
}

bool OH_AVFormat_GetIntValue(OH_AVFormat *format, const char *key, int32_t *out) {
    return mirrax::media::GetScalar("OH_AVFormat_GetIntValue", format, key, out);
}

bool OH_AVFormat_GetLongValue(OH_AVFormat *format, const char *key, int64_t *out) {
    return mirrax::media::GetScalar("OH_AVFormat_GetLongValue", format, key, out);
}

bool OH_AVFormat_GetFloatValue(OH_AVFormat *format, const char *key, float *out) {
    return mirrax::media::GetScalar("OH_AVFormat_GetFloatValue", format, key, out);
}

bool OH_AVFormat_GetDoubleValue(OH_AVFormat *format, const char *key, double *out) {
    return mirrax::media::GetScalar("OH_AVFormat_GetDoubleValue", format, key, out);
}

bool OH_AVFormat_GetStringValue(OH_AVFormat *format, const char *key, const char **out) {
    if (Faulted("OH_AVFormat_GetStringValue") || out == nullptr || !IsLiveFormat(format)) {
        return false;
    }
    const std::string *value = mirrax::media::GetValue<std::string>(format, key);
    if (value == nullptr || value->size() > mirrax::media::kMaxStringBytes) {
        return false;
    }
    *out = value->c_str();
    return true;
}

bool OH_AVFormat_GetBuffer(OH_AVFormat *format, const char *key, uint8_t **addr, size_t *size) {
    if (Faulted("OH_AVFormat_GetBuffer") || addr == nullptr || size == nullptr ||
        !IsLiveFormat(format)) {
        return false;
    }
    auto *value = const_cast<std::vector<uint8_t> *>(
        mirrax::media::GetValue<std::vector<uint8_t>>(format, key));
    if (value == nullptr) {
        return false;
    }
    *addr = value->data();
    *size = value->size();
    return true;
}

const char *OH_AVFormat_DumpInfo(OH_AVFormat *format) {
    if (!IsLiveFormat(format)) {
        return nullptr;
    }
    std::ostringstream out;
    bool first = true;
    for (const auto &[key, value] : format->values) {
        out << (first ? "" : ", ") << key << " = ";
        first = false;
        std::visit(
            [&out](const auto &v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
                    out << "<" << v.size() << " bytes>";
                } else {
                    out << v;
                }
            },
            value);
    }
    format->dump = out.str().substr(0, 1024);
    return format->dump.c_str();
}

OH_AVMemory *OH_AVMemory_Create(int32_t size) {
    if (Faulted("OH_AVMemory_Create") || size <= 0) {
        return nullptr;
    }
    auto memory = std::make_unique<OH_AVMemory>();
    memory->bytes.resize(static_cast<size_t>(size));
    memory->callerOwned = true;
    mirrax::media::RegisterMemory(memory.get());
    return memory.release();
}

uint8_t *OH_AVMemory_GetAddr(OH_AVMemory *mem) {
    if (Faulted("OH_AVMemory_GetAddr") || !IsLiveMemory(mem)) {
        return nullptr;
    }
    return mem->bytes.data();
}

int32_t OH_AVMemory_GetSize(OH_AVMemory *mem) {
    if (Faulted("OH_AVMemory_GetSize") || !IsLiveMemory(mem)) {
        return -1;
    }
    return static_cast<int32_t>(mem->bytes.size());
}

OH_AVErrCode OH_AVMemory_Destroy(OH_AVMemory *mem) {
    if (auto code = mirrax::platform::TakeFault("OH_AVMemory_Destroy")) {
        return static_cast<OH_AVErrCode>(*code);
    }
    if (!IsLiveMemory(mem) || !mem->callerOwned) {
        return AV_ERR_INVALID_VAL;
    }
    mirrax::media::UnregisterMemory(mem);
    delete mem;
    return AV_ERR_OK;
}

}  // extern "C"
