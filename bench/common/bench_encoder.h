// The platform's H.264 encoder set up the way the library sets it up, fed through its
// input surface, for the benchmarks that measure the encoder layer.
#ifndef MIRRAX_BENCH_COMMON_BENCH_ENCODER_H
#define MIRRAX_BENCH_COMMON_BENCH_ENCODER_H

#include <cstdint>

#include "multimedia/player_framework/native_avcodec_videoencoder.h"
#include "surface.h"

namespace mirrax::bench {

struct BenchEncoderSettings {
    int width = 0;
    int height = 0;
    double frameRate = 60.0;
    int64_t bitRate = 0;
    int32_t iFrameIntervalMs = 1000;
};

// Creates, configures and starts the encoder with constant bit rate and the surface's
// own pixel format; stops and destroys it when it goes. Every encoded buffer goes to
// `onOutput` with `userData`, which must free it with OH_VideoEncoder_FreeOutputData.
class BenchEncoder {
public:
    BenchEncoder(const BenchEncoderSettings &settings, OH_AVCodecOnNewOutputData onOutput,
                 void *userData);
    ~BenchEncoder();
    BenchEncoder(const BenchEncoder &) = delete;
    BenchEncoder &operator=(const BenchEncoder &) = delete;

    // Where the pictures go; null when the encoder did not start.
    const OHOS::sptr<OHOS::Surface> &Surface() const { return surface_; }

private:
    OH_AVCodec *codec_ = nullptr;
    OHOS::sptr<OHOS::Surface> surface_;
};

}  // namespace mirrax::bench

#endif  // MIRRAX_BENCH_COMMON_BENCH_ENCODER_H
