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

TEST(SurfaceQueue, NewestPictureReplacesTheUnreadOnesInReusedBuffers) {
    auto surface = Surface::Create(3);
    for (uint64_t seq = 1; seq <= 5; ++seq) {
        Produce(*surface, seq);
    }
    EXPECT_EQ(surface->DroppedFrames(), 4u);
    Surface::AcquireResult result;
    std::vector<uint64_t> got;
    while (auto *buffer = surface->AcquireBuffer(0ms, &result)) {
        got.push_back(buffer->sequence);
        EXPECT_EQ(buffer->timestampNs, static_cast<int64_t>(buffer->sequence) * 1000);
        surface->ReleaseBuffer(buffer);
    }
    EXPECT_EQ(result, Surface::AcquireResult::kTimeout);
    EXPECT_EQ(got, (std::vector<uint64_t>{5}));

    // While the consumer holds a picture, the producer still finds a buffer for
    // every new one, and the consumer's next picture is the newest.
    Produce(*surface, 6);
    auto *held = surface->AcquireBuffer(0ms, &result);
    ASSERT_NE(held, nullptr);
    for (uint64_t seq = 7; seq <= 9; ++seq) {
        Produce(*surface, seq);
    }
    auto *next = surface->AcquireBuffer(0ms, &result);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(held->sequence, 6u);
    EXPECT_EQ(next->sequence, 9u);
    surface->ReleaseBuffer(held);
    surface->ReleaseBuffer(next);

    // Steady state reuses the same buffers.
    std::set<const uint8_t *> addresses;
    for (uint64_t seq = 10; seq < 60; ++seq) {
        Produce(*surface, seq);
        auto *buffer = surface->AcquireBuffer(0ms, &result);
        ASSERT_NE(buffer, nullptr);
        addresses.insert(buffer->data.data());
        surface->ReleaseBuffer(buffer);
    }
    EXPECT_LE(addresses.size(), 3u);

    // While the consumer holds every buffer, the producer gets none.
    auto two = Surface::Create(2);
    Produce(*two, 1);
    auto *a = two->AcquireBuffer(0ms, &result);
    Produce(*two, 2);
    auto *b = two->AcquireBuffer(0ms, &result);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(two->RequestBuffer(16, 8), nullptr);
    EXPECT_EQ(two->DroppedFrames(), 1u);
    two->ReleaseBuffer(a);
    EXPECT_NE(two->RequestBuffer(16, 8), nullptr);
    two->ReleaseBuffer(b);
}

TEST(SurfaceQueue, ShutdownWakesWaitingConsumer) {
    auto surface = Surface::Create();
    Surface::AcquireResult result = Surface::AcquireResult::kOk;
    OHOS::SurfaceBuffer *got = nullptr;
    std::thread consumer([&] { got = surface->AcquireBuffer(60s, &result); });
    surface->Shutdown();
    consumer.join();  // would take a minute without the wake-up
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(result, Surface::AcquireResult::kShutdown);
    EXPECT_EQ(surface->RequestBuffer(16, 8), nullptr);
    surface->Reopen();
    Produce(*surface, 9);
    auto *buffer = surface->AcquireBuffer(0ms, &result);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->sequence, 9u);
}

}  // namespace
