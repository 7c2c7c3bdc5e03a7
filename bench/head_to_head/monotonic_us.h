// The clock every head-to-head program logs with: CLOCK_MONOTONIC in microseconds,
// all 64 bits (a frame stamp carries the low 32 bits of the same value).
#ifndef MIRRAX_BENCH_HEAD_TO_HEAD_MONOTONIC_US_H
#define MIRRAX_BENCH_HEAD_TO_HEAD_MONOTONIC_US_H

#include <time.h>

#include <cstdint>

namespace mirrax::h2h {

inline int64_t NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

}  // namespace mirrax::h2h

#endif  // MIRRAX_BENCH_HEAD_TO_HEAD_MONOTONIC_US_H
