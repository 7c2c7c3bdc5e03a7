// The live view's pure logic: the loopback rule, the header of each relayed buffer and
// the bounded queue that makes a slow viewer skip to the next key frame.
#include <gtest/gtest.h>

#include <sstream>

#include "view_queue.h"
#include "view_server.h"

namespace {

using namespace mirrax::client;

TEST(ViewAddress, LoopbackIsTheLocalMachineOnly) {
    const std::pair<const char *, bool> cases[] = {
        {"127.0.0.1", true},        {"127.9.8.7", true},        {"::1", true},
        {"::ffff:127.0.0.1", true}, {"0.0.0.0", false},         {"::", false},
        {"192.168.1.2", false},     {"::ffff:10.0.0.1", false}, {"nonsense", false}};
    for (const auto &[address, loopback] : cases) {
        EXPECT_EQ(IsLoopbackAddress(address), loopback) << address;
    }
}

// --- the header ---------------------------------------------------------------------

TEST(ViewHeader, LittleEndianFieldsAtTheirOffsets) {
    const RelayBuffer buffer{"xyz", 0x0A, 1000};
    const auto header = EncodeViewHeader(buffer, -2.5);
    // f64 1000.0 is 0x408F400000000000, -2.5 is 0xC004000000000000.
    const std::array<uint8_t, kViewHeaderSize> expected{
        1,    24, 0, 0,                        // version, length, reserved
        0x0A, 0,  0, 0,                        // flags
        0,    0,  0, 0, 0, 0x40, 0x8F, 0x40,   // pts
        0,    0,  0, 0, 0, 0,    0x04, 0xC0};  // send time
    EXPECT_EQ(header, expected);
}

// --- the viewer's queue ---------------------------------------------------------------

// Runs a script against one queue. Tokens: "C1", "C2" codec data, "K" key frame, "P"
// picture, "E" an empty end-of-stream buffer, "T" a text event, "-" the viewer takes
// one item, "W" the host went away (wait for a key frame). Each buffer is named by
// its token and position ("K3"). Returns what the viewer took, the queue drained at
// the end, and the key-frame requests.
struct Outcome {
    std::string taken;
    int requests = 0;
};

Outcome Play(size_t limit, const std::string &script) {
    ViewerQueue queue(limit);
    std::shared_ptr<const RelayBuffer> codecData;
    Outcome outcome;
    std::istringstream tokens(script);
    std::string token;
    int position = 0;
    auto take = [&] {
        auto item = queue.Pop();
        if (!item) {
            return false;
        }
        outcome.taken +=
            (outcome.taken.empty() ? "" : " ") + (item->text ? *item->text : item->buffer->data);
        return true;
    };
    while (tokens >> token) {
        ++position;
        const std::string name = token + "@" + std::to_string(position);
        if (token == "-") {
            take();
        } else if (token == "W") {
            queue.WaitForKeyFrame();
        } else if (token == "T") {
            queue.OfferText(std::make_shared<const std::string>(name));
        } else {
            int64_t flags = 0;
            std::string data = name;
            if (token[0] == 'C') {
                flags = 8;
            } else if (token == "K") {
                flags = 2;
            } else if (token == "E") {
                flags = 1;
                data.clear();
            }
            auto buffer = std::make_shared<const RelayBuffer>(RelayBuffer{data, flags, position});
            if (buffer->IsCodecData()) {
                codecData = buffer;
            }
            outcome.requests += queue.Offer(buffer, codecData) ? 1 : 0;
        }
    }
    for (int i = 0; i < 100 && take(); ++i) {
    }
    return outcome;
}

TEST(ViewerQueue, DeliversAndAsks) {
    struct Case {
        size_t limit;
        const char *script;
        const char *taken;
        int requests;
    };
    const Case cases[] = {
        {8, "C1 P P K P", "C1@1 K@4 P@5", 0},  // starts at a key frame
        {8, "C1 K E P", "C1@1 K@2 P@4", 0},    // empty buffers are dropped
        // Full at P@4: the queue is dropped, the codec data queued again, and the
        // pictures up to the next key frame skipped.
        {3, "C1 K P P P K P", "C1@1 K@6 P@7", 1},
        {2, "C1 K C2 P P K", "C2@3 K@6", 0},  // codec data is never lost
        // A viewer that takes nothing asks once; after it took something it may ask again.
        {2, "C1 K P P K P P K P", "C1@1", 1},
        {2, "C1 K P - K P P", "C1@1 C1@1", 2},
        {3, "C1 K P K", "C1@1 K@4", 0},          // full at a key frame: no request
        {2, "C1 K T P P K", "T@3 C1@1 K@6", 1},  // text events survive a skip
        // The host went away: wait for the next run's key frame.
        {8, "C1 K P W P C2 P K", "C1@1 K@2 P@3 C2@6 K@8", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        const Outcome outcome = Play(c.limit, c.script);
        EXPECT_EQ(outcome.taken, c.taken);
        EXPECT_EQ(outcome.requests, c.requests);
    }
}

}  // namespace
