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

// Runs a script against one queue. Tokens: "C1", "C2" codec data, "K" key frame, "P"
// picture, "E" an empty end-of-stream buffer, "T" a text event, "-" the viewer takes
// one item, "W" the host went away (wait for a key frame). Each item is named by its
// token and position ("K@3"). Returns what the viewer took, the queue drained at the
// end, and after "/" the number of key-frame requests.
std::string Play(size_t limit, const std::string &script) {
    ViewerQueue queue(limit);
    std::shared_ptr<const RelayBuffer> codecData;
    std::string taken;
    int requests = 0;
    auto take = [&] {
        auto item = queue.Pop();
        if (item) {
            taken += (item->text ? *item->text : item->buffer->data) + " ";
        }
        return item.has_value();
    };
    std::istringstream tokens(script);
    std::string token;
    for (int position = 1; tokens >> token; ++position) {
        const std::string name = token + "@" + std::to_string(position);
        if (token == "-") {
            take();
        } else if (token == "W") {
            queue.WaitForKeyFrame();
        } else if (token == "T") {
            queue.OfferText(std::make_shared<const std::string>(name));
        } else {
            const int64_t flags = token[0] == 'C' ? 8 : token == "K" ? 2 : token == "E" ? 1 : 0;
            auto buffer = std::make_shared<const RelayBuffer>(
                RelayBuffer{token == "E" ? "" : name, flags, position});
            codecData = buffer->IsCodecData() ? buffer : codecData;
            requests += queue.Offer(buffer, codecData) ? 1 : 0;
        }
    }
    for (int i = 0; i < 100 && take(); ++i) {
    }
    return taken + "/ " + std::to_string(requests);
}

TEST(ViewerQueue, DeliversAndAsks) {
    const std::tuple<size_t, const char *, const char *> cases[] = {
        {8, "C1 P P K P", "C1@1 K@4 P@5 / 0"},  // starts at a key frame
        {8, "C1 K E P", "C1@1 K@2 P@4 / 0"},    // empty buffers are dropped
        // Full at P@4: the queue is dropped, the codec data queued again, and the
        // pictures up to the next key frame skipped.
        {3, "C1 K P P P K P", "C1@1 K@6 P@7 / 1"},
        {2, "C1 K C2 P P K", "C2@3 K@6 / 0"},  // codec data is never lost
        // A viewer that takes nothing asks once; after it took something it may ask again.
        {2, "C1 K P P K P P K P", "C1@1 / 1"},
        {2, "C1 K P - K P P", "C1@1 C1@1 / 2"},
        {3, "C1 K P K", "C1@1 K@4 / 0"},          // full at a key frame: no request
        {2, "C1 K T P P K", "T@3 C1@1 K@6 / 1"},  // text events survive a skip
        // The host went away: wait for the next run's key frame.
        {8, "C1 K P W P C2 P K", "C1@1 K@2 P@3 C2@6 K@8 / 0"},
    };
    for (const auto &[limit, script, expected] : cases) {
        EXPECT_EQ(Play(limit, script), expected) << script;
    }
}

}  // namespace
