// A machine-readable stamp that the synthetic screen draws into every frame: its
// sequence number, the same bits inverted (a check), and the time it was drawn. The
// stamp is three bands of 32 black/white cells across the top of the picture, sized
// in proportion to the picture, so it survives H.264 compression and scaling by up
// to 5 and can be read back from a decoded picture of any size.
#ifndef MIRRAX_PLATFORM_FRAME_STAMP_H
#define MIRRAX_PLATFORM_FRAME_STAMP_H

#include <cstdint>
#include <optional>

namespace mirrax::stamp {

constexpr int kCells = 32;
constexpr int kBands = 3;
// Each band is this fraction of the picture's height.
constexpr int kBandDivisor = 60;

struct Stamp {
    uint32_t sequence = 0;
    uint32_t drawTimeUs = 0;  // low 32 bits of CLOCK_MONOTONIC microseconds
};

// Low 32 bits of the monotonic clock in microseconds; the clock is shared by every
// process on the machine, so a reader can compute draw-to-arrival latency.
uint32_t NowUs();

// Microseconds from `drawTimeUs` to `nowUs`, correct across the 32-bit wrap.
inline uint32_t ElapsedUs(uint32_t drawTimeUs, uint32_t nowUs) { return nowUs - drawTimeUs; }

// Height in rows of the stamp area of a picture of the given height.
int StampHeight(int height);

// Draws the stamp into a BGRA picture.
void Draw(uint8_t *bgra, int width, int height, int stride, const Stamp &stamp);

// Reads the stamp from an 8-bit luma plane (a decoded picture's Y plane). Returns
// nothing when the check band does not match.
std::optional<Stamp> ReadLuma(const uint8_t *luma, int width, int height, int stride);

// Reads the stamp from a BGRA picture.
std::optional<Stamp> ReadBgra(const uint8_t *bgra, int width, int height, int stride);

}  // namespace mirrax::stamp

#endif  // MIRRAX_PLATFORM_FRAME_STAMP_H
