// Many mixed cycles on one host: every stream starts with its codec data and decodes
// at the screen's current size, failed starts name their cause, and afterwards the
// idle host holds no more threads and descriptors than before the cycles (beyond what
// gRPC's own pools may keep). Bursts of concurrent starts leave its memory near idle.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "soak_cycles.h"
#include "stream_client.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CallEnd;
using mirrax::test::HostProcess;
using mirrax::test::kSoakSeed;
using mirrax::test::SoakCycle;
using mirrax::test::StreamCall;

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
    EXPECT_LE(after.threads, idle.threads + kThreadSlack);
    EXPECT_LE(after.descriptors, idle.descriptors + kDescriptorSlack);
    const auto status = host.Stop();
    ASSERT_TRUE(status.has_value()) << "the host hung on SIGTERM\n" << soak.LogTail(40);
    EXPECT_EQ(*status, 0) << soak.LogTail(40);
}

// Bursts of 50 concurrent starts at the screen's full size leave the idle host near
// its resident memory before them; without the host's allocator settings the first
// burst alone adds over 100 MB. Three bursts, a few seconds.
TEST(Soak, BurstsOfConcurrentStartsLeaveTheIdleHostNearItsMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator holds freed memory back by design";
#endif
    HostProcess host({});
    ASSERT_TRUE(host.Ready());
    {
        StreamCall warmUp(host.Target());
        ASSERT_TRUE(warmUp.WaitForFrames(3, 20s));
        ASSERT_TRUE(CallEnd(host.Target()).has_value());
        ASSERT_TRUE(warmUp.WaitForEnd(10s).has_value());
    }
    const long idleKb = mirrax::test::ReadProcessResources(host.Process().Pid()).rssKb;
    ASSERT_GT(idleKb, 0);
    for (int burst = 1; burst <= 3; ++burst) {
        std::vector<std::unique_ptr<StreamCall>> calls;
        for (int i = 0; i < 50; ++i) {
            calls.push_back(std::make_unique<StreamCall>(host.Target()));
        }
        // Each start displaces the one before; onEnd ends the last.
        ASSERT_TRUE(host.WaitForLog("Invoke StartScreenCopy....", 1 + 50 * burst, 60s));
        ASSERT_TRUE(CallEnd(host.Target()).has_value());
        for (auto &call : calls) {
            ASSERT_TRUE(call->WaitForEnd(10s).has_value());
        }
    }
    const long afterKb = mirrax::test::ReadProcessResources(host.Process().Pid()).rssKb;
    EXPECT_LE(afterKb, idleKb + 40 * 1024)
        << "idle " << idleKb / 1024 << " MB, after the bursts " << afterKb / 1024 << " MB";
    EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
