// h2h_animator: plays moving content full-screen on an X display at a fixed rate and
// logs when each frame was really on the screen.
//
//   h2h_animator --display :N --content scroll|fractal --log FILE [--fps 60]
//                [--cycle FRAMES] [--seconds S]
//
// Every frame is precomputed into shared memory before the clock starts; at run time a
// frame only gets its stamp (sequence number = its slot on the frame-rate grid, and the
// draw time) and is put on the root window with one MIT-SHM PutImage, so a reader of
// the screen never sees a new picture with an old stamp. Frames are paced on absolute
// CLOCK_MONOTONIC deadlines. A frame that cannot be shown before the next slot's
// deadline is skipped (its sequence number never appears) and counted as missed.
//
// Prints "ready WxH" on standard output once the first frame is on the screen. The log
// has one line per shown frame: "SEQUENCE DRAWN_US SHOWN_US", where SHOWN_US is the
// monotonic time after a round trip that followed the PutImage (the X server had
// copied the frame by then). Runs until S seconds have passed or SIGINT/SIGTERM, then
// prints a summary on standard error.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <xcb/shm.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mirrax_platform/frame_stamp.h"
#include "x11_shm.h"

namespace mirrax::h2h {
namespace {

volatile sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

struct Options {
    std::string display;
    std::string content = "scroll";
    std::string log;
    int fps = 60;
    int cycle = 120;
    double seconds = 0;  // 0: until a signal
};

void Usage() {
    fprintf(stderr,
            "usage: h2h_animator --display :N --content scroll|fractal --log FILE [--fps N] "
            "[--cycle FRAMES] [--seconds S]\n");
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--display") {
            o->display = value;
        } else if (arg == "--content") {
            o->content = value;
        } else if (arg == "--log") {
            o->log = value;
        } else if (arg == "--fps") {
            o->fps = std::atoi(value.c_str());
        } else if (arg == "--cycle") {
            o->cycle = std::atoi(value.c_str());
        } else if (arg == "--seconds") {
            o->seconds = std::atof(value.c_str());
        } else {
            return false;
        }
    }
    return !o->display.empty() && !o->log.empty() && o->fps > 0 && o->fps <= 240 && o->cycle > 0 &&
           (o->content == "scroll" || o->content == "fractal");
}

// Runs fn(first, last) over [0, count) split between `threads` named worker threads
// and joins them.
template <typename Fn>
void ParallelFor(int count, int threads, const Fn &fn) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        const int first = count * t / threads;
        const int last = count * (t + 1) / threads;
        workers.emplace_back([&fn, first, last] {
            pthread_setname_np(pthread_self(), "h2h-precompute");
            fn(first, last);
        });
    }
    for (auto &w : workers) {
        w.join();
    }
}

// The image of one slot: a segment and the row where the visible screen starts in it
// (the segment may be taller than the screen).
struct Image {
    const ShmSegment *segment;
    uint8_t *firstRow;
    int totalHeight;
    int srcY;
};

class Content {
public:
    virtual ~Content() = default;
    virtual Image ForSlot(uint64_t slot) = 0;
    // Images that together cover every byte ForSlot can hand out.
    virtual std::vector<Image> Coverage() = 0;
    // The X server has copied the slot's image: its stamp rows may be restored.
    virtual void Shown(uint64_t /*slot*/) {}
};

uint32_t Pack(int r, int g, int b) {
    return 0xFF000000u | static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(g) << 8 |
           static_cast<uint32_t>(b);
}

// A text-like page (lines of glyph-like words, headings, picture blocks) scrolling
// `kStep` rows per frame. The page repeats after `period_` rows; the segment holds
// the period plus one screen, so every frame is one rectangle of it.
class ScrollContent : public Content {
public:
    static std::unique_ptr<ScrollContent> Create(xcb_connection_t *c, int width, int height,
                                                 std::string *error) {
        auto content = std::unique_ptr<ScrollContent>(new ScrollContent(width, height));
        const int line = content->lineHeight_;
        content->period_ = (4 * height + line - 1) / line * line;
        const size_t rowBytes = static_cast<size_t>(width) * 4;
        const int total = content->period_ + height;
        if (total > 65535) {
            *error = "the screen is too tall for a scrolling page";
            return nullptr;
        }
        content->segment_ = ShmSegment::Create(c, rowBytes * total, error);
        if (!content->segment_) {
            return nullptr;
        }
        content->Render();
        return content;
    }

    Image ForSlot(uint64_t slot) override {
        const int srcY = static_cast<int>((slot * kStep) % static_cast<uint64_t>(period_));
        return Image{segment_.get(), Row(srcY), period_ + height_, srcY};
    }

    std::vector<Image> Coverage() override {
        std::vector<Image> images;
        for (int y = 0; y < period_ + height_; y += height_) {
            const int srcY = std::min(y, period_);
            images.push_back(Image{segment_.get(), Row(srcY), period_ + height_, srcY});
        }
        return images;
    }

    void Shown(uint64_t slot) override {
        const int srcY = ForSlot(slot).srcY;
        const size_t rowBytes = static_cast<size_t>(width_) * 4;
        const size_t offset = rowBytes * srcY;
        std::memcpy(segment_->Data() + offset, pristine_.data() + offset,
                    rowBytes * stamp::StampHeight(height_));
    }

private:
    static constexpr int kStep = 4;

    ScrollContent(int width, int height)
        : width_(width),
          height_(height),
          cell_(std::max(6, width / 60)),
          glyphHeight_(cell_ * 3 / 2),
          lineHeight_(cell_ * 2) {}

    uint8_t *Row(int y) const {
        return segment_->Data() + static_cast<size_t>(y) * static_cast<size_t>(width_) * 4;
    }

    void Fill(int x0, int y0, int w, int h, uint32_t colour) {
        for (int y = std::max(0, y0); y < std::min(period_, y0 + h); ++y) {
            auto *row = reinterpret_cast<uint32_t *>(Row(y));
            for (int x = std::max(0, x0); x < std::min(width_, x0 + w); ++x) {
                row[x] = colour;
            }
        }
    }

    void Render() {
        std::mt19937 random(12345);
        // Glyphs: 5x7 bit patterns, each cell scaled to the glyph box.
        std::vector<std::array<uint8_t, 7>> glyphs(96);
        for (auto &g : glyphs) {
            for (auto &row : g) {
                row = static_cast<uint8_t>(random() & 0x1F);
            }
            g[0] |= 0x04;  // a stem, so every glyph reads as a letter
            g[6] |= 0x0E;
        }
        Fill(0, 0, width_, period_, Pack(250, 250, 248));
        const int margin = cell_ * 2;
        const int glyphW = cell_ * 4 / 5;
        auto drawGlyph = [&](int x, int y, const std::array<uint8_t, 7> &g, uint32_t colour) {
            for (int gy = 0; gy < 7; ++gy) {
                for (int gx = 0; gx < 5; ++gx) {
                    if ((g[gy] >> (4 - gx)) & 1) {
                        Fill(x + gx * glyphW / 5, y + gy * glyphHeight_ / 7,
                             std::max(1, glyphW / 5), std::max(1, glyphHeight_ / 7), colour);
                    }
                }
            }
        };
        const int lines = period_ / lineHeight_;
        int line = 1;
        while (line < lines - 1) {
            const int kind = static_cast<int>(random() % 12);
            if (kind == 0 && line + 8 < lines) {
                // A picture block: a colour gradient with a frame.
                const int h = lineHeight_ * 6;
                const int y0 = line * lineHeight_;
                const int r0 = static_cast<int>(random() % 200);
                const int g0 = static_cast<int>(random() % 200);
                for (int y = 0; y < h; ++y) {
                    auto *row = reinterpret_cast<uint32_t *>(Row(y0 + y));
                    for (int x = margin; x < width_ - margin; ++x) {
                        row[x] = Pack((r0 + x * 55 / width_) & 0xFF, (g0 + y * 55 / h) & 0xFF,
                                      (x + y) / 8 & 0x7F);
                    }
                }
                line += 7;
                continue;
            }
            const bool heading = kind == 1;
            const uint32_t colour = heading ? Pack(20, 60, 160) : Pack(30, 30, 30);
            const int paragraphLines = heading ? 1 : 2 + static_cast<int>(random() % 6);
            for (int l = 0; l < paragraphLines && line < lines - 1; ++l, ++line) {
                int x = margin + (l == 0 && !heading ? cell_ * 2 : 0);
                const int y = line * lineHeight_ + (lineHeight_ - glyphHeight_) / 2;
                const int end = width_ - margin - (l + 1 == paragraphLines ? width_ / 3 : 0);
                while (true) {
                    const int letters = 1 + static_cast<int>(random() % 9);
                    if (x + letters * cell_ > end) {
                        break;
                    }
                    for (int i = 0; i < letters; ++i, x += cell_) {
                        drawGlyph(x, y, glyphs[random() % glyphs.size()], colour);
                        if (heading) {
                            drawGlyph(x + 1, y, glyphs[random() % glyphs.size()], colour);
                        }
                    }
                    x += cell_;
                }
            }
            ++line;  // space between paragraphs
        }
        const size_t rowBytes = static_cast<size_t>(width_) * 4;
        // The screen below the last period row repeats the top of the page.
        std::memcpy(Row(period_), Row(0), rowBytes * height_);
        pristine_.assign(segment_->Data(), segment_->Data() + segment_->Size());
    }

    const int width_;
    const int height_;
    const int cell_;
    const int glyphHeight_;
    const int lineHeight_;
    int period_ = 0;
    std::unique_ptr<ShmSegment> segment_;
    std::vector<uint8_t> pristine_;
};

// A zoom into the Mandelbrot set's seahorse valley with a rotating palette: every
// pixel changes in every frame. One escape-time field is computed at screen size; the
// cycle's frames magnify it from 1x to 2x (bilinear) and shift the palette.
class FractalContent : public Content {
public:
    static std::unique_ptr<FractalContent> Create(xcb_connection_t *c, int width, int height,
                                                  int cycle, std::string *error) {
        auto content = std::unique_ptr<FractalContent>(new FractalContent(width, height));
        const size_t bytes = static_cast<size_t>(width) * height * 4;
        for (int i = 0; i < cycle; ++i) {
            auto segment = ShmSegment::Create(c, bytes, error);
            if (!segment) {
                return nullptr;
            }
            content->frames_.push_back(std::move(segment));
        }
        content->Render();
        return content;
    }

    Image ForSlot(uint64_t slot) override {
        const ShmSegment *segment = frames_[slot % frames_.size()].get();
        return Image{segment, segment->Data(), height_, 0};
    }

    std::vector<Image> Coverage() override {
        std::vector<Image> images;
        for (uint64_t i = 0; i < frames_.size(); ++i) {
            images.push_back(ForSlot(i));
        }
        return images;
    }

private:
    static constexpr int kMaxIterations = 300;
    static constexpr int kPalette = 1024;

    FractalContent(int width, int height) : width_(width), height_(height) {}

    void Render() {
        const int threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
        // Smooth escape-time values, one per screen pixel.
        std::vector<float> field(static_cast<size_t>(width_) * height_);
        const double cx = -0.743643887037151;
        const double cy = 0.131825904205330;
        const double pixel = 0.02 / std::min(width_, height_);
        ParallelFor(height_, threads, [&](int first, int last) {
            for (int y = first; y < last; ++y) {
                for (int x = 0; x < width_; ++x) {
                    const double c0 = cx + (x - width_ / 2.0) * pixel;
                    const double c1 = cy + (y - height_ / 2.0) * pixel;
                    double zr = 0;
                    double zi = 0;
                    int n = 0;
                    while (n < kMaxIterations && zr * zr + zi * zi < 256.0) {
                        const double t = zr * zr - zi * zi + c0;
                        zi = 2 * zr * zi + c1;
                        zr = t;
                        ++n;
                    }
                    float value = static_cast<float>(kMaxIterations);
                    if (n < kMaxIterations) {
                        const double logZn = std::log(zr * zr + zi * zi) / 2;
                        value = static_cast<float>(n + 1 -
                                                   std::log(logZn / std::log(2.0)) / std::log(2.0));
                    }
                    field[static_cast<size_t>(y) * width_ + x] = value;
                }
            }
        });
        std::vector<uint32_t> palette(kPalette);
        for (int i = 0; i < kPalette; ++i) {
            const double t = 2 * M_PI * i / kPalette;
            palette[i] = Pack(static_cast<int>(127.5 + 127.5 * std::cos(t)),
                              static_cast<int>(127.5 + 127.5 * std::cos(t + 2.1)),
                              static_cast<int>(127.5 + 127.5 * std::cos(t + 4.2)));
        }
        const int cycle = static_cast<int>(frames_.size());
        ParallelFor(cycle, threads, [&](int first, int last) {
            // The magnification is the same along a row or a column: index and weight
            // per column and per row.
            std::vector<int> x0(width_);
            std::vector<float> fx(width_);
            std::vector<int> y0(height_);
            std::vector<float> fy(height_);
            for (int f = first; f < last; ++f) {
                const double zoom = std::exp2(static_cast<double>(f) / cycle);
                auto axis = [zoom](int size, std::vector<int> &index, std::vector<float> &w) {
                    const double centre = (size - 1) / 2.0;
                    for (int i = 0; i < size; ++i) {
                        const double u = centre + (i - centre) / zoom;
                        index[i] = std::min(size - 2, static_cast<int>(u));
                        w[i] = static_cast<float>(u - index[i]);
                    }
                };
                axis(width_, x0, fx);
                axis(height_, y0, fy);
                const float shift = static_cast<float>(f) * 12.0f;
                auto *out = reinterpret_cast<uint32_t *>(frames_[f]->Data());
                for (int y = 0; y < height_; ++y) {
                    const float *a = field.data() + static_cast<size_t>(y0[y]) * width_;
                    const float *b = a + width_;
                    const float wy = fy[y];
                    uint32_t *row = out + static_cast<size_t>(y) * width_;
                    for (int x = 0; x < width_; ++x) {
                        const int i = x0[x];
                        const float wx = fx[x];
                        const float top = a[i] + (a[i + 1] - a[i]) * wx;
                        const float bottom = b[i] + (b[i + 1] - b[i]) * wx;
                        const float v = top + (bottom - top) * wy;
                        row[x] = palette[static_cast<int>(v * 24.0f + shift) & (kPalette - 1)];
                    }
                }
            }
        });
    }

    const int width_;
    const int height_;
    std::vector<std::unique_ptr<ShmSegment>> frames_;
};

int64_t Percentile(std::vector<int64_t> values, double p) {
    if (values.empty()) {
        return 0;
    }
    const size_t k = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return values[k];
}

int Run(const Options &options) {
    Display display;
    std::string error;
    if (!OpenDisplay(options.display, &display, &error)) {
        fprintf(stderr, "h2h_animator: %s\n", error.c_str());
        return 1;
    }
    xcb_connection_t *c = display.connection.get();
    std::unique_ptr<Content> content;
    if (options.content == "scroll") {
        content = ScrollContent::Create(c, display.width, display.height, &error);
    } else {
        content = FractalContent::Create(c, display.width, display.height, options.cycle, &error);
    }
    if (!content) {
        fprintf(stderr, "h2h_animator: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> log(fopen(options.log.c_str(), "w"), fclose);
    if (!log) {
        fprintf(stderr, "h2h_animator: cannot write %s: %s\n", options.log.c_str(),
                std::strerror(errno));
        return 1;
    }
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const uint32_t gcValues[] = {0};
    xcb_create_gc(c, gc, display.root, XCB_GC_GRAPHICS_EXPOSURES, gcValues);

    auto put = [&](const Image &image) {
        xcb_shm_put_image(c, display.root, gc, static_cast<uint16_t>(display.width),
                          static_cast<uint16_t>(image.totalHeight), 0,
                          static_cast<uint16_t>(image.srcY), static_cast<uint16_t>(display.width),
                          static_cast<uint16_t>(display.height), 0, 0, display.depth,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, 0, image.segment->Seg(), 0);
        return RoundTrip(c);
    };
    // The X server's first read of a segment page faults its mapping in, which costs
    // several times a plain copy: read everything once before the clock starts.
    for (const Image &image : content->Coverage()) {
        if (gStop != 0 || !put(image)) {
            fprintf(stderr, "h2h_animator: stopped before the first frame\n");
            return 1;
        }
    }

    const int64_t periodNs = 1'000'000'000LL / options.fps;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const int64_t t0Ns = static_cast<int64_t>(start.tv_sec) * 1'000'000'000 + start.tv_nsec;
    const int64_t endNs =
        options.seconds > 0 ? t0Ns + static_cast<int64_t>(options.seconds * 1e9) : INT64_MAX;
    auto nowNs = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    };

    uint64_t slot = 1;
    uint64_t shown = 0;
    uint64_t missed = 0;
    std::vector<int64_t> presentUs;  // PutImage to round-trip reply
    std::vector<int64_t> lateUs;     // deadline to the start of the frame's drawing
    bool ok = true;
    while (gStop == 0) {
        const int64_t deadlineNs = t0Ns + static_cast<int64_t>(slot) * periodNs;
        if (deadlineNs >= endNs) {
            break;
        }
        const timespec until{static_cast<time_t>(deadlineNs / 1'000'000'000),
                             static_cast<long>(deadlineNs % 1'000'000'000)};
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            continue;  // a stop signal, or a spurious wake: the loop re-checks both
        }
        const Image image = content->ForSlot(slot);
        const int64_t drawnUs = NowUs();
        lateUs.push_back(drawnUs - deadlineNs / 1000);
        stamp::Draw(image.firstRow, display.width, display.height, display.width * 4,
                    stamp::Stamp{static_cast<uint32_t>(slot), static_cast<uint32_t>(drawnUs)});
        if (!put(image)) {
            fprintf(stderr, "h2h_animator: the X server went away\n");
            ok = false;
            break;
        }
        const int64_t shownUs = NowUs();
        presentUs.push_back(shownUs - drawnUs);
        content->Shown(slot);
        fprintf(log.get(), "%llu %lld %lld\n", static_cast<unsigned long long>(slot),
                static_cast<long long>(drawnUs), static_cast<long long>(shownUs));
        fflush(log.get());
        if (++shown == 1) {
            printf("ready %dx%d\n", display.width, display.height);
            fflush(stdout);
        }
        // The next slot whose deadline has not passed by a whole period: slots whose
        // time is over are skipped, not shown late in a burst.
        uint64_t next = slot + 1;
        const int64_t now = nowNs();
        const int64_t behind = (now - t0Ns) / periodNs;  // slot whose deadline passed last
        if (behind > static_cast<int64_t>(next)) {
            missed += static_cast<uint64_t>(behind) - next;
            next = static_cast<uint64_t>(behind);
        }
        slot = next;
    }
    xcb_free_gc(c, gc);
    xcb_flush(c);
    fprintf(stderr,
            "h2h_animator: %llu frames shown, %llu missed; put+round trip p50 %.2f ms, p99 "
            "%.2f ms, max %.2f ms; start after deadline p99 %.2f ms\n",
            static_cast<unsigned long long>(shown), static_cast<unsigned long long>(missed),
            Percentile(presentUs, 0.5) / 1000.0, Percentile(presentUs, 0.99) / 1000.0,
            Percentile(presentUs, 1.0) / 1000.0, Percentile(lateUs, 0.99) / 1000.0);
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace mirrax::h2h

int main(int argc, char **argv) {
    mirrax::h2h::Options options;
    if (!mirrax::h2h::ParseOptions(argc, argv, &options)) {
        mirrax::h2h::Usage();
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = mirrax::h2h::OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return mirrax::h2h::Run(options);
}
