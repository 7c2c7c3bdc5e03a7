// The surface queue: latest-wins policy, buffer reuse and shutdown.
#include "surface.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using OHOS::Surface;

void Produce(Surface &surface, uint64_t sequence) {
    OHOS::SurfaceBuffer *buffer = surface.RequestBuffer(16, 8);
    ASSERT_NE(buffer, nullptr);
    buffer->sequence = sequence;
    surface.FlushBuffer(buffer, static_cast<int64_t>(sequence) * 1000);
}

TEST(SurfaceQueue, NewestPictureWinsInReusedBuffersWhileTheConsumerLeavesOneFree) {
    auto surface = Surface::Create(3);
    Surface::AcquireResult result;
    std::vector<OHOS::SurfaceBuffer *> held;
    std::set<const uint8_t *> addresses;
    // Pictures 1..5 unread, then 6..8 while the consumer holds 5, then 9..10 while
    // it holds 5 and 8: the consumer gets the newest each time, in the same buffers.
    for (const auto &[from, to] : {std::pair(1, 5), std::pair(6, 8), std::pair(9, 10)}) {
        for (int seq = from; seq <= to; ++seq) {
            Produce(*surface, seq);
        }
        held.push_back(surface->AcquireBuffer(0ms, &result));
        ASSERT_NE(held.back(), nullptr);
        EXPECT_EQ(held.back()->sequence, static_cast<uint64_t>(to));
        EXPECT_EQ(held.back()->timestampNs, to * 1000);
        addresses.insert(held.back()->data.data());
    }
    EXPECT_EQ(addresses.size(), 3u);
    EXPECT_EQ(surface->DroppedFrames(), 4u + 2u + 1u);
    // Holding all three buffers leaves the producer none, and nothing to acquire.
    EXPECT_EQ(surface->RequestBuffer(16, 8), nullptr);
    EXPECT_EQ(surface->AcquireBuffer(0ms, &result), nullptr);
    EXPECT_EQ(result, Surface::AcquireResult::kTimeout);
    for (auto *buffer : held) {
        surface->ReleaseBuffer(buffer);
    }
    for (uint64_t seq = 11; seq < 60; ++seq) {
        Produce(*surface, seq);
        OHOS::SurfaceBuffer *buffer = surface->AcquireBuffer(0ms, &result);
        ASSERT_NE(buffer, nullptr);
        addresses.insert(buffer->data.data());
        surface->ReleaseBuffer(buffer);
    }
    EXPECT_EQ(addresses.size(), 3u);
}

TEST(SurfaceQueue, ShutdownWakesAWaitingConsumerAndRefusesProducers) {
    auto surface = Surface::Create();
    Surface::AcquireResult result = Surface::AcquireResult::kOk;
    OHOS::SurfaceBuffer *got = nullptr;
    std::thread consumer([&] { got = surface->AcquireBuffer(60s, &result); });
    surface->Shutdown();
    consumer.join();  // would take a minute without the wake-up
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(result, Surface::AcquireResult::kShutdown);
    EXPECT_EQ(surface->RequestBuffer(16, 8), nullptr);
}

}  // namespace
