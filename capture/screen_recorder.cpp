#include "capture/screen_recorder.h"

#include <cerrno>
#include <cstring>

namespace {
constexpr const char *kLogFile = "native_screen_encoder";
}  // namespace

ScreenRecorder::ScreenRecorder() = default;

ScreenRecorder::~ScreenRecorder() { Stop(); }

bool ScreenRecorder::Setup(OH_AVFormat *format) {
    MIRRAX_LOG_LABEL(kLogFile);
    file_ = fopen(recordFilePath, "wb+");
    if (file_ == nullptr) {
        // No descriptor to hand to the muxer: the setup fails here.
        MIRRAX_LOGE("%{public}s Failed to open record file %{public}s: %{public}s", recordFilePath,
                    strerror(errno));
        return false;
    }
    muxer_ = OH_AVMuxer_Create(fileno(file_), AV_OUTPUT_FORMAT_MPEG_4);
    if (muxer_ == nullptr) {
        MIRRAX_LOGE("%{public}s Failed to create video muxer!");
        return false;
    }
    if (OH_AVMuxer_AddTrack(muxer_, &trackId_, format) != AV_ERR_OK) {
        MIRRAX_LOGE("%{public}s Failed to add track video muxer!");
        return false;
    }
    return true;
}

void ScreenRecorder::Run() {
    MIRRAX_LOG_LABEL(kLogFile);
    if (OH_AVMuxer_Start(muxer_) == AV_ERR_OK) {
        isStopped_ = false;
        MIRRAX_LOGI("%{public}s Start muxer success!");
    } else {
        MIRRAX_LOGE("%{public}s Failed to start video muxer!");
    }
}

void ScreenRecorder::Stop() {
    MIRRAX_LOG_LABEL(kLogFile);
    if (isStopped_) {
        MIRRAX_LOGI("%{public}s ScreenRecorder already stop....");
        return;
    }
    MIRRAX_LOGI("%{public}s stop muxer");
    const OH_AVErrCode stopped = OH_AVMuxer_Stop(muxer_);
    MIRRAX_LOGI("%{public}s destroy muxer");
    const OH_AVErrCode destroyed = OH_AVMuxer_Destroy(muxer_);
    muxer_ = nullptr;
    if (stopped != AV_ERR_OK || destroyed != AV_ERR_OK) {
        MIRRAX_LOGE("%{public}s stop muxer failed");
    }
    if (file_ != nullptr) {
        // The muxer writes through the descriptor; a failure to close it (a full disk
        // on some file systems) means the recording is not complete.
        if (fclose(file_) != 0) {
            MIRRAX_LOGE("%{public}s Failed to close record file %{public}s: %{public}s",
                        recordFilePath, strerror(errno));
        }
        file_ = nullptr;
    }
    isStopped_ = true;
}

OH_AVMuxer *ScreenRecorder::GetMuxer() { return muxer_; }
int32_t ScreenRecorder::GetTrackId() { return trackId_; }
int64_t ScreenRecorder::GetFirstFrameTime() { return firstFrameTime_; }
void ScreenRecorder::SetFirstFrameTime(int64_t time) { firstFrameTime_ = time; }
