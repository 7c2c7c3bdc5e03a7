// Mixed stream cycles against one long-lived host, shared by the soak test and the
// soak benchmark. Each cycle checks what the client sees; the host's resources are
// read from /proc.
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

// The same cycles in every run, so a failing cycle comes back.
constexpr uint32_t kSoakSeed = std::mt19937::default_seed;

// Figures of a process from /proc; -1 where one could not be read.
struct ProcessResources {
    long threads = -1;      // "Threads:" of /proc/PID/status
    long descriptors = -1;  // entries of /proc/PID/fd
    long rssKb = -1;        // "VmRSS:" of /proc/PID/status
};
ProcessResources ReadProcessResources(pid_t pid);

// The synthetic screen at scale 4, key frames only at the start of a run and on
// request (so a requested one is recognisable), and the log in a file: thousands of
// cycles log too much to hold and rescan on standard error.
class SoakHost {
public:
    SoakHost();
    ~SoakHost();  // stops a host still running, then removes its log
    SoakHost(const SoakHost &) = delete;
    SoakHost &operator=(const SoakHost &) = delete;

    HostProcess &Host() { return *host_; }
    std::string LogTail(size_t lines) const;  // the log's last lines, for a report

private:
    std::filesystem::path dir_;
    std::unique_ptr<HostProcess> host_;
};

// Draws cycle kinds (and faults) from a seeded std::mt19937 and runs them. Every
// rotation swaps the synthetic screen's width and height.
class SoakCycles {
public:
    SoakCycles(HostProcess &host, uint32_t seed) : host_(host), random_(seed) {}

    SoakCycle Next() { return kSoakCycles[random_() % kSoakCycles.size()]; }
    // Runs one cycle; what went wrong, or an empty string. Every cycle ends with no
    // run and no call open.
    std::string Run(SoakCycle kind);

private:
    std::string Stream(SoakCycle kind);
    std::string Takeover();
    std::string FailedStart();

    HostProcess &host_;
    std::mt19937 random_;
    bool rotated_ = false;
};

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_INTEGRATION_SOAK_CYCLES_H
