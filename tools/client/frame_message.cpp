#include "frame_message.h"

#include "mirrax.pb.h"

namespace mirrax::client {

namespace {

std::optional<int64_t> IntEntry(const ReplyMessage &message, const char *key) {
    const auto &payload = message.payload();
    const auto it = payload.find(key);
    if (it == payload.end() || it->second.values_case() != ParamValue::kValInt) {
        return std::nullopt;
    }
    return it->second.val_int();
}

}  // namespace

std::optional<FrameMessage> ParseFrameMessage(const ReplyMessage &message, std::string *error) {
    const auto &payload = message.payload();
    const auto data = payload.find("data");
    if (data == payload.end() || data->second.values_case() != ParamValue::kValBytes) {
        *error = "message without \"data\" bytes";
        return std::nullopt;
    }
    FrameMessage frame;
    frame.data = data->second.val_bytes();
    const auto len = IntEntry(message, "len");
    if (len && *len != static_cast<int64_t>(frame.data.size())) {
        *error = "\"len\" " + std::to_string(*len) + " differs from the " +
                 std::to_string(frame.data.size()) + " bytes of \"data\"";
        return std::nullopt;
    }
    frame.flags = IntEntry(message, "flags").value_or(0);
    frame.pts = IntEntry(message, "pts").value_or(0);
    return frame;
}

}  // namespace mirrax::client
