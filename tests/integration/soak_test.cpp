// Many mixed cycles on one host: every stream starts with its codec data and decodes
// at the screen's current size, failed starts name their cause, and afterwards the
// idle host holds no more threads and descriptors than before the cycles (beyond what
// gRPC's own pools may keep).
#include <gtest/gtest.h>

#include <map>

#include "soak_cycles.h"

namespace {

using mirrax::test::kSoakSeed;
using mirrax::test::SoakCycle;

// With kSoakSeed every kind runs at least 15 times.
constexpr int kCycles = 120;

// What the idle host may keep beyond its figures after the warm-up: gRPC's executor,
// timer and sync-server pools grow on demand and shrink only after 30 s idle; the
// server may close the last cycle's two connections after the figures are read. A
// leak in any kind of cycle adds one for each of the dozens of times that kind runs.
constexpr long kThreadSlack = 3;
constexpr long kDescriptorSlack = 2;

TEST(Soak, MixedCyclesLeaveTheIdleHostWithItsThreadsAndDescriptors) {
    mirrax::test::SoakHost soak;
    auto &host = soak.Host();
    ASSERT_TRUE(host.Ready()) << soak.LogTail(40);
    mirrax::test::SoakCycles cycles(host, kSoakSeed);

    // The first run starts what the host keeps from then on (the screen's drawing
    // thread, the screen listener's thread, gRPC's pollers), so the idle figures are
    // taken after it.
    ASSERT_EQ(cycles.Run(SoakCycle::kStream), "") << "warm-up stream\n" << soak.LogTail(40);
    const pid_t pid = host.Process().Pid();
    const auto idle = mirrax::test::ReadProcessResources(pid);
    const std::string idleDescription = mirrax::test::DescribeProcess(pid);
    ASSERT_GT(idle.threads, 0);
    ASSERT_GT(idle.descriptors, 0);

    std::map<SoakCycle, int> ran;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        const SoakCycle kind = cycles.Next();
        ASSERT_EQ(cycles.Run(kind), "")
            << "cycle " << cycle << " (" << mirrax::test::SoakCycleName(kind) << ", seed "
            << kSoakSeed << ")\nhost log:\n"
            << soak.LogTail(40);
        ++ran[kind];
    }
    EXPECT_EQ(ran.size(), mirrax::test::kSoakCycles.size());

    const auto after = mirrax::test::ReadProcessResources(pid);
    EXPECT_LE(after.threads, idle.threads + kThreadSlack) << "before the cycles:\n"
                                                          << idleDescription << "\nafter:\n"
                                                          << mirrax::test::DescribeProcess(pid);
    EXPECT_LE(after.descriptors, idle.descriptors + kDescriptorSlack)
        << "before the cycles:\n"
        << idleDescription << "\nafter:\n"
        << mirrax::test::DescribeProcess(pid);
    const auto status = host.Stop();
    ASSERT_TRUE(status.has_value()) << "the host hung on SIGTERM\n" << soak.LogTail(40);
    EXPECT_EQ(*status, 0) << soak.LogTail(40);
}

}  // namespace
