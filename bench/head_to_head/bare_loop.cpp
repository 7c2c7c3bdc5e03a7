// h2h_bare_loop: the CPU floor for mirroring an X screen. One thread reads the root
// window with MIT-SHM at a fixed rate, and when the picture's frame stamp differs from
// the last one converts it BGRA->I420 with libyuv and encodes it with libx264 through
// libavcodec, with the project encoder's settings (ultrafast, zerolatency, CBR with
// half a second of buffer, no B-frames, key frames only by time, SPS/PPS repeated).
//
//   h2h_bare_loop --display :N --log FILE [--seconds S] [--skip S] [--fps 60]
//                 [--bitrate BIT/S] [--key-interval-ms MS]
//
// Log lines: "SEQUENCE CAPTURED_US ENCODED_US BYTES KEY" (CLOCK_MONOTONIC). At the end
// one JSON line on standard output: pictures encoded, and the process's CPU time
// (getrusage, every thread) per encoded picture over the run after the first --skip
// seconds.
#include <libyuv/convert.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "mirrax_media/av_handles.h"
#include "mirrax_platform/frame_stamp.h"
#include "x11_shm.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace mirrax::h2h {
namespace {

volatile sig_atomic_t gStop = 0;
void OnStopSignal(int) { gStop = 1; }

struct Options {
    std::string display;
    std::string log;
    double seconds = 10;
    double skip = 1;
    int fps = 60;
    int64_t bitRate = 31457280;
    int keyIntervalMs = 2000;
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--display") {
            o->display = value;
        } else if (arg == "--log") {
            o->log = value;
        } else if (arg == "--seconds") {
            o->seconds = std::atof(value.c_str());
        } else if (arg == "--skip") {
            o->skip = std::atof(value.c_str());
        } else if (arg == "--fps") {
            o->fps = std::atoi(value.c_str());
        } else if (arg == "--bitrate") {
            o->bitRate = std::atoll(value.c_str());
        } else if (arg == "--key-interval-ms") {
            o->keyIntervalMs = std::atoi(value.c_str());
        } else {
            return false;
        }
    }
    return !o->display.empty() && !o->log.empty() && o->seconds > 0 && o->skip >= 0 && o->fps > 0 &&
           o->fps <= 240 && o->bitRate > 0;
}

int64_t ProcessCpuUs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (static_cast<int64_t>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1'000'000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

class Encoder {
public:
    bool Open(int width, int height, int fps, int64_t bitRate, std::string *error) {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) {
            *error = "libavcodec has no libx264";
            return false;
        }
        context_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!context_ || !frame_ || !packet_) {
            *error = "out of memory";
            return false;
        }
        AVCodecContext *c = context_.get();
        c->width = width;
        c->height = height;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{1, 1'000'000};
        c->framerate = AVRational{fps, 1};
        c->max_b_frames = 0;
        c->color_range = AVCOL_RANGE_MPEG;
        c->colorspace = AVCOL_SPC_SMPTE170M;  // libyuv's ARGBToI420 is BT.601
        c->color_primaries = AVCOL_PRI_BT709;
        c->color_trc = AVCOL_TRC_BT709;
        c->bit_rate = bitRate;
        c->rc_max_rate = bitRate;
        c->rc_buffer_size = static_cast<int>(std::min<int64_t>(bitRate / 2, INT32_MAX));
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
        av_opt_set(c->priv_data, "x264-params", "keyint=infinite:scenecut=0:repeat-headers=1", 0);
        int rc = avcodec_open2(c, codec, nullptr);
        if (rc < 0) {
            *error = "avcodec_open2: " + av::AvError(rc);
            return false;
        }
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = width;
        frame_->height = height;
        if ((rc = av_frame_get_buffer(frame_.get(), 0)) < 0) {
            *error = "av_frame_get_buffer: " + av::AvError(rc);
            return false;
        }
        return true;
    }

    // Converts and encodes one BGRA picture; returns the bytes of the packet(s) it
    // gave, or nothing on failure.
    std::optional<int> Encode(const uint8_t *bgra, int stride, int64_t ptsUs, bool key) {
        if (av_frame_make_writable(frame_.get()) < 0) {
            return std::nullopt;
        }
        libyuv::ARGBToI420(bgra, stride, frame_->data[0], frame_->linesize[0], frame_->data[1],
                           frame_->linesize[1], frame_->data[2], frame_->linesize[2],
                           context_->width, context_->height);
        frame_->pts = ptsUs;
        frame_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        int rc = avcodec_send_frame(context_.get(), frame_.get());
        if (rc < 0) {
            fprintf(stderr, "h2h_bare_loop: avcodec_send_frame: %s\n", av::AvError(rc).c_str());
            return std::nullopt;
        }
        int bytes = 0;
        while ((rc = avcodec_receive_packet(context_.get(), packet_.get())) == 0) {
            bytes += packet_->size;
            av_packet_unref(packet_.get());
        }
        if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
            fprintf(stderr, "h2h_bare_loop: avcodec_receive_packet: %s\n", av::AvError(rc).c_str());
            return std::nullopt;
        }
        return bytes;
    }

private:
    av::CodecContextPtr context_;
    av::FramePtr frame_;
    av::PacketPtr packet_;
};

int Run(const Options &options) {
    Display display;
    std::string error;
    if (!OpenDisplay(options.display, &display, &error)) {
        fprintf(stderr, "h2h_bare_loop: %s\n", error.c_str());
        return 1;
    }
    xcb_connection_t *c = display.connection.get();
    const int width = display.width & ~1;
    const int height = display.height & ~1;
    const int stride = display.width * 4;
    auto segment = ShmSegment::Create(c, static_cast<size_t>(stride) * display.height, &error);
    Encoder encoder;
    if (!segment || !encoder.Open(width, height, options.fps, options.bitRate, &error)) {
        fprintf(stderr, "h2h_bare_loop: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> log(fopen(options.log.c_str(), "w"), fclose);
    if (!log) {
        fprintf(stderr, "h2h_bare_loop: cannot write %s: %s\n", options.log.c_str(),
                std::strerror(errno));
        return 1;
    }

    const int64_t periodUs = 1'000'000 / options.fps;
    const int64_t startUs = NowUs();
    const int64_t windowStartUs = startUs + static_cast<int64_t>(options.skip * 1e6);
    const int64_t endUs = startUs + static_cast<int64_t>(options.seconds * 1e6);
    std::optional<uint32_t> lastSequence;
    std::optional<int64_t> lastKeyUs;
    int64_t cpuAtWindowUs = -1;
    uint64_t encoded = 0;
    uint64_t windowEncoded = 0;
    uint64_t captures = 0;
    uint64_t unchanged = 0;
    uint64_t unstamped = 0;
    int64_t next = startUs;
    bool ok = true;
    while (gStop == 0) {
        next += periodUs;
        if (next >= endUs) {
            break;
        }
        const timespec until{static_cast<time_t>(next / 1'000'000),
                             static_cast<long>(next % 1'000'000) * 1000};
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            continue;
        }
        if (NowUs() > next + periodUs) {
            next = NowUs();  // fell behind by a whole period: restart the grid from now
        }
        if (cpuAtWindowUs < 0 && NowUs() >= windowStartUs) {
            cpuAtWindowUs = ProcessCpuUs();
        }
        xcb_generic_error_t *rawError = nullptr;
        Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            c,
            xcb_shm_get_image(c, display.root, 0, 0, static_cast<uint16_t>(display.width),
                              static_cast<uint16_t>(display.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              segment->Seg(), 0),
            &rawError));
        Reply<xcb_generic_error_t> imageError(rawError);
        if (!image) {
            fprintf(stderr, "h2h_bare_loop: the X server did not give the screen\n");
            ok = false;
            break;
        }
        ++captures;
        const int64_t capturedUs = NowUs();
        const auto stamp = stamp::ReadBgra(segment->Data(), display.width, display.height, stride);
        if (!stamp) {
            ++unstamped;
        } else if (lastSequence && *lastSequence == stamp->sequence) {
            ++unchanged;
            continue;
        }
        if (stamp) {
            lastSequence = stamp->sequence;
        }
        const bool key = !lastKeyUs || (options.keyIntervalMs > 0 &&
                                        capturedUs - *lastKeyUs >= options.keyIntervalMs * 1000LL);
        if (key) {
            lastKeyUs = capturedUs;
        }
        const std::optional<int> bytes = encoder.Encode(segment->Data(), stride, capturedUs, key);
        if (!bytes) {
            ok = false;
            break;
        }
        const int64_t encodedUs = NowUs();
        ++encoded;
        if (cpuAtWindowUs >= 0) {
            ++windowEncoded;
        }
        fprintf(log.get(), "%lld %lld %lld %d %d\n",
                stamp ? static_cast<long long>(stamp->sequence) : -1LL,
                static_cast<long long>(capturedUs), static_cast<long long>(encodedUs), *bytes,
                key ? 1 : 0);
    }
    const int64_t cpuEndUs = ProcessCpuUs();
    const double windowSeconds =
        static_cast<double>(NowUs() - std::max(windowStartUs, startUs)) / 1e6;
    const double cpuMsPerFrame =
        windowEncoded == 0 || cpuAtWindowUs < 0
            ? 0.0
            : static_cast<double>(cpuEndUs - cpuAtWindowUs) / 1000.0 / windowEncoded;
    printf(
        "{\"encoded\": %llu, \"window_encoded\": %llu, \"window_s\": %.3f, "
        "\"cpu_ms_per_frame\": %.3f, \"captures\": %llu, \"unchanged\": %llu, "
        "\"unstamped\": %llu}\n",
        static_cast<unsigned long long>(encoded), static_cast<unsigned long long>(windowEncoded),
        windowSeconds, cpuMsPerFrame, static_cast<unsigned long long>(captures),
        static_cast<unsigned long long>(unchanged), static_cast<unsigned long long>(unstamped));
    fflush(stdout);
    return ok && encoded > 0 ? 0 : 1;
}

}  // namespace
}  // namespace mirrax::h2h

int main(int argc, char **argv) {
    mirrax::h2h::Options options;
    if (!mirrax::h2h::ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: h2h_bare_loop --display :N --log FILE [--seconds S] [--skip S] [--fps N] "
                "[--bitrate BIT/S] [--key-interval-ms MS]\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = mirrax::h2h::OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return mirrax::h2h::Run(options);
}
