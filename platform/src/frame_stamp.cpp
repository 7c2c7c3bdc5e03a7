#include "mirrax_platform/frame_stamp.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace mirrax::stamp {
namespace {

constexpr uint8_t kOn = 0xFF;
constexpr uint8_t kOff = 0x00;

uint32_t BandValue(const Stamp &stamp, int band) {
    switch (band) {
        case 0:
            return stamp.sequence;
        case 1:
            return ~stamp.sequence;
        default:
            return stamp.drawTimeUs;
    }
}

// Cell edges in pixels for a picture of the given size.
int CellLeft(int cell, int width) { return cell * width / kCells; }
int BandTop(int band, int height) { return band * height / kBandDivisor; }

// Averages a small window around the centre of a cell and thresholds it.
std::optional<Stamp> Read(int width, int height, const std::function<int(int, int)> &sample) {
    if (width < kCells * 2 || height < kBandDivisor * 2) {
        return std::nullopt;
    }
    uint32_t bands[kBands] = {};
    for (int band = 0; band < kBands; ++band) {
        const int top = BandTop(band, height);
        const int bottom = BandTop(band + 1, height);
        const int cy = (top + bottom) / 2;
        const int ry = std::max(0, (bottom - top) / 4);
        for (int cell = 0; cell < kCells; ++cell) {
            const int left = CellLeft(cell, width);
            const int right = CellLeft(cell + 1, width);
            const int cx = (left + right) / 2;
            const int rx = std::max(0, (right - left) / 4);
            int sum = 0;
            int count = 0;
            for (int y = cy - ry; y <= cy + ry; ++y) {
                for (int x = cx - rx; x <= cx + rx; ++x) {
                    sum += sample(x, y);
                    ++count;
                }
            }
            if (sum / count >= 128) {
                bands[band] |= 1u << (kCells - 1 - cell);
            }
        }
    }
    if (bands[1] != ~bands[0]) {
        return std::nullopt;
    }
    return Stamp{bands[0], bands[2]};
}

}  // namespace

uint32_t NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t us =
        static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
    return static_cast<uint32_t>(us);
}

int StampHeight(int height) { return BandTop(kBands, height); }

void Draw(uint8_t *bgra, int width, int height, int stride, const Stamp &stamp) {
    for (int band = 0; band < kBands; ++band) {
        const uint32_t value = BandValue(stamp, band);
        const int top = BandTop(band, height);
        const int bottom = BandTop(band + 1, height);
        uint8_t *first = bgra + static_cast<size_t>(top) * stride;
        for (int cell = 0; cell < kCells; ++cell) {
            const bool on = ((value >> (kCells - 1 - cell)) & 1u) != 0;
            const int left = CellLeft(cell, width);
            const int right = CellLeft(cell + 1, width);
            std::memset(first + static_cast<size_t>(left) * 4, on ? kOn : kOff,
                        static_cast<size_t>(right - left) * 4);
        }
        for (int x = 0; x < width; ++x) {
            first[x * 4 + 3] = 0xFF;  // opaque
        }
        for (int y = top + 1; y < bottom; ++y) {
            std::memcpy(bgra + static_cast<size_t>(y) * stride, first,
                        static_cast<size_t>(width) * 4);
        }
    }
}

std::optional<Stamp> ReadLuma(const uint8_t *luma, int width, int height, int stride) {
    return Read(width, height, [&](int x, int y) {
        return static_cast<int>(luma[static_cast<size_t>(y) * stride + x]);
    });
}

std::optional<Stamp> ReadBgra(const uint8_t *bgra, int width, int height, int stride) {
    return Read(width, height, [&](int x, int y) {
        const uint8_t *p = bgra + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4;
        return (p[0] + p[1] + p[2]) / 3;
    });
}

}  // namespace mirrax::stamp
