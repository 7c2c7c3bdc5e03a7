// One message of the onStart stream, looked up by payload key.
#ifndef MIRRAX_TOOLS_CLIENT_FRAME_MESSAGE_H
#define MIRRAX_TOOLS_CLIENT_FRAME_MESSAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class ReplyMessage;

namespace mirrax::client {

// Bits of the "flags" word, the encoder's buffer flags.
inline constexpr int64_t kFlagEos = 1;
inline constexpr int64_t kFlagSyncFrame = 2;
inline constexpr int64_t kFlagCodecData = 8;

// Why a key frame is wanted: a viewer of the view has just joined, or anything else
// (a button, a viewer or a media server that fell behind, a new connection).
enum class KeyFrameNeed { kJoin, kAsked };

struct FrameMessage {
    std::string_view data;  // borrows from the message it was parsed from
    int64_t flags = 0;
    int64_t pts = 0;  // the server's wall clock at hand-off, ms since the epoch

    bool IsCodecData() const { return (flags & kFlagCodecData) != 0; }
    bool IsKeyFrame() const { return (flags & kFlagSyncFrame) != 0; }
    // A buffer that holds a coded picture (not configuration, not an empty EOS).
    bool IsPicture() const { return !IsCodecData() && !data.empty(); }
};

// Nothing, with a reason, when "data" is missing or "len" disagrees with it.
std::optional<FrameMessage> ParseFrameMessage(const ReplyMessage &message, std::string *error);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_FRAME_MESSAGE_H
