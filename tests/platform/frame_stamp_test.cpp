// The frame stamp survives a round trip, and damaged pictures are rejected. (Stamps
// read from scaled and encoded pictures are held by the mirror pacing and encoder tests.)
#include "mirrax_platform/frame_stamp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace stamp = mirrax::stamp;

constexpr int kWidth = 1080;
constexpr int kHeight = 2340;

TEST(Stamp, ReadsBackAndRejectsADamagedCheckBand) {
    std::vector<uint8_t> bgra(static_cast<size_t>(kWidth) * kHeight * 4, 0x80);
    stamp::Draw(bgra.data(), kWidth, kHeight, kWidth * 4, stamp::Stamp{0xA5C3F00Fu, 0x12345678u});
    const auto read = stamp::ReadBgra(bgra.data(), kWidth, kHeight, kWidth * 4);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->sequence, 0xA5C3F00Fu);
    EXPECT_EQ(read->drawTimeUs, 0x12345678u);
    // The check band overwritten with the value band's pattern.
    const long band = static_cast<long>(kHeight / stamp::kBandDivisor) * kWidth * 4;
    std::copy(bgra.begin(), bgra.begin() + band, bgra.begin() + band);
    EXPECT_FALSE(stamp::ReadBgra(bgra.data(), kWidth, kHeight, kWidth * 4).has_value());
    EXPECT_EQ(stamp::ElapsedUs(0xFFFFFF00u, 0x00000100u), 0x200u);
}

}  // namespace
