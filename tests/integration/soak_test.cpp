// Many mixed cycles on one host leave the idle host with its threads and descriptors;
// bursts of concurrent starts leave it near its memory.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "soak_cycles.h"
#include "stream_client.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::HostProcess;
using mirrax::test::ReadProcessResources;
using mirrax::test::SoakCycle;
using mirrax::test::StreamCall;

// With kSoakSeed every kind runs at least 15 times; under ThreadSanitizer, whose host
// runs each cycle several times slower, a third of them (every kind still runs).
#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 40;
#else
constexpr int kCycles = 120;
#endif

TEST(Soak, MixedCyclesLeaveTheIdleHostWithItsThreadsAndDescriptors) {
    mirrax::test::TestFolder dir("mirrax_soak");
    HostProcess host = mirrax::test::SoakHost(dir.Path("host.log"));
    ASSERT_TRUE(host.Ready());
    mirrax::test::SoakCycles cycles(host, mirrax::test::kSoakSeed);
    // The first run starts what the host keeps from then on (the screen's drawing
    // thread, the screen listener's thread, gRPC's pollers).
    ASSERT_EQ(cycles.Run(SoakCycle::kStream), "");
    const auto idle = ReadProcessResources(host.Process().Pid());
    ASSERT_GT(std::min(idle.threads, idle.descriptors), 0);
    std::map<SoakCycle, int> ran;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        const SoakCycle kind = cycles.Next();
        ASSERT_EQ(cycles.Run(kind), "")
            << "cycle " << cycle << " (" << mirrax::test::SoakCycleName(kind) << ")";
        ++ran[kind];
    }
    EXPECT_EQ(ran.size(), mirrax::test::kSoakCycles.size());
    // What the idle host may keep beyond its figures: gRPC's pools grow on demand and
    // shrink only after 30 s idle, and the last cycle's connections may close after the
    // figures are read. A leak in a kind of cycle adds one for each of its dozens of runs.
    const auto after = ReadProcessResources(host.Process().Pid());
    EXPECT_LE(after.threads, idle.threads + 3);
    EXPECT_LE(after.descriptors, idle.descriptors + 2);
    EXPECT_EQ(host.Stop(), 0);
}

// Bursts of concurrent starts at the screen's full size, after one warm-up stream: the
// run started last is the one left, every other call ends OK, and any message it got
// began with its codec data. Without the host's allocator settings the first burst of 50
// alone adds over 100 MB; under a sanitizer, whose allocator holds freed memory back by
// design, bursts of 4 check only the races. A stop signal while starts race.
TEST(Soak, BurstsOfConcurrentStartsLeaveOneStreamAndTheIdleHostNearItsMemory) {
    constexpr size_t kBurst = MIRRAX_SLOWDOWN > 1 ? 4 : 50;
    HostProcess host({});
    ASSERT_TRUE(host.Ready());
    long idleKb = 0;
    for (size_t burst = 0; burst <= 3; ++burst) {
        const size_t starts = burst == 0 ? 1 : kBurst;
        auto group = std::make_shared<mirrax::test::CallGroup>();
        std::vector<std::unique_ptr<StreamCall>> calls;
        for (size_t i = 0; i < starts; ++i) {
            calls.push_back(std::make_unique<StreamCall>(host.Target(), group));
        }
        ASSERT_TRUE(host.WaitForLog("Invoke StartScreenCopy....", 1 + kBurst * burst, 60s));
        ASSERT_TRUE(group->WaitForEnded(starts - 1, 10s)) << host.Log();
        size_t open = 0;
        for (auto &call : calls) {
            const auto status = call->WaitForEnd(0ms);
            if (!status) {
                ++open;
                ASSERT_TRUE(call->WaitForFrames(3, 20s));
            }
            EXPECT_TRUE(!status || status->ok()) << status->error_message();
            // A run displaced before its first picture sends only its end of stream.
            const auto frames = call->Frames();
            EXPECT_TRUE(frames.empty() || frames.front().flags == mirrax::test::kCodecData ||
                        (frames.size() == 1 && frames.front().flags == mirrax::test::kEndOfStream));
        }
        EXPECT_EQ(open, 1u);
        ASSERT_TRUE(mirrax::test::CallEnd(host.Target()).has_value());
        ASSERT_TRUE(group->WaitForEnded(starts, 10s));
        idleKb = burst == 0 ? ReadProcessResources(host.Process().Pid()).rssKb : idleKb;
    }
    const long afterKb = ReadProcessResources(host.Process().Pid()).rssKb;
    EXPECT_GT(idleKb, 0);
    EXPECT_TRUE(kBurst < 50 || afterKb <= idleKb + 40 * 1024)
        << "idle " << idleKb << " kB, after " << afterKb;
    std::vector<std::unique_ptr<StreamCall>> racing;
    for (int i = 0; i < 4; ++i) {
        racing.push_back(std::make_unique<StreamCall>(host.Target()));
    }
    ASSERT_TRUE(host.WaitForLog("Invoke StartScreenCopy....", 5 + 3 * kBurst, 60s));
    EXPECT_EQ(host.Stop(), 0) << host.Log();
    EXPECT_TRUE(host.Process()
                    .Output(mirrax::test::ChildProcess::Stream::kStdout)
                    .ends_with("Server shutdown success.\n"));
}

}  // namespace
