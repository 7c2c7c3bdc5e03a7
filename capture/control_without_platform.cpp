#include "capture/native_screen_encoder.h"

// Stand-in control functions for a build without the display and codec services.

#include <mutex>

namespace {
constexpr const char *kLogFile = "native_screen_encoder";
constexpr int32_t kNoEncoder = 6;
}  // namespace

std::mutex mtx;

void NativeStartScreenCopy() {
    MIRRAX_LOG_LABEL(kLogFile);
    std::lock_guard<std::mutex> lock(mtx);
    MIRRAX_LOGI("%{public}s Invoke StartScreenCopy....");
}

int32_t NativeStopScreenCopy() {
    MIRRAX_LOG_LABEL(kLogFile);
    std::lock_guard<std::mutex> lock(mtx);
    MIRRAX_LOGI("%{public}s Invoke StopScreenCopy....");
    const int32_t frameCount = 0;
    MIRRAX_LOGI("%{public}s Finish StopScreenCopy...., frame_count: %{public}d", frameCount);
    return frameCount;
}

int32_t RequestIDRFrame() {
    MIRRAX_LOG_LABEL(kLogFile);
    std::lock_guard<std::mutex> lock(mtx);
    MIRRAX_LOGI("%{public}s Invoke RequestIDRFrame....");
    MIRRAX_LOGI("%{public}s Finish RequestIDRFrame....");
    return kNoEncoder;
}
