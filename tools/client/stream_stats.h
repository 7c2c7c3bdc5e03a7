// Counters of a stream run: totals for the summary, an interval for the progress line.
#ifndef MIRRAX_TOOLS_CLIENT_STREAM_STATS_H
#define MIRRAX_TOOLS_CLIENT_STREAM_STATS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirrax::client {

// The median of the values (the mean of the middle two for an even count).
std::optional<double> Median(std::vector<int64_t> values);
// Nearest-rank percentile, p in (0, 100].
std::optional<int64_t> Percentile(std::vector<int64_t> values, double p);

struct Summary {
    uint64_t frames = 0;  // pictures
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;  // every message's data, codec data included
    double seconds = 0.0;
    std::optional<double> latencyMedianMs;
    std::optional<int64_t> latencyP99Ms;
    std::optional<int> width;
    std::optional<int> height;
    std::string endedBy;  // frames, seconds, interrupt, snapshot, server, error
    std::string output;

    double Fps() const { return seconds > 0.0 ? static_cast<double>(frames) / seconds : 0.0; }
    double KbitPerSecond() const {
        return seconds > 0.0 ? static_cast<double>(bytes) * 8.0 / 1000.0 / seconds : 0.0;
    }
};

class StreamStats {
public:
    // A message that arrived at `arrivalMs` (wall clock) carrying `pts`.
    void Add(bool picture, bool keyFrame, uint64_t bytes, int64_t pts, int64_t arrivalMs);

    uint64_t Frames() const { return frames_; }
    uint64_t Bytes() const { return bytes_; }
    std::optional<double> LatencyMedian() const { return Median(latencies_); }

    // Fills the counters and latency figures of a summary.
    void FillSummary(Summary *summary) const;

private:
    uint64_t frames_ = 0;
    uint64_t keyFrames_ = 0;
    uint64_t bytes_ = 0;
    std::vector<int64_t> latencies_;  // ms, one per picture
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_STREAM_STATS_H
