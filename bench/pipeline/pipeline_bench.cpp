// The whole pipeline on the synthetic 1080x2340 screen at 60 fps: the real host
// streams to a gRPC client for a while at each scale. Reports frames received per
// second, the host's CPU per frame next to the encoder layer's CPU per frame for
// frames of the same screen measured in this run, and the latency from each frame's
// drawing (its stamp) to its arrival at the client.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_encoder.h"
#include "host_fixture.h"
#include "mirrax_platform/display_config.h"
#include "mirrax_platform/frame_stamp.h"
#include "multimedia/player_framework/native_avcodec_videoencoder.h"
#include "screen_manager.h"
#include "stream_client.h"
#include "support/h264_decoder.h"
#include "window.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kScreenWidth = 1080;
constexpr int kScreenHeight = 2340;
constexpr int kCapturedFrames = 32;
constexpr int kReferenceFrames = 300;
constexpr int64_t kBitRate = 31457280;

// utime + stime of a process, or of one of its threads when `tid` is given.
double ProcessCpuSeconds(pid_t pid, pid_t tid = 0) {
    std::ifstream stat(tid == 0 ? "/proc/" + std::to_string(pid) + "/stat"
                                : "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                                      "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::istringstream in(text.substr(text.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string f; in >> f;) {
        fields.push_back(f);
    }
    if (fields.size() < 13) {
        return 0;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;  // utime + stime
}

// CPU seconds of a process by thread role: the screen's own drawing, the mirror
// worker, the encoder's threads, and the rest (x264's workers, which take the name
// of the thread that configured the encoder, gRPC, the library's callback work).
struct RoleCpu {
    double drawing = 0;
    double mirror = 0;
    double encoder = 0;
    double other = 0;
    double Total() const { return drawing + mirror + encoder + other; }
};

RoleCpu ProcessCpuByRole(pid_t pid) {
    RoleCpu cpu;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream commFile(task.path() / "comm");
        std::string comm;
        std::getline(commFile, comm);
        const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
        const double seconds = ProcessCpuSeconds(pid, tid);
        if (comm.rfind("synthetic-draw", 0) == 0) {
            cpu.drawing += seconds;
        } else if (comm.rfind("mirror-", 0) == 0) {
            cpu.mirror += seconds;
        } else if (comm.rfind("mirrax-venc", 0) == 0) {
            cpu.encoder += seconds;
        } else {
            cpu.other += seconds;
        }
    }
    return cpu;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[index];
}

struct PipelineFigures {
    double fps = 0;
    double cpuPerFrameMs = 0;  // the host without the screen's own drawing
    RoleCpu perFrameMs;
    double medianLatencyMs = 0;
    double p99LatencyMs = 0;
    size_t frames = 0;
    int width = 0;
    int height = 0;
};

PipelineFigures MeasurePipeline(int scale, double seconds) {
    PipelineFigures figures;
    mirrax::test::HostProcess host({"-scale", std::to_string(scale)});
    if (!host.Ready()) {
        fprintf(stderr, "pipeline_bench: the host did not start\n");
        return figures;
    }
    auto stream = std::make_unique<mirrax::test::StreamCall>(host.Target());
    // Skip the start-up: measure from the tenth frame on.
    if (!stream->WaitForFrames(10, 20s)) {
        fprintf(stderr, "pipeline_bench: no frames arrived\n");
        return figures;
    }
    const size_t first = stream->FrameCount();
    const RoleCpu cpu0 = ProcessCpuByRole(host.Process().Pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_until(t0 + std::chrono::duration<double>(seconds));
    const size_t last = stream->FrameCount();
    const RoleCpu cpu1 = ProcessCpuByRole(host.Process().Pid());
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    mirrax::test::CallEnd(host.Target());
    stream->WaitForEnd(10s);
    const auto frames = stream->Frames();
    stream.reset();
    host.Stop();

    figures.frames = last - first;
    figures.fps = static_cast<double>(figures.frames) / elapsed;
    const double perFrame = 1000.0 / static_cast<double>(figures.frames);
    figures.perFrameMs.drawing = (cpu1.drawing - cpu0.drawing) * perFrame;
    figures.perFrameMs.mirror = (cpu1.mirror - cpu0.mirror) * perFrame;
    figures.perFrameMs.encoder = (cpu1.encoder - cpu0.encoder) * perFrame;
    figures.perFrameMs.other = (cpu1.other - cpu0.other) * perFrame;
    figures.cpuPerFrameMs = figures.perFrameMs.Total() - figures.perFrameMs.drawing;
    mirrax::test::H264Decoder decoder;
    std::vector<double> latencies;
    for (size_t i = 0; i < frames.size(); ++i) {
        for (const auto &picture : decoder.Decode(frames[i].data)) {
            figures.width = picture.width;
            figures.height = picture.height;
            if (i >= first && i < last && picture.drawTimeUs) {
                latencies.push_back(
                    mirrax::stamp::ElapsedUs(*picture.drawTimeUs, frames[i].arrivalUs) / 1000.0);
            }
        }
    }
    figures.medianLatencyMs = Percentile(latencies, 0.5);
    figures.p99LatencyMs = Percentile(latencies, 0.99);
    return figures;
}

// Start-up of `streams` calls made one after another on one host: the time from the
// call to the first picture's arrival, and each of the first pictures' latency from
// its drawing to its arrival (a backlog shows as latencies that fall picture by
// picture).
void MeasureStartup(int streams, const std::string &display) {
    constexpr size_t kShown = 12;
    std::vector<std::string> hostOptions;
    if (!display.empty()) {
        hostOptions = {"--display", display};
    }
    mirrax::test::HostProcess host({"-frameRate", "60"}, hostOptions);
    if (!host.Ready()) {
        fprintf(stderr, "pipeline_bench: the host did not start\n");
        return;
    }
    printf("start-up: %d streams, %s screen, 60 fps\n", streams,
           display.empty() ? "the synthetic" : display.c_str());
    printf("%-7s %14s   %s\n", "stream", "first picture",
           "drawing -> arrival of pictures 1..12, ms");
    for (int s = 0; s < streams; ++s) {
        const uint32_t calledUs = mirrax::stamp::NowUs();
        auto stream = std::make_unique<mirrax::test::StreamCall>(host.Target());
        if (!stream->WaitForFrames(kShown + 1, 20s)) {
            fprintf(stderr, "pipeline_bench: no frames arrived\n");
            return;
        }
        mirrax::test::CallEnd(host.Target());
        stream->WaitForEnd(10s);
        const auto frames = stream->Frames();
        stream.reset();
        mirrax::test::H264Decoder decoder;
        std::string line;
        double firstMs = -1;
        size_t pictures = 0;
        for (size_t i = 0; i < frames.size() && pictures < kShown; ++i) {
            for (const auto &picture : decoder.Decode(frames[i].data)) {
                if (firstMs < 0) {
                    firstMs = mirrax::stamp::ElapsedUs(calledUs, frames[i].arrivalUs) / 1000.0;
                }
                if (picture.drawTimeUs && pictures < kShown) {
                    char cell[16];
                    snprintf(cell, sizeof cell, " %5.1f",
                             mirrax::stamp::ElapsedUs(*picture.drawTimeUs, frames[i].arrivalUs) /
                                 1000.0);
                    line += cell;
                    ++pictures;
                }
            }
        }
        printf("%-7d %11.1f ms  %s\n", s + 1, firstMs, line.c_str());
        std::string sizes;
        for (size_t i = 1; i < frames.size() && i <= kShown; ++i) {
            sizes += " " + std::to_string(frames[i].data.size() / 1024);
        }
        printf("%-7s %14s   KB:%s\n", "", "", sizes.c_str());
        fflush(stdout);
    }
    host.Stop();
}

// Frames of the synthetic screen at the video size, taken through a virtual screen.
std::vector<std::vector<uint8_t>> CaptureScreen(int width, int height) {
    std::vector<std::vector<uint8_t>> frames;
    auto &screens = OHOS::Rosen::ScreenManager::GetInstance();
    OHOS::Rosen::VirtualScreenOption option;
    option.name_ = "bench";
    option.width_ = static_cast<uint32_t>(width);
    option.height_ = static_cast<uint32_t>(height);
    option.density_ = 480;
    option.flags_ = 0;
    auto surface = OHOS::Surface::Create();
    const auto id = screens.CreateVirtualScreen(option);
    screens.SetVirtualScreenSurface(id, surface);
    screens.SetVirtualScreenRefreshRate(id, 2);
    OHOS::Rosen::ScreenId group = 0;
    screens.MakeMirror(0, {id}, group);
    while (frames.size() < kCapturedFrames) {
        OHOS::Surface::AcquireResult result;
        OHOS::SurfaceBuffer *buffer = surface->AcquireBuffer(2s, &result);
        if (buffer == nullptr) {
            break;
        }
        frames.push_back(buffer->data);
        surface->ReleaseBuffer(buffer);
    }
    screens.DestroyVirtualScreen(id);
    return frames;
}

struct EncoderCounter {
    std::mutex mutex;
    std::condition_variable changed;
    int pictures = 0;
};

EncoderCounter g_counter;

void OnOutput(OH_AVCodec *codec, uint32_t index, OH_AVMemory *, OH_AVCodecBufferAttr *attr,
              void *) {
    if ((attr->flags & AVCODEC_BUFFER_FLAGS_CODEC_DATA) == 0 && attr->size > 0) {
        std::lock_guard<std::mutex> lock(g_counter.mutex);
        ++g_counter.pictures;
        g_counter.changed.notify_all();
    }
    OH_VideoEncoder_FreeOutputData(codec, index);
}

// CPU per frame of the encoder layer alone (conversion, x264, callback), fed with
// the captured frames at 60 fps through its surface, with the library's settings.
double MeasureEncoderLayer(int width, int height) {
    const auto frames = CaptureScreen(width, height);
    if (frames.empty()) {
        return 0;
    }
    mirrax::platform::SetSyntheticStill(true);  // its drawing is not the encoder's cost
    auto encoder = std::make_unique<mirrax::bench::BenchEncoder>(
        mirrax::bench::BenchEncoderSettings{.width = width,
                                            .height = height,
                                            .frameRate = 120.0,
                                            .bitRate = kBitRate,
                                            .iFrameIntervalMs = 2000},
        OnOutput, nullptr);
    const OHOS::sptr<OHOS::Surface> surface = encoder->Surface();
    if (!surface) {
        mirrax::platform::SetSyntheticStill(false);
        return 0;
    }

    const double cpu0 = ProcessCpuSeconds(getpid());
    const double feeder0 = ThreadCpuSeconds();
    auto next = Clock::now();
    for (int i = 0; i < kReferenceFrames; ++i) {
        OHOS::SurfaceBuffer *buffer = surface->RequestBuffer(width, height);
        if (buffer != nullptr) {
            const auto &frame = frames[static_cast<size_t>(i) % frames.size()];
            std::copy(frame.begin(), frame.end(), buffer->data.begin());
            surface->FlushBuffer(buffer, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             Clock::now().time_since_epoch())
                                             .count());
        }
        next += 16667us;
        std::this_thread::sleep_until(next);  // the screen's pace, not a synchronisation
    }
    const double feeder = ThreadCpuSeconds() - feeder0;
    int encoded = 0;
    {
        std::unique_lock<std::mutex> lock(g_counter.mutex);
        g_counter.changed.wait_for(lock, 10s,
                                   [] { return g_counter.pictures >= kReferenceFrames - 2; });
        encoded = g_counter.pictures;
    }
    const double cpu = ProcessCpuSeconds(getpid()) - cpu0 - feeder;
    encoder.reset();
    {
        std::lock_guard<std::mutex> lock(g_counter.mutex);
        g_counter.pictures = 0;
    }
    mirrax::platform::SetSyntheticStill(false);
    return encoded > 0 ? cpu * 1000.0 / encoded : 0;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = 10;
    std::vector<int> scales = {1, 2, 3};
    int startupStreams = 0;
    std::string display;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--scales" && i + 1 < argc) {
            scales.clear();
            std::istringstream in(argv[++i]);
            for (std::string s; std::getline(in, s, ',');) {
                scales.push_back(std::atoi(s.c_str()));
            }
        } else if (arg == "--startup" && i + 1 < argc) {
            startupStreams = std::atoi(argv[++i]);
        } else if (arg == "--display" && i + 1 < argc) {
            display = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: pipeline_bench [--seconds S] [--scales 1,2,3] [--startup N [--display "
                    "SOURCE]]\n");
            return 2;
        }
    }
    if (startupStreams > 0) {
        MeasureStartup(startupStreams, display);
        return 0;
    }
    printf("pipeline: synthetic %dx%d at 60 fps, default options, %.0f s per scale\n", kScreenWidth,
           kScreenHeight, seconds);
    printf("host ms/frame: the host's CPU per received frame without the screen's own drawing\n");
    printf("%-6s %-10s %9s %14s %14s %9s %12s %12s   %s\n", "scale", "video", "fps",
           "host ms/frame", "layer ms/frame", "overhead", "latency p50", "latency p99",
           "host by thread: draw/mirror/encoder+rpc ms");
    for (int scale : scales) {
        const PipelineFigures pipeline = MeasurePipeline(scale, seconds);
        int width = kScreenWidth / scale;
        int height = kScreenHeight / scale;
        width += width % 2;
        height += height % 2;
        const double layer = MeasureEncoderLayer(width, height);
        const std::string video =
            std::to_string(pipeline.width) + "x" + std::to_string(pipeline.height);
        printf("%-6d %-10s %9.1f %14.2f %14.2f %8.2fx %10.1f ms %10.1f ms   %.2f/%.2f/%.2f\n",
               scale, video.c_str(), pipeline.fps, pipeline.cpuPerFrameMs, layer,
               layer > 0 ? pipeline.cpuPerFrameMs / layer : 0.0, pipeline.medianLatencyMs,
               pipeline.p99LatencyMs, pipeline.perFrameMs.drawing, pipeline.perFrameMs.mirror,
               pipeline.perFrameMs.encoder + pipeline.perFrameMs.other);
        fflush(stdout);
    }
    return 0;
}
