// The frame stamp survives a round trip and downscaling, and damaged pictures are rejected.
#include "mirrax_platform/frame_stamp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace stamp = mirrax::stamp;

constexpr int kWidth = 1080;
constexpr int kHeight = 2340;

TEST(Stamp, ReadsBackAfterDownscaleAndRejectsADamagedCheckBand) {
    std::vector<uint8_t> bgra(static_cast<size_t>(kWidth) * kHeight * 4, 0x80);
    stamp::Draw(bgra.data(), kWidth, kHeight, kWidth * 4, stamp::Stamp{0xA5C3F00Fu, 0x12345678u});
    for (const int factor : {1, 5}) {
        // A box filter down by `factor` into a luma plane.
        const int w = kWidth / factor;
        const int h = kHeight / factor;
        std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
        for (size_t i = 0; i < luma.size(); ++i) {
            int sum = 0;
            for (int d = 0; d < factor * factor; ++d) {
                const size_t y = i / w * factor + d / factor;
                const size_t x = i % w * factor + d % factor;
                const uint8_t *p = &bgra[(y * kWidth + x) * 4];
                sum += (p[0] + p[1] + p[2]) / 3;
            }
            luma[i] = static_cast<uint8_t>(sum / (factor * factor));
        }
        const auto read = stamp::ReadLuma(luma.data(), w, h, w);
        ASSERT_TRUE(read.has_value()) << factor;
        EXPECT_EQ(read->sequence, 0xA5C3F00Fu);
        EXPECT_EQ(read->drawTimeUs, 0x12345678u);
    }
    ASSERT_TRUE(stamp::ReadBgra(bgra.data(), kWidth, kHeight, kWidth * 4).has_value());
    // The check band overwritten with the value band's pattern.
    const long band = static_cast<long>(kHeight / stamp::kBandDivisor) * kWidth * 4;
    std::copy(bgra.begin(), bgra.begin() + band, bgra.begin() + band);
    EXPECT_FALSE(stamp::ReadBgra(bgra.data(), kWidth, kHeight, kWidth * 4).has_value());
    EXPECT_EQ(stamp::ElapsedUs(0xFFFFFF00u, 0x00000100u), 0x200u);
}

}  // namespace
