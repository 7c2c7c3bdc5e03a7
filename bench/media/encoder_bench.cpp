// Encoder layer against a plain libavcodec/libx264 loop at the same settings, at
// 1080x2340: frames per second and CPU seconds per frame, plus the cost of the
// BGRA to I420 conversion alone (libyuv and libswscale).
#include <libyuv/convert.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "bench_encoder.h"
#include "mirrax_platform/frame_stamp.h"
#include "multimedia/player_framework/native_avcodec_videoencoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kWidth = 1080;
constexpr int kHeight = 2340;
constexpr int kPatterns = 8;
constexpr int kFrames = 240;
constexpr int64_t kBitRate = 30'000'000;
constexpr int64_t kFrameNs = 16'666'667;

double CpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Bgra {
    std::vector<uint8_t> data;
};

std::vector<Bgra> MakeFrames() {
    std::vector<Bgra> frames(kPatterns);
    for (int f = 0; f < kPatterns; ++f) {
        frames[f].data.resize(static_cast<size_t>(kWidth) * kHeight * 4);
        uint8_t *p = frames[f].data.data();
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                uint8_t *px = p + (static_cast<size_t>(y) * kWidth + x) * 4;
                px[0] = static_cast<uint8_t>(x + f * 9);
                px[1] = static_cast<uint8_t>(y + f * 5);
                px[2] = static_cast<uint8_t>((x ^ y) + f * 17);
                px[3] = 255;
            }
        }
        // A moving box, like a scrolling window.
        const int bx = 100 + f * 60;
        const int by = 400 + f * 120;
        for (int y = by; y < by + 300; ++y) {
            for (int x = bx; x < bx + 400; ++x) {
                uint8_t *px = p + (static_cast<size_t>(y) * kWidth + x) * 4;
                px[0] = px[1] = px[2] = static_cast<uint8_t>(200 - f * 10);
            }
        }
        mirrax::stamp::Draw(p, kWidth, kHeight, kWidth * 4,
                            mirrax::stamp::Stamp{static_cast<uint32_t>(f), 0});
    }
    return frames;
}

struct Result {
    double fps;
    double cpuPerFrame;
};

// ---- the layer: surface in, callback out ----

struct Sink {
    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    size_t bytes = 0;
};

void OnOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *, OH_AVCodecBufferAttr *attr,
              void *userData) {
    auto *sink = static_cast<Sink *>(userData);
    {
        std::lock_guard<std::mutex> lock(sink->mutex);
        if ((attr->flags & AVCODEC_BUFFER_FLAGS_CODEC_DATA) == 0) {
            ++sink->frames;
            sink->bytes += attr->size;
        }
    }
    sink->changed.notify_all();
    OH_VideoEncoder_FreeOutputData(codec, index);
}

Result RunLayer(const std::vector<Bgra> &frames, size_t *bytes) {
    Sink sink;
    mirrax::bench::BenchEncoder encoder({.width = kWidth,
                                         .height = kHeight,
                                         .frameRate = 60.0,
                                         .bitRate = kBitRate,
                                         .iFrameIntervalMs = 1000},
                                        OnOutput, &sink);
    const OHOS::sptr<OHOS::Surface> &surface = encoder.Surface();
    if (!surface) {
        fprintf(stderr, "encoder_bench: the encoder did not start\n");
        return {0, 0};
    }

    double producerCpu = 0;
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = WallSeconds();
    for (int i = 0; i < kFrames; ++i) {
        {
            // At most two frames in flight: the surface never drops one.
            std::unique_lock<std::mutex> lock(sink.mutex);
            sink.changed.wait(lock, [&] { return sink.frames >= i - 2; });
        }
        const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        OHOS::SurfaceBuffer *buffer = surface->RequestBuffer(kWidth, kHeight);
        const auto &src = frames[i % kPatterns].data;
        std::copy(src.begin(), src.end(), buffer->data.begin());
        surface->FlushBuffer(buffer, i * kFrameNs);
        producerCpu += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
    }
    {
        std::unique_lock<std::mutex> lock(sink.mutex);
        sink.changed.wait(lock, [&] { return sink.frames >= kFrames; });
    }
    const double wall = WallSeconds() - wall0;
    // The producer's copies are the test's work, not the layer's.
    const double cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0 - producerCpu;
    *bytes = sink.bytes;
    return {kFrames / wall, cpu / kFrames};
}

// ---- the plain loop on already-converted frames ----

Result RunPlainLoop(const std::vector<Bgra> &frames, size_t *bytes) {
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 1'000'000};
    ctx->framerate = AVRational{60, 1};
    ctx->max_b_frames = 0;
    ctx->bit_rate = kBitRate;
    ctx->rc_max_rate = kBitRate;
    ctx->rc_buffer_size = kBitRate / 2;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(ctx->priv_data, "forced-idr", 1, 0);
    av_opt_set(ctx->priv_data, "x264-params", "keyint=infinite:scenecut=0:repeat-headers=1", 0);
    avcodec_open2(ctx, codec, nullptr);
    std::vector<AVFrame *> converted;
    for (const auto &f : frames) {
        AVFrame *frame = av_frame_alloc();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = kWidth;
        frame->height = kHeight;
        av_frame_get_buffer(frame, 0);
        libyuv::ARGBToI420(f.data.data(), kWidth * 4, frame->data[0], frame->linesize[0],
                           frame->data[1], frame->linesize[1], frame->data[2], frame->linesize[2],
                           kWidth, kHeight);
        converted.push_back(frame);
    }
    AVPacket *packet = av_packet_alloc();
    size_t total = 0;
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = WallSeconds();
    for (int i = 0; i < kFrames; ++i) {
        AVFrame *frame = converted[i % kPatterns];
        frame->pts = i * kFrameNs / 1000;
        frame->pict_type = (i % 60 == 0) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        avcodec_send_frame(ctx, frame);
        while (avcodec_receive_packet(ctx, packet) == 0) {
            total += packet->size;
            av_packet_unref(packet);
        }
    }
    const double wall = WallSeconds() - wall0;
    const double cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    av_packet_free(&packet);
    for (AVFrame *frame : converted) {
        av_frame_free(&frame);
    }
    avcodec_free_context(&ctx);
    *bytes = total;
    return {kFrames / wall, cpu / kFrames};
}

// ---- conversion alone ----

double ConvertLibyuv(const std::vector<Bgra> &frames, int reps) {
    std::vector<uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
    const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < reps; ++i) {
        libyuv::ARGBToI420(frames[i % kPatterns].data.data(), kWidth * 4, y.data(), kWidth,
                           u.data(), kWidth / 2, v.data(), kWidth / 2, kWidth, kHeight);
    }
    return (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0) / reps;
}

double ConvertSwscale(const std::vector<Bgra> &frames, int reps) {
    SwsContext *sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGRA, kWidth, kHeight,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    std::vector<uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
    uint8_t *dst[] = {y.data(), u.data(), v.data()};
    int dstStride[] = {kWidth, kWidth / 2, kWidth / 2};
    const int srcStride[] = {kWidth * 4};
    const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < reps; ++i) {
        const uint8_t *src[] = {frames[i % kPatterns].data.data()};
        sws_scale(sws, src, srcStride, 0, kHeight, dst, dstStride);
    }
    const double cost = (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0) / reps;
    sws_freeContext(sws);
    return cost;
}

}  // namespace

int main() {
    const auto frames = MakeFrames();
    const double yuv = ConvertLibyuv(frames, 60);
    const double sws = ConvertSwscale(frames, 30);
    printf(
        "conversion BGRA->I420 %dx%d: libyuv %.2f ms/frame, libswscale %.2f ms/frame "
        "(libyuv/libswscale %.2f)\n",
        kWidth, kHeight, yuv * 1e3, sws * 1e3, yuv / sws);
    size_t plainBytes = 0;
    size_t layerBytes = 0;
    const Result plain = RunPlainLoop(frames, &plainBytes);
    const Result layer = RunLayer(frames, &layerBytes);
    const double reference = plain.cpuPerFrame + yuv;
    printf("plain loop (I420 in): %.1f fps, %.2f ms CPU/frame, %.1f Mbit/s at 60 fps\n", plain.fps,
           plain.cpuPerFrame * 1e3, plainBytes * 8.0 * 60 / kFrames / 1e6);
    printf("plain loop + libyuv conversion: %.2f ms CPU/frame, %.1f fps if serial\n",
           reference * 1e3, 1.0 / (1.0 / plain.fps + yuv));
    printf(
        "encoder layer (BGRA surface in, callback out): %.1f fps, %.2f ms CPU/frame, "
        "%.1f Mbit/s at 60 fps\n",
        layer.fps, layer.cpuPerFrame * 1e3, layerBytes * 8.0 * 60 / kFrames / 1e6);
    printf(
        "ratio layer/(loop+conversion): CPU %.3f (target <= 1.10), throughput vs loop+conversion "
        "%.3f, vs loop alone %.3f (target >= 0.90)\n",
        layer.cpuPerFrame / reference, layer.fps * (1.0 / plain.fps + yuv), layer.fps / plain.fps);
    return 0;
}
