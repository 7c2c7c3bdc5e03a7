#include "synthetic_source.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "mirrax_platform/display_config.h"
#include "mirrax_platform/frame_stamp.h"

namespace mirrax::platform::display {
namespace {

constexpr int kMinSide = 64;
constexpr int kMaxSide = 8192;

constexpr uint32_t Bgra(uint8_t r, uint8_t g, uint8_t b) {
    return 0xFF000000u | (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
}

constexpr uint32_t kSecureColor = Bgra(0xF0, 0x90, 0x20);
constexpr uint32_t kSecureStripe = Bgra(0xFF, 0xFF, 0xFF);
constexpr uint32_t kClockColor = Bgra(0xF0, 0xF0, 0xF0);

int64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Fills a rectangle, clipped to the picture.
void FillRect(Picture &picture, int x, int y, int w, int h, uint32_t color) {
    const int x0 = std::clamp(x, 0, picture.width);
    const int x1 = std::clamp(x + w, 0, picture.width);
    const int y0 = std::clamp(y, 0, picture.height);
    const int y1 = std::clamp(y + h, 0, picture.height);
    for (int row = y0; row < y1; ++row) {
        auto *pixels = reinterpret_cast<uint32_t *>(picture.Row(row));
        std::fill(pixels + x0, pixels + x1, color);
    }
}

// The seven segments of a digit, as rectangles in units of the segment thickness
// within a 5 x 9 cell: a, b, c, d, e, f, g.
struct Segment {
    int x, y, w, h;
};
constexpr Segment kSegments[7] = {{1, 0, 3, 1}, {4, 1, 1, 3}, {4, 5, 1, 3}, {1, 8, 3, 1},
                                  {0, 5, 1, 3}, {0, 1, 1, 3}, {1, 4, 3, 1}};
constexpr uint8_t kDigitSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

}  // namespace

std::unique_ptr<SyntheticSource> SyntheticSource::Create(const SyntheticOptions &options,
                                                         std::shared_ptr<ScreenCanvas> canvas,
                                                         SourceObserver *observer) {
    if (options.width < kMinSide || options.height < kMinSide || options.width > kMaxSide ||
        options.height > kMaxSide || options.fps < 1 || options.fps > 240 || canvas == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<SyntheticSource>(
        new SyntheticSource(options, std::move(canvas), observer));
}

SyntheticSource::SyntheticSource(const SyntheticOptions &options,
                                 std::shared_ptr<ScreenCanvas> canvas, SourceObserver *observer)
    : canvas_(std::move(canvas)), observer_(observer), fps_(options.fps) {
    geometry_.refreshRate = static_cast<uint32_t>(options.fps);
    geometry_.dpi = options.dpi;
    ApplyGeometry(options.width, options.height, OHOS::Rosen::Rotation::ROTATION_0);
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

SyntheticSource::~SyntheticSource() {
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

SourceGeometry SyntheticSource::Geometry() const {
    std::lock_guard lock(drawMutex_);
    return geometry_;
}

double SyntheticSource::CpuUsPerFrame() const {
    std::lock_guard lock(drawMutex_);
    return cpuFrames_ == 0 ? 0.0 : cpuNs_ / 1000.0 / static_cast<double>(cpuFrames_);
}

void SyntheticSource::SetStill(bool still) {
    {
        std::lock_guard lock(controlMutex_);
        still_ = still;
    }
    {
        // A frame already being drawn finishes before this returns; no frame starts
        // after it while still (Run checks stillDrawing_ under drawMutex_).
        std::lock_guard lock(drawMutex_);
        stillDrawing_ = still;
    }
    wake_.notify_all();
}

void SyntheticSource::Rotate() {
    std::lock_guard lock(drawMutex_);
    const auto rotation = geometry_.rotation == OHOS::Rosen::Rotation::ROTATION_0
                              ? OHOS::Rosen::Rotation::ROTATION_90
                              : OHOS::Rosen::Rotation::ROTATION_0;
    const int width = geometry_.height;
    const int height = geometry_.width;
    geometry_.rotation = rotation;
    ApplyGeometry(width, height, rotation);
}

bool SyntheticSource::Resize(int width, int height) {
    if (width < kMinSide || height < kMinSide || width > kMaxSide || height > kMaxSide) {
        return false;
    }
    std::lock_guard lock(drawMutex_);
    ApplyGeometry(width, height, geometry_.rotation);
    return true;
}

void SyntheticSource::ApplyGeometry(int width, int height, OHOS::Rosen::Rotation rotation) {
    // Called with drawMutex_ held, or from the constructor before the thread exists.
    geometry_.width = width;
    geometry_.height = height;
    geometry_.rotation = rotation;
    LayOut(width, height);
    canvas_->Update([&](Picture &picture, uint64_t sequence) {
        ResizePicture(picture, width, height);
        DrawFull(picture, sequence);
        return true;
    });
    if (observer_ != nullptr) {
        observer_->OnSourceGeometry(geometry_);
    }
}

void SyntheticSource::LayOut(int width, int height) {
    const int minSide = std::min(width, height);
    boxTop_ = stamp::StampHeight(height) + height / 50;
    boxBottom_ = height * 50 / 100;
    const int size = std::max(8, minSide / 7);
    const uint32_t colors[3] = {Bgra(0xE0, 0x30, 0x30), Bgra(0x30, 0xC0, 0x40),
                                Bgra(0x40, 0x60, 0xF0)};
    for (size_t i = 0; i < boxes_.size(); ++i) {
        Box &box = boxes_[i];
        box.size = size;
        box.x = static_cast<int>(i) * width / 3;
        box.y = boxTop_ + static_cast<int>(i) * (boxBottom_ - boxTop_ - size) / 3;
        box.dx = std::max(1, minSide / 180) * (i % 2 == 0 ? 1 : -1) * static_cast<int>(i + 2);
        box.dy = std::max(1, minSide / 200) * static_cast<int>(i + 1);
        box.color = colors[i];
    }
    secure_ = SecureWindow{kSyntheticSecureWindowId, width / 8, height * 55 / 100, width * 3 / 4,
                           height / 8};
    clockDigitW_ = std::max(3, width / 16);
    clockDigitH_ = clockDigitW_ * 9 / 5;
    clockX_ = width / 12;
    clockY_ = height * 75 / 100;
}

void SyntheticSource::FillBackground(Picture &picture, int x, int y, int w, int h) const {
    // A vertical gradient: each row one colour, so any rectangle restores cheaply.
    const int y0 = std::clamp(y, 0, picture.height);
    const int y1 = std::clamp(y + h, 0, picture.height);
    for (int row = y0; row < y1; ++row) {
        const int level = row * 160 / std::max(1, picture.height);
        FillRect(picture, x, row, w, 1,
                 Bgra(static_cast<uint8_t>(20 + level / 4), static_cast<uint8_t>(30 + level / 3),
                      static_cast<uint8_t>(60 + level)));
    }
}

void SyntheticSource::DrawFull(Picture &picture, uint64_t sequence) {
    FillBackground(picture, 0, 0, picture.width, picture.height);
    FillRect(picture, secure_.x, secure_.y, secure_.width, secure_.height, kSecureColor);
    const int stripe = std::max(1, secure_.height / 10);
    for (int y = secure_.y + stripe; y + stripe <= secure_.y + secure_.height; y += 3 * stripe) {
        FillRect(picture, secure_.x + stripe, y, secure_.width - 2 * stripe, stripe, kSecureStripe);
    }
    picture.secureWindows.assign(1, secure_);
    for (const Box &box : boxes_) {
        FillRect(picture, box.x, box.y, box.size, box.size, box.color);
    }
    DrawClock(picture);
    stamp::Draw(picture.pixels, picture.width, picture.height, picture.stride,
                stamp::Stamp{static_cast<uint32_t>(sequence), stamp::NowUs()});
}

void SyntheticSource::DrawChanges(Picture &picture, uint64_t sequence) {
    for (const Box &box : boxes_) {
        FillBackground(picture, box.x, box.y, box.size, box.size);
    }
    for (Box &box : boxes_) {
        box.x += box.dx;
        box.y += box.dy;
        if (box.x < 0 || box.x + box.size > picture.width) {
            box.dx = -box.dx;
            box.x = std::clamp(box.x, 0, std::max(0, picture.width - box.size));
        }
        if (box.y < boxTop_ || box.y + box.size > boxBottom_) {
            box.dy = -box.dy;
            box.y = std::clamp(box.y, boxTop_, std::max(boxTop_, boxBottom_ - box.size));
        }
        FillRect(picture, box.x, box.y, box.size, box.size, box.color);
    }
    DrawClock(picture);
    stamp::Draw(picture.pixels, picture.width, picture.height, picture.stride,
                stamp::Stamp{static_cast<uint32_t>(sequence), stamp::NowUs()});
}

void SyntheticSource::DrawClock(Picture &picture) {
    // "HH:MM:SS.d" in seven-segment digits, local wall-clock time.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const int digits[7] = {local.tm_hour / 10,
                           local.tm_hour % 10,
                           local.tm_min / 10,
                           local.tm_min % 10,
                           local.tm_sec / 10,
                           local.tm_sec % 10,
                           static_cast<int>(now.tv_nsec / 100000000)};
    const int unit = std::max(1, clockDigitW_ / 5);
    const int advance = clockDigitW_ + 2 * unit;
    const int sepAdvance = 3 * unit;
    const int totalWidth = 7 * advance + 3 * sepAdvance;
    FillBackground(picture, clockX_, clockY_, totalWidth, 9 * unit);
    int x = clockX_;
    for (int i = 0; i < 7; ++i) {
        const uint8_t mask = kDigitSegments[digits[i]];
        for (int s = 0; s < 7; ++s) {
            if ((mask >> s) & 1) {
                const Segment &seg = kSegments[s];
                FillRect(picture, x + seg.x * unit, clockY_ + seg.y * unit, seg.w * unit,
                         seg.h * unit, kClockColor);
            }
        }
        x += advance;
        if (i == 1 || i == 3) {  // ':'
            FillRect(picture, x, clockY_ + 2 * unit, unit, unit, kClockColor);
            FillRect(picture, x, clockY_ + 6 * unit, unit, unit, kClockColor);
            x += sepAdvance;
        } else if (i == 5) {  // '.'
            FillRect(picture, x, clockY_ + 8 * unit, unit, unit, kClockColor);
            x += sepAdvance;
        }
    }
}

void SyntheticSource::Run(std::stop_token stop) {
    pthread_setname_np(pthread_self(), "synthetic-draw");
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / fps_;
    Clock::time_point next = Clock::now() + period;
    while (!stop.stop_requested()) {
        {
            std::unique_lock lock(controlMutex_);
            if (still_) {
                if (!wake_.wait(lock, stop, [this] { return !still_; })) {
                    break;
                }
                next = Clock::now() + period;
            }
            // Wakes at the next frame time, or early when stopped or set still.
            if (wake_.wait_until(lock, stop, next, [this] { return still_; }) ||
                stop.stop_requested()) {
                continue;
            }
        }
        {
            std::lock_guard lock(drawMutex_);
            if (stillDrawing_) {
                continue;
            }
            const int64_t cpu0 = ThreadCpuNs();
            canvas_->Update([&](Picture &picture, uint64_t sequence) {
                DrawChanges(picture, sequence);
                return true;
            });
            cpuNs_ += static_cast<double>(ThreadCpuNs() - cpu0);
            ++cpuFrames_;
        }
        next += period;
        const Clock::time_point now = Clock::now();
        if (now > next + period) {
            next = now + period;  // fell behind: skip, do not burst
        }
    }
}

}  // namespace mirrax::platform::display
