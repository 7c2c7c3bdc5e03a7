// Writes the encoded stream into an MP4 file through the platform muxer.
#ifndef MIRRAX_CAPTURE_SCREEN_RECORDER_H
#define MIRRAX_CAPTURE_SCREEN_RECORDER_H

#include <cstdint>
#include <cstdio>

#include "common/mirrax_log.h"
#include "multimedia/player_framework/native_avmuxer.h"

class MIRRAX_EXPORT ScreenRecorder {
public:
    static constexpr const char *recordFilePath = "/data/local/tmp/mytest.mp4";

    ScreenRecorder();
    virtual ~ScreenRecorder();
    ScreenRecorder(const ScreenRecorder &) = delete;
    ScreenRecorder &operator=(const ScreenRecorder &) = delete;

    // Opens the file, creates the muxer and adds the video track.
    bool Setup(OH_AVFormat *format);
    void Run();
    // Stops and destroys the muxer and closes the file, once.
    void Stop();

    OH_AVMuxer *GetMuxer();
    int32_t GetTrackId();
    int64_t GetFirstFrameTime();
    void SetFirstFrameTime(int64_t time);

    // Marks the muxer started (the encoder's run starts it itself).
    void MarkRunning() { isStopped_ = false; }

private:
    OH_AVMuxer *muxer_ = nullptr;
    int32_t trackId_ = -1;
    FILE *file_ = nullptr;
    int64_t firstFrameTime_ = -1;
    bool isStopped_ = false;
};

#endif  // MIRRAX_CAPTURE_SCREEN_RECORDER_H
