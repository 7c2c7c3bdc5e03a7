// The encoder's rate control on busy pictures whose timestamps run at various frame
// rates: the bits it delivers per 5 s of picture time stay near the requested rate,
// and libx264 never complains about the parameters it is reconfigured with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "media_test_util.h"
#include "support/log_capture.h"

namespace mirrax::test {
namespace {

constexpr int32_t kWidth = 320;
constexpr int32_t kHeight = 180;
constexpr int64_t kRate = 1'000'000;
constexpr int64_t kSecondNs = 1'000'000'000;
constexpr int64_t kStartNs = 20 * kSecondNs;
constexpr int64_t kWindowNs = 5 * kSecondNs;
constexpr int64_t kWindowStepNs = kSecondNs / 2;
constexpr double kTolerance = 0.10;

// A stretch of the stream: `seconds` of pictures at `fps` (none: a still screen),
// encoded at `bitRate`, set through SetParameter when it differs from the stretch
// before. With `gridFps`, pictures sit on that grid and are left out at random down
// to `fps` on average, as on a loaded machine.
struct Segment {
    double fps;
    double seconds;
    int64_t bitRate = kRate;
    double gridFps = 0;
};

// With `burst` above one, pictures are offered that many at a time, back to back, and
// the encoder takes only some of them (the surface keeps the newest): it lags the
// offered rate, and budgets each picture from at least four fifths of that rate.
struct RateCase {
    const char *name;
    std::vector<Segment> segments;
    int burst = 1;
};

// Noise over a moving gradient, new in every picture: content that takes every bit
// the rate control allows.
void DrawBusy(OHOS::SurfaceBuffer &buffer, uint32_t sequence) {
    uint64_t state = 0x9E3779B97F4A7C15ULL * (sequence + 1);
    for (int y = 0; y < buffer.height; ++y) {
        for (int x = 0; x < buffer.width; x += 2) {  // two BGRA pixels from 64 bits
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            const int base = (x + y + static_cast<int>(sequence) * 3) & 0xFF;
            for (int i = 0; i < 8; ++i) {
                const int noise = static_cast<int>((state >> (i * 8)) & 0x3F) - 32;
                buffer.Row(y)[x * 4 + i] = static_cast<uint8_t>(std::clamp(base + noise, 0, 255));
            }
        }
    }
}

void PrintTo(const RateCase &rateCase, std::ostream *os) { *os << rateCase.name; }

class EncoderRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(EncoderRateTest, DeliveredRateStaysWithinATenthInEvery5sWindow) {
    const RateCase &param = GetParam();
    LogCapture log;
    EncoderOptions options;
    options.width = kWidth;
    options.height = kHeight;
    options.iFrameIntervalMs = 2000;
    options.bitRate = param.segments.front().bitRate;
    EncoderHarness harness(options);
    ASSERT_TRUE(harness.Surface());
    ASSERT_TRUE(harness.Start());

    struct Span {
        int64_t beginNs;
        int64_t endNs;
        const Segment *segment;
    };
    std::vector<Span> spans;
    int64_t bitRate = options.bitRate;
    int64_t beginNs = kStartNs;
    uint32_t sequence = 0;
    uint32_t random = 12345;
    std::vector<int64_t> offered;  // pts of every picture fed
    for (const Segment &segment : param.segments) {
        if (segment.bitRate != bitRate) {
            ASSERT_EQ(harness.SetParameter(OH_MD_KEY_BITRATE, segment.bitRate), AV_ERR_OK);
            bitRate = segment.bitRate;
        }
        const int64_t endNs = beginNs + std::llround(segment.seconds * 1e9);
        spans.push_back({beginNs, endNs, &segment});
        const double stepFps = segment.gridFps > 0 ? segment.gridFps : segment.fps;
        const auto steps = std::lround(stepFps * segment.seconds);
        size_t before = 0;
        for (long i = 0; segment.fps > 0 && i < steps; ++i) {
            random = random * 1664525U + 1013904223U;
            if (segment.gridFps > 0 &&
                (random >> 8) % 1000 >= segment.fps / segment.gridFps * 1000) {
                continue;
            }
            const int64_t pts = beginNs + std::llround(i * 1e9 / stepFps);
            if (i % param.burst == 0) {
                before = harness.BufferCount();
            }
            ASSERT_TRUE(harness.FeedDrawn(
                [n = sequence++](OHOS::SurfaceBuffer &b) { DrawBusy(b, n); }, pts));
            offered.push_back(pts);
            // One packet per picture (the configuration first): waiting for it keeps
            // the surface from dropping any picture.
            if ((i + 1) % param.burst == 0) {
                ASSERT_TRUE(harness.WaitForBuffers(before + (before == 0 ? 2 : 1)))
                    << "picture " << sequence;
            }
        }
        beginNs = endNs;
    }

    std::vector<std::pair<int64_t, size_t>> pictures;  // pts, bytes
    for (const EncodedBuffer &buffer : harness.Buffers()) {
        if ((buffer.flags & AVCODEC_BUFFER_FLAGS_CODEC_DATA) == 0) {
            pictures.emplace_back(buffer.pts, buffer.data.size());
        }
    }
    if (param.burst == 1) {
        ASSERT_EQ(pictures.size(), sequence);
    } else {
        ASSERT_LE(pictures.size(), 0.6 * sequence) << "the encoder kept up";
    }

    // Windows over a still screen are not busy: no rate to hold there.
    size_t windows = 0;
    for (int64_t from = kStartNs; from + kWindowNs <= beginNs; from += kWindowStepNs) {
        const int64_t to = from + kWindowNs;
        double expectedBits = 0;
        bool still = false;
        for (const Span &span : spans) {
            const int64_t overlap = std::min(to, span.endNs) - std::max(from, span.beginNs);
            if (overlap > 0) {
                expectedBits += static_cast<double>(span.segment->bitRate) * overlap / 1e9;
                still = still || span.segment->fps == 0;
            }
        }
        if (still) {
            continue;
        }
        double bits = 0;
        double encoded = 0;
        for (const auto &[pts, bytes] : pictures) {
            bits += pts >= from && pts < to ? bytes * 8.0 : 0.0;
            encoded += pts >= from && pts < to ? 1 : 0;
        }
        ++windows;
        const std::string at = "5 s from " + std::to_string((from - kStartNs) / 1e9) + " s";
        if (param.burst == 1) {
            EXPECT_NEAR(bits / expectedBits, 1.0, kTolerance) << at;
            continue;
        }
        // Each picture budgeted from four fifths of the offered rate, not from the
        // (lower) rate the encoder takes pictures at.
        const auto inWindow = std::count_if(offered.begin(), offered.end(),
                                            [&](int64_t pts) { return pts >= from && pts < to; });
        EXPECT_LE(bits, (1 + kTolerance) * expectedBits * encoded / (0.8 * inWindow)) << at;
    }
    EXPECT_GE(windows, 3u);

    // No warning from libx264 (such as a bit rate above the maximum).
    for (const auto &line : log.Lines()) {
        EXPECT_NE(line.tag, "FFmpeg") << line.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    FrameRates, EncoderRateTest,
    ::testing::Values(RateCase{"Steady5", {{5, 8}}},
                      // A loaded machine: a 60 Hz screen with a third of its pictures missing.
                      RateCase{"Irregular40", {{40, 8, kRate, 60}}},
                      RateCase{"Drops60To30AndBack", {{60, 3}, {30, 3}, {60, 3}}},
                      // A still screen is not a low frame rate: no burst when pictures resume.
                      RateCase{"StillThenBusy", {{60, 5}, {0, 1}, {60, 6}}},
                      RateCase{"BitRateRaisedAndCut",
                               {{60, 3}, {60, 3, kRate * 2}, {60, 3, kRate / 2}, {40, 3, kRate}}},
                      RateCase{"OfferedFasterThanTaken", {{60, 8}}, 4}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mirrax::test
