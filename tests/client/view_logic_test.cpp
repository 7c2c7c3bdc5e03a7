// The live view's pure logic: its command line, the header of each relayed buffer
// and the bounded queue that makes a slow viewer skip to the next key frame.
#include <gtest/gtest.h>

#include <sstream>

#include "client_options.h"
#include "view_queue.h"
#include "view_server.h"

namespace {

using namespace mirrax::client;

// --- command line -----------------------------------------------------------------

struct ViewArgs {
    const char *name;
    std::vector<std::string> args;
    std::string listen;  // empty: rejected
    std::string server = "127.0.0.1:5000";
    bool requireToken = false;
};

void PrintTo(const ViewArgs &c, std::ostream *os) { *os << c.name; }

class ViewOptions : public ::testing::TestWithParam<ViewArgs> {};

TEST_P(ViewOptions, ParsedOrRejected) {
    const ViewArgs &c = GetParam();
    ClientOptions options;
    std::string error;
    const bool parsed = ParseClientOptions(c.args, &options, &error);
    if (c.listen.empty()) {
        EXPECT_FALSE(parsed);
        EXPECT_FALSE(error.empty());
        return;
    }
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(options.command, Command::kView);
    EXPECT_EQ(options.listen, c.listen);
    EXPECT_EQ(options.server, c.server);
    EXPECT_EQ(options.requireToken, c.requireToken);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewOptions,
    ::testing::Values(
        ViewArgs{"LoopbackByDefault", {"view"}, "127.0.0.1:8080"},
        ViewArgs{"PortAndListen",
                 {"-p", "6001", "view", "--listen", "127.0.0.1:0"},
                 "127.0.0.1:0",
                 "127.0.0.1:6001"},
        // Off loopback the token is required.
        ViewArgs{"AnyAddress",
                 {"view", "--listen=0.0.0.0:9000"},
                 "0.0.0.0:9000",
                 "127.0.0.1:5000",
                 true},
        ViewArgs{"TokenRequiredOnLoopback",
                 {"view", "--require-token", "--token", "a-b.c_d~", "--allow-origin", "http://x:1"},
                 "127.0.0.1:8080",
                 "127.0.0.1:5000",
                 true},
        ViewArgs{"OriginWithPath", {"view", "--allow-origin", "http://x.example/page"}, ""},
        ViewArgs{"TokenOutsideUrlCharacters", {"view", "--token", "a&b"}, ""},
        ViewArgs{"TokenForStream", {"stream", "-o", "x.h264", "--token", "abc"}, ""},
        ViewArgs{"Ipv6", {"view", "--listen", "[::1]:8081"}, "[::1]:8081"},
        ViewArgs{"HostName", {"view", "--listen", "localhost:8080"}, ""},
        ViewArgs{"NoPort", {"view", "--listen", "127.0.0.1"}, ""},
        ViewArgs{"PortTooLarge", {"view", "--listen", "127.0.0.1:65536"}, ""},
        ViewArgs{"ShortAddress", {"view", "--listen", "127.1:80"}, ""},
        ViewArgs{"ListenForStream", {"stream", "-o", "x.h264", "--listen", "127.0.0.1:1"}, ""},
        ViewArgs{"OutputForView", {"view", "-o", "x.h264"}, ""},
        ViewArgs{"JsonForView", {"view", "--json"}, ""}),
    [](const auto &info) { return std::string(info.param.name); });

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

struct QueueCase {
    const char *name;
    size_t limit;
    const char *script;
    const char *taken;
    int requests;
};

void PrintTo(const QueueCase &c, std::ostream *os) { *os << c.name; }

class ViewerQueueScript : public ::testing::TestWithParam<QueueCase> {};

TEST_P(ViewerQueueScript, DeliversAndAsks) {
    const QueueCase &c = GetParam();
    const Outcome outcome = Play(c.limit, c.script);
    EXPECT_EQ(outcome.taken, c.taken);
    EXPECT_EQ(outcome.requests, c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewerQueueScript,
    ::testing::Values(
        QueueCase{"StartsAtAKeyFrame", 8, "C1 P P K P", "C1@1 K@4 P@5", 0},
        QueueCase{"EmptyBuffersAreDropped", 8, "C1 K E P", "C1@1 K@2 P@4", 0},
        QueueCase{"SizeChangeKeepsOrder", 8, "C1 K P C2 K P", "C1@1 K@2 P@3 C2@4 K@5 P@6", 0},
        // Full at P@4: the queue is dropped, the codec data queued again, and the
        // pictures up to the next key frame skipped.
        QueueCase{"FallenBehindSkipsToTheNextKeyFrame", 3, "C1 K P P P K P", "C1@1 K@6 P@7", 1},
        QueueCase{"CodecDataIsNeverLost", 2, "C1 K C2 P P K", "C2@3 K@6", 0},
        // A viewer that takes nothing asks once; after it took something it may ask again.
        QueueCase{"ANonReaderAsksOnce", 2, "C1 K P P K P P K P", "C1@1", 1},
        QueueCase{"AReaderThatFallsBehindAgainAsksAgain", 2, "C1 K P - K P P", "C1@1 C1@1", 2},
        QueueCase{"FullAtAKeyFrameNeedsNoRequest", 3, "C1 K P K", "C1@1 K@4", 0},
        QueueCase{"TextEventsSurviveASkip", 2, "C1 K T P P K", "T@3 C1@1 K@6", 1},
        QueueCase{"HostGoneWaitsForTheNextRunsKeyFrame", 8, "C1 K P W P C2 P K",
                  "C1@1 K@2 P@3 C2@6 K@8", 0}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
