// Audio focus interruptions delivered to a capturer's callback.
#ifndef OHOS_AUDIO_INTERRUPT_INFO_H
#define OHOS_AUDIO_INTERRUPT_INFO_H

namespace OHOS::AudioStandard {

enum InterruptType { INTERRUPT_TYPE_BEGIN = 1, INTERRUPT_TYPE_END = 2 };
enum InterruptForceType { INTERRUPT_FORCE = 0, INTERRUPT_SHARE };
enum InterruptHint {
    INTERRUPT_HINT_NONE = 0,
    INTERRUPT_HINT_RESUME,
    INTERRUPT_HINT_PAUSE,
    INTERRUPT_HINT_STOP,
    INTERRUPT_HINT_DUCK,
    INTERRUPT_HINT_UNDUCK,
    INTERRUPT_HINT_MUTE,
    INTERRUPT_HINT_UNMUTE
};

struct InterruptEvent {
    InterruptEvent() {}
    InterruptEvent(InterruptType type, InterruptForceType force, InterruptHint hint,
                   bool toApp = true)
        : eventType(type), forceType(force), hintType(hint), callbackToApp(toApp) {}
    InterruptType eventType = INTERRUPT_TYPE_BEGIN;
    InterruptForceType forceType = INTERRUPT_FORCE;
    InterruptHint hintType = INTERRUPT_HINT_NONE;
    bool callbackToApp = true;
};

}  // namespace OHOS::AudioStandard

#endif  // OHOS_AUDIO_INTERRUPT_INFO_H
