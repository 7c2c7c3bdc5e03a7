// Mixed stream cycles against one long-lived host, shared by the soak test and the
// soak benchmark: streams ended with onEnd, key-frame requests, rotations, takeovers,
// starts that fail on an injected platform fault, and onEnd with no run. Each cycle
// checks what the client sees; the host's resources are read from /proc.
#ifndef MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H
#define MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "host_fixture.h"

namespace mirrax::test {

enum class SoakCycle {
    kStream,         // start, a few frames, onEnd
    kKeyFrame,       // a key-frame request during a stream
    kRotate,         // the screen rotates during a stream
    kTakeover,       // a second onStart while one streams
    kFailedStart,    // a start that fails on an injected fault, then a normal stream
    kEndWithoutRun,  // onEnd with nothing running
};
constexpr std::array<SoakCycle, 6> kSoakCycles = {
    SoakCycle::kStream,   SoakCycle::kKeyFrame,    SoakCycle::kRotate,
    SoakCycle::kTakeover, SoakCycle::kFailedStart, SoakCycle::kEndWithoutRun};
const char *SoakCycleName(SoakCycle kind);

// The seed of the cycle sequence: the same one in every run, so a failing cycle
// comes back.
constexpr uint32_t kSoakSeed = std::mt19937::default_seed;

// Figures of a process from /proc; -1 where one could not be read.
struct ProcessResources {
    long threads = -1;      // "Threads:" of /proc/PID/status
    long descriptors = -1;  // entries of /proc/PID/fd
    long rssKb = -1;        // "VmRSS:" of /proc/PID/status
};
ProcessResources ReadProcessResources(pid_t pid);
// The threads of a process counted by name ("2 event_engine, 1 host-control, ...") and
// the targets of its descriptors, for a report.
std::string DescribeProcess(pid_t pid);

// The host the soak drives: the synthetic screen at scale 4, key frames only at the
// start of a run and on request (so a requested one is recognisable), and the log in
// a file of its own. Thousands of cycles log hundreds of thousands of lines; on
// standard error the fixture would hold and rescan them all for every control reply.
class SoakHost {
public:
    SoakHost();
    ~SoakHost();  // stops a host still running, then removes its log
    SoakHost(const SoakHost &) = delete;
    SoakHost &operator=(const SoakHost &) = delete;

    HostProcess &Host() { return *host_; }
    // The last `lines` lines of the host's log, for a failure report.
    std::string LogTail(size_t lines) const;

private:
    std::filesystem::path dir_;
    std::unique_ptr<HostProcess> host_;
};

// Draws cycle kinds from a seeded std::mt19937 (the same seed gives the same cycles,
// faults included) and runs them. The synthetic screen swaps its width and height
// with every rotation; the expected picture size follows it.
class SoakCycles {
public:
    SoakCycles(HostProcess &host, uint32_t seed);

    SoakCycle Next();
    // Runs one cycle; what went wrong, or an empty string. Every cycle ends with no
    // run and no call open.
    std::string Run(SoakCycle kind);
    bool Rotated() const { return rotated_; }

private:
    struct Size {
        int width;
        int height;
    };
    Size ExpectedSize() const;
    std::string PlainStream();
    std::string KeyFrame();
    std::string Rotate();
    std::string Takeover();
    std::string FailedStart();

    HostProcess &host_;
    std::mt19937 random_;
    bool rotated_ = false;
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H
