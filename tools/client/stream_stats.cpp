#include "stream_stats.h"

#include <algorithm>
#include <cmath>

namespace mirrax::client {

std::optional<double> Median(std::vector<int64_t> values) {
    if (values.empty()) {
        return std::nullopt;
    }
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid),
                     values.end());
    const int64_t upper = values[mid];
    if (values.size() % 2 == 1) {
        return static_cast<double>(upper);
    }
    const int64_t lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
    return (static_cast<double>(lower) + static_cast<double>(upper)) / 2.0;
}

std::optional<int64_t> Percentile(std::vector<int64_t> values, double p) {
    if (values.empty() || !(p > 0.0) || p > 100.0) {
        return std::nullopt;
    }
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = std::min(values.size(), static_cast<size_t>(rank)) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

void StreamStats::Add(bool picture, bool keyFrame, uint64_t bytes, int64_t pts, int64_t arrivalMs) {
    bytes_ += bytes;
    if (!picture) {
        return;
    }
    ++frames_;
    if (keyFrame) {
        ++keyFrames_;
    }
    latencies_.push_back(arrivalMs - pts);
}

void StreamStats::FillSummary(Summary *summary) const {
    summary->frames = frames_;
    summary->keyFrames = keyFrames_;
    summary->bytes = bytes_;
    summary->latencyMedianMs = Median(latencies_);
    summary->latencyP99Ms = Percentile(latencies_, 99.0);
}

}  // namespace mirrax::client
