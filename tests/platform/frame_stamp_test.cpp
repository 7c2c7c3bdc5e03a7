// The frame stamp survives a round trip, downscaling and rejects damaged pictures.
#include "mirrax_platform/frame_stamp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using mirrax::stamp::Stamp;

std::vector<uint8_t> Picture(int width, int height, const Stamp &stamp) {
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4, 0x80);
    mirrax::stamp::Draw(bgra.data(), width, height, width * 4, stamp);
    return bgra;
}

// Box-filters a BGRA picture down by an integer factor into a luma plane.
std::vector<uint8_t> DownscaleToLuma(const std::vector<uint8_t> &bgra, int width, int height,
                                     int factor) {
    const int w = width / factor;
    const int h = height / factor;
    std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int dy = 0; dy < factor; ++dy) {
                for (int dx = 0; dx < factor; ++dx) {
                    const uint8_t *p =
                        &bgra[(static_cast<size_t>(y * factor + dy) * width + x * factor + dx) * 4];
                    sum += (p[0] + p[1] + p[2]) / 3;
                }
            }
            luma[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(sum / (factor * factor));
        }
    }
    return luma;
}

TEST(StampScaling, ReadsBackAfterDownscale) {
    constexpr int width = 1080;
    constexpr int height = 2340;
    const Stamp stamp{0xA5C3F00Fu, 0x12345678u};
    const auto bgra = Picture(width, height, stamp);
    const auto direct = mirrax::stamp::ReadBgra(bgra.data(), width, height, width * 4);
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(direct->sequence, stamp.sequence);
    EXPECT_EQ(direct->drawTimeUs, stamp.drawTimeUs);
    for (const int factor : {1, 5}) {
        const auto luma = DownscaleToLuma(bgra, width, height, factor);
        const auto scaled =
            mirrax::stamp::ReadLuma(luma.data(), width / factor, height / factor, width / factor);
        ASSERT_TRUE(scaled.has_value()) << factor;
        EXPECT_EQ(scaled->sequence, stamp.sequence);
        EXPECT_EQ(scaled->drawTimeUs, stamp.drawTimeUs);
    }
}

TEST(Stamp, DamagedCheckBandIsRejected) {
    auto bgra = Picture(1080, 2340, Stamp{7, 9});
    // Overwrite the check band with the value band's pattern.
    const int band = 2340 / mirrax::stamp::kBandDivisor;
    std::copy(bgra.begin(), bgra.begin() + static_cast<long>(band) * 1080 * 4,
              bgra.begin() + static_cast<long>(band) * 1080 * 4);
    EXPECT_FALSE(mirrax::stamp::ReadBgra(bgra.data(), 1080, 2340, 1080 * 4).has_value());
}

TEST(Stamp, ElapsedHandlesWrap) {
    EXPECT_EQ(mirrax::stamp::ElapsedUs(0xFFFFFF00u, 0x00000100u), 0x200u);
}

}  // namespace
