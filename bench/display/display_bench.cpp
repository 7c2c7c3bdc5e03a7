// Mirroring cost at 1080x2340, interval 2 (60 fps): a same-size virtual screen and a
// 360x780 one, each with a consumer thread. Prints delivered frame rate, process CPU
// per delivered frame, the cost of one plain memcpy of a frame, and the synthetic
// source's drawing CPU per frame.
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "mirrax_platform/display_config.h"
#include "screen_manager.h"
#include "surface.h"

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double MemcpyMs(size_t bytes) {
    std::vector<uint8_t> from(bytes, 1), to(bytes, 0);
    std::memcpy(to.data(), from.data(), bytes);  // warm both
    constexpr int kRuns = 50;
    const double start = ThreadCpuSeconds();
    for (int i = 0; i < kRuns; ++i) {
        from[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        std::memcpy(to.data(), from.data(), bytes);
    }
    const double ms = (ThreadCpuSeconds() - start) * 1000.0 / kRuns;
    std::printf("  (memcpy check byte %d)\n", to[7]);
    return ms;
}

void Run(uint32_t width, uint32_t height, double seconds, double memcpyMs) {
    using namespace OHOS::Rosen;
    OHOS::sptr<OHOS::Surface> surface = OHOS::Surface::Create();
    VirtualScreenOption option;
    option.name_ = "bench";
    option.width_ = width;
    option.height_ = height;
    option.density_ = 0;
    option.flags_ = 0;
    ScreenManager &screens = ScreenManager::GetInstance();
    const ScreenId id = screens.CreateVirtualScreen(option);
    screens.SetVirtualScreenSurface(id, surface);
    screens.SetVirtualScreenRefreshRate(id, 2);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> frames{0};
    std::thread consumer([&] {
        while (!stop.load()) {
            OHOS::Surface::AcquireResult result{};
            OHOS::SurfaceBuffer *buffer =
                surface->AcquireBuffer(std::chrono::milliseconds(100), &result);
            if (result == OHOS::Surface::AcquireResult::kShutdown) {
                break;
            }
            if (buffer != nullptr) {
                frames.fetch_add(1);
                surface->ReleaseBuffer(buffer);
            }
        }
    });
    ScreenId group = 0;
    screens.MakeMirror(0, {id}, group);
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = ProcessCpuSeconds();
    const uint64_t frames0 = frames.load();
    const uint64_t source0 = mirrax::platform::GetDisplayStats().sourceFrames;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // measurement window
    const double cpu = ProcessCpuSeconds() - cpu0;
    const uint64_t delivered = frames.load() - frames0;
    const uint64_t drawn = mirrax::platform::GetDisplayStats().sourceFrames - source0;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    screens.DestroyVirtualScreen(id);
    stop.store(true);
    surface->Shutdown();
    consumer.join();

    const double perFrameMs = cpu * 1000.0 / static_cast<double>(delivered ? delivered : 1);
    std::printf(
        "%ux%u: delivered %.1f fps (source %.1f fps), process CPU %.3f ms/frame "
        "(%.1f%% of one core), memcpy of a 1080x2340 frame %.3f ms, ratio %.2f\n",
        width, height, static_cast<double>(delivered) / elapsed,
        static_cast<double>(drawn) / elapsed, perFrameMs, cpu / elapsed * 100.0, memcpyMs,
        perFrameMs / memcpyMs);
}

}  // namespace

int main() {
    std::string error;
    if (!mirrax::platform::ConfigureDisplay("synthetic:1080x2340@60", &error)) {
        std::fprintf(stderr, "display: %s\n", error.c_str());
        return 1;
    }
    const double memcpyMs = MemcpyMs(1080u * 2340u * 4u);
    Run(1080, 2340, 4.0, memcpyMs);
    Run(360, 780, 4.0, memcpyMs);
    const auto stats = mirrax::platform::GetDisplayStats();
    std::printf("synthetic source drawing: %.3f ms CPU per 1080x2340 frame (%llu frames)\n",
                stats.sourceDrawCpuUs / 1000.0,
                static_cast<unsigned long long>(stats.sourceFrames));
    return 0;
}
