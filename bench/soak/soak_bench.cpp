// The soak test's mixed cycles, thousands of them, on one host: every N cycles one
// line with the host's threads, descriptors and resident memory (all read while no
// stream is open) and the cycles per second of that stretch; at the end the time
// SIGTERM takes to end the host and the trend of each figure, first against last and
// as growth per 1000 cycles. A cycle that fails stops the run with its report.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "soak_cycles.h"

namespace {

using Clock = std::chrono::steady_clock;
using mirrax::test::ProcessResources;
using mirrax::test::SoakCycle;
using mirrax::test::SoakCycleName;

struct Sample {
    long cycles;
    ProcessResources resources;
};

// Least-squares slope of a figure over samples [from, end), per 1000 cycles.
double GrowthPer1000(const std::vector<Sample> &samples, size_t from,
                     long ProcessResources::*figure) {
    const double n = static_cast<double>(samples.size() - from);
    double sumX = 0;
    double sumY = 0;
    for (size_t i = from; i < samples.size(); ++i) {
        sumX += static_cast<double>(samples[i].cycles);
        sumY += static_cast<double>(samples[i].resources.*figure);
    }
    double covariance = 0;
    double variance = 0;
    for (size_t i = from; i < samples.size(); ++i) {
        const double dx = static_cast<double>(samples[i].cycles) - sumX / n;
        covariance += dx * (static_cast<double>(samples[i].resources.*figure) - sumY / n);
        variance += dx * dx;
    }
    return variance > 0 ? covariance / variance * 1000.0 : 0.0;
}

void PrintSample(const Sample &sample, double cyclesPerSecond) {
    const auto &r = sample.resources;
    if (cyclesPerSecond > 0) {
        printf("%8ld %8ld %12ld %10ld %10.1f\n", sample.cycles, r.threads, r.descriptors, r.rssKb,
               cyclesPerSecond);
    } else {
        printf("%8ld %8ld %12ld %10ld %10s\n", sample.cycles, r.threads, r.descriptors, r.rssKb,
               "-");
    }
    fflush(stdout);
}

int Usage() {
    fprintf(stderr, "usage: soak_bench [--cycles N] [--every N] [--seed S]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    long cycles = 2000;
    long every = 100;
    uint32_t seed = mirrax::test::kSoakSeed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return Usage();
        }
        if (arg == "--cycles") {
            cycles = std::atol(argv[++i]);
        } else if (arg == "--every") {
            every = std::atol(argv[++i]);
        } else if (arg == "--seed") {
            seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            return Usage();
        }
    }
    if (cycles < 1 || every < 1) {
        return Usage();
    }

    char dir[] = "/tmp/mirrax-soak-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("soak_bench: mkdtemp");
        return 1;
    }
    const std::string log = std::string(dir) + "/host.log";
    mirrax::test::HostProcess host = mirrax::test::SoakHost(log);
    if (!host.Ready()) {
        fprintf(stderr, "soak_bench: the host did not start; its log: %s\n", log.c_str());
        return 1;
    }
    const pid_t pid = host.Process().Pid();
    mirrax::test::SoakCycles runner(host, seed);
    printf("soak: %ld mixed cycles on one host (synthetic 1080x2340 at scale 4), seed %u\n", cycles,
           seed);
    printf("figures of the idle host; cycle 0 is after one warm-up stream\n");
    printf("%8s %8s %12s %10s %10s\n", "cycles", "threads", "descriptors", "rss_kb", "cycles/s");

    // The first run starts what the host keeps from then on; the trend starts after it.
    if (const std::string failure = runner.Run(SoakCycle::kStream); !failure.empty()) {
        fprintf(stderr, "soak_bench: warm-up stream: %s; the host's log: %s\n", failure.c_str(),
                log.c_str());
        return 1;
    }
    std::vector<Sample> samples = {{0, mirrax::test::ReadProcessResources(pid)}};
    PrintSample(samples.back(), 0);

    std::map<SoakCycle, long> ran;
    const auto start = Clock::now();
    auto stretchStart = start;
    for (long cycle = 1; cycle <= cycles; ++cycle) {
        const SoakCycle kind = runner.Next();
        if (const std::string failure = runner.Run(kind); !failure.empty()) {
            fprintf(stderr, "soak_bench: cycle %ld (%s, seed %u): %s; the host's log: %s\n", cycle,
                    SoakCycleName(kind), seed, failure.c_str(), log.c_str());
            return 1;
        }
        ++ran[kind];
        if (cycle % every == 0 || cycle == cycles) {
            const auto now = Clock::now();
            const double seconds = std::chrono::duration<double>(now - stretchStart).count();
            const long stretch = cycle - samples.back().cycles;
            samples.push_back({cycle, mirrax::test::ReadProcessResources(pid)});
            PrintSample(samples.back(), seconds > 0 ? stretch / seconds : 0);
            stretchStart = Clock::now();
        }
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    printf("\ncycles by kind:");
    for (const SoakCycle kind : mirrax::test::kSoakCycles) {
        printf(" %s %ld", SoakCycleName(kind), ran[kind]);
    }
    printf("\n%ld cycles in %.1f s: %.1f cycles/s\n", cycles, total, cycles / total);

    const auto signalled = Clock::now();
    host.Process().Signal(SIGTERM);
    const auto status = host.Process().Wait(std::chrono::seconds(20));
    const double stopMs =
        std::chrono::duration<double, std::milli>(Clock::now() - signalled).count();
    if (!status) {
        printf("SIGTERM: the host did not end within 20 s\n");
    } else {
        printf("SIGTERM: the host ended in %.1f ms with status %d\n", stopMs, *status);
    }

    // Resident memory climbs over the first few hundred cycles before it settles, so
    // beside first against last the trend is also given as the slope over the second
    // half of the run, where a leak shows as steady growth.
    const Sample &first = samples.front();
    const Sample &last = samples.back();
    const size_t half = samples.size() / 2;
    printf("\n%-12s %10s %10s %16s %22s\n", "trend", "first", "last", "per 1000 cycles",
           "per 1000, second half");
    const struct {
        const char *name;
        long ProcessResources::*figure;
    } figures[] = {{"threads", &ProcessResources::threads},
                   {"descriptors", &ProcessResources::descriptors},
                   {"rss_kb", &ProcessResources::rssKb}};
    for (const auto &f : figures) {
        const double overall =
            static_cast<double>(last.resources.*f.figure - first.resources.*f.figure) * 1000.0 /
            static_cast<double>(last.cycles);
        printf("%-12s %10ld %10ld %+16.1f %+22.1f\n", f.name, first.resources.*f.figure,
               last.resources.*f.figure, overall, GrowthPer1000(samples, half, f.figure));
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status == 0 ? 0 : 1;
}
