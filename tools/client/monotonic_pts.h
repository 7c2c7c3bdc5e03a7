// Turns the server's hand-off times into strictly increasing timestamps for a muxer.
#ifndef MIRRAX_TOOLS_CLIENT_MONOTONIC_PTS_H
#define MIRRAX_TOOLS_CLIENT_MONOTONIC_PTS_H

#include <cstdint>
#include <optional>

namespace mirrax::client {

// The first value maps to 0; every later one to its distance from the first, raised
// to one more than the previous result when the clock repeated or stepped back.
class MonotonicPts {
public:
    int64_t Next(int64_t ms) {
        if (!first_) {
            first_ = ms;
            last_ = 0;
            return 0;
        }
        const int64_t relative = ms - *first_;
        last_ = relative > last_ ? relative : last_ + 1;
        return last_;
    }

private:
    std::optional<int64_t> first_;
    int64_t last_ = 0;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_MONOTONIC_PTS_H
