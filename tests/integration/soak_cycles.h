// Mixed stream cycles against one long-lived host, shared by the soak test and the
// soak benchmark; the host's resources are read from /proc.
#ifndef MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H
#define MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "host_fixture.h"

namespace mirrax::test {

// Every cycle streams from its codec data at the screen's current size until onEnd;
// the kinds differ in what happens around that stream.
enum class SoakCycle {
    kStream,       // nothing more
    kKeyFrame,     // a key-frame request, answered with a key frame
    kRotate,       // the screen rotates: new codec data at the swapped size
    kTakeover,     // the stream displaces another one, whose call ends OK
    kFailedStart,  // it follows a start that failed on an injected fault
};
constexpr std::array<SoakCycle, 5> kSoakCycles = {SoakCycle::kStream, SoakCycle::kKeyFrame,
                                                  SoakCycle::kRotate, SoakCycle::kTakeover,
                                                  SoakCycle::kFailedStart};
const char *SoakCycleName(SoakCycle kind);

// The same cycles in every run, so a failing cycle comes back.
constexpr uint32_t kSoakSeed = std::mt19937::default_seed;

// Figures of a process from /proc; -1 where one could not be read.
struct ProcessResources {
    long threads = -1;
    long descriptors = -1;
    long rssKb = -1;
};
ProcessResources ReadProcessResources(pid_t pid);

// The host the cycles expect: the synthetic screen at scale 4, key frames only at the
// start of a run and on request, and its log in the file `log`: thousands of cycles
// log too much to hold and rescan.
inline HostProcess SoakHost(const std::string &log) {
    return HostProcess({"-scale", "4", "-iFrameInterval", "3600000"}, {"--log", log});
}

// Draws cycle kinds from a seeded std::mt19937 and runs them.
class SoakCycles {
public:
    SoakCycles(HostProcess &host, uint32_t seed) : host_(host), random_(seed) {}

    SoakCycle Next() { return kSoakCycles[random_() % kSoakCycles.size()]; }
    // Runs one cycle, which leaves no run and no call open: what went wrong, or "".
    std::string Run(SoakCycle kind);

private:
    HostProcess &host_;
    std::mt19937 random_;
    bool rotated_ = false;
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H
