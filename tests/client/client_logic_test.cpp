// mirrax_client's pure logic: the command line, the statistics, the timestamps for
// the muxer, the summary, the reading of stream messages and the failed-call message.
#include <gtest/gtest.h>

#include <sstream>

#include "client_options.h"
#include "frame_message.h"
#include "mirrax.pb.h"
#include "monotonic_pts.h"
#include "rpc_session.h"
#include "stream_stats.h"
#include "summary_format.h"

namespace {

using namespace mirrax::client;

// The parsed options as "SERVER COMMAND OUTPUT FORMAT [seconds S] [frames N]", the
// enums by their numbers, or "error: " and the message.
std::string Parsed(const std::vector<std::string> &args) {
    ClientOptions o;
    std::string error;
    if (!ParseClientOptions(args, &o, &error)) {
        return "error: " + error;
    }
    std::ostringstream out;
    out << o.server << " " << static_cast<int>(o.command) << " " << static_cast<int>(o.outputKind)
        << " " << static_cast<int>(o.pipeFormat);
    if (o.seconds) {
        out << " seconds " << *o.seconds;
    }
    if (o.frames) {
        out << " frames " << *o.frames;
    }
    if (o.command == Command::kView) {
        out << " listen " << o.listen << (o.requireToken ? " token" : "");
    }
    return out.str();
}

TEST(ClientOptions, OneRowPerRule) {
    // Commands: 1 stream, 2 idr, 3 end, 4 snapshot, 6 view; outputs: 1 raw, 2 mp4,
    // 3 stdout, 4 png; formats: 1 nut.
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{"end"}, "127.0.0.1:5000 3 0 0"},
        {{"-p", "6001", "idr"}, "127.0.0.1:6001 2 0 0"},
        {{"idr", "--server=localhost:7"}, "localhost:7 2 0 0"},
        {{"stream", "-o", "A.MP4", "--seconds", "2.5"}, "127.0.0.1:5000 1 2 0 seconds 2.5"},
        {{"stream", "--frames", "30", "-o", "a.h264", "--seconds", "1"},
         "127.0.0.1:5000 1 1 0 seconds 1 frames 30"},
        {{"stream", "-o", "-", "--format", "nut"}, "127.0.0.1:5000 1 3 1"},
        {{"snapshot", "-o", "s.png", "--timeout", "3"}, "127.0.0.1:5000 4 4 0"},
        {{"-p", "5000"}, "error: no command"},
        {{"idr", "end"}, "error: unexpected argument 'end'"},
        {{"end", "--fast"}, "error: --fast"},
        {{"stream", "-o"}, "error: -o needs a value"},
        {{"-p", "50x", "end"}, "error: bad port"},
        {{"--server", "localhost", "end"}, "error: HOST:PORT"},
        {{"stream", "--frames", "3"}, "error: -o"},
        {{"stream", "-o", "a.mkv"}, "error: a.mkv"},
        {{"stream", "-o", "-", "--frames", "0"}, "error: --frames"},
        {{"stream", "-o", "-", "--seconds", "nan"}, "error: --seconds"},
        {{"snapshot", "-o", "a.png", "--frames", "2"}, "error: only for stream"},
        {{"snapshot", "-o", "a.h264"}, "error: .png"},
        {{"stream", "-o", "-", "--format", "mkv"}, "error: bad --format 'mkv'"},
        {{"stream", "-o", "a.mp4", "--format", "nut"}, "error: -o -"},
        {{"view"}, "127.0.0.1:5000 6 0 0 listen 127.0.0.1:8080"},
        {{"-p", "6001", "view", "--listen", "[::1]:0"}, "127.0.0.1:6001 6 0 0 listen [::1]:0"},
        // Off loopback the token is required.
        {{"view", "--listen=0.0.0.0:9000"}, "127.0.0.1:5000 6 0 0 listen 0.0.0.0:9000 token"},
        {{"view", "--require-token", "--token", "a-b.c_d~", "--allow-origin", "http://x:1"},
         "127.0.0.1:5000 6 0 0 listen 127.0.0.1:8080 token"},
        {{"view", "--allow-origin", "http://x.example/page"}, "error: "},
        {{"view", "--token", "a&b"}, "error: "},
        {{"view", "--listen", "localhost:8080"}, "error: "},
        {{"view", "--listen", "127.1:80"}, "error: "},
        {{"view", "--listen", "127.0.0.1:65536"}, "error: "},
        {{"stream", "-o", "x.h264", "--listen", "127.0.0.1:1"}, "error: "},
        {{"view", "-o", "x.h264"}, "error: "},
    };
    for (const auto &[args, expected] : cases) {
        const std::string parsed = Parsed(args);
        if (std::string_view(expected).starts_with("error: ")) {
            EXPECT_NE(parsed.find(expected + 7), std::string::npos) << parsed;
            EXPECT_EQ(parsed.rfind("error: ", 0), 0u) << parsed;
        } else {
            EXPECT_EQ(parsed, expected) << ::testing::PrintToString(args);
        }
    }
}

TEST(StreamStats, PercentilesAndCountsOfPicturesKeyFramesAndBytes) {
    std::vector<int64_t> hundred;
    for (int64_t i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    EXPECT_EQ(Median({}), std::nullopt);
    EXPECT_EQ(Percentile({}, 99.0), std::nullopt);
    EXPECT_EQ(Median({40, 10, 30, 20}), 25.0);
    EXPECT_EQ(Median(hundred), 50.5);
    EXPECT_EQ(Percentile(hundred, 99.0), 99);  // nearest rank

    StreamStats stats;
    stats.Add(false, false, 30, 1000, 1001);  // codec data
    stats.Add(true, true, 500, 1000, 1012);
    stats.Add(true, false, 100, 1033, 1040);
    Summary summary;
    stats.FillSummary(&summary);
    EXPECT_EQ(summary.frames, 2u);
    EXPECT_EQ(summary.keyFrames, 1u);
    EXPECT_EQ(summary.bytes, 630u);
    EXPECT_EQ(summary.latencyMedianMs, 9.5);  // latencies 12 and 7
    EXPECT_EQ(summary.latencyP99Ms, 12);
}

TEST(MonotonicPts, StrictlyIncreasingFromZero) {
    const std::pair<std::vector<int64_t>, std::vector<int64_t>> cases[] = {
        {{1700000000000, 1700000000033, 1700000000066}, {0, 33, 66}},
        {{5000, 5000, 5000, 5010}, {0, 1, 2, 10}},
        {{5000, 5040, 4990, 5041, 5100}, {0, 40, 41, 42, 100}},  // the clock steps back
    };
    for (const auto &[in, expected] : cases) {
        MonotonicPts pts;
        std::vector<int64_t> out;
        for (const int64_t ms : in) {
            out.push_back(pts.Next(ms));
        }
        EXPECT_EQ(out, expected);
    }
}

TEST(SummaryFormat, JsonWithNullForUnknownsAndTheLine) {
    Summary summary;
    summary.frames = 3;
    summary.bytes = 1000;
    summary.seconds = 2.0;
    summary.endedBy = "frames";
    summary.output = "-";
    EXPECT_EQ(FormatSummaryJson(summary),
              "{\"frames\":3,\"key_frames\":0,\"bytes\":1000,\"seconds\":2.000,\"fps\":1.50,"
              "\"kbit_per_s\":4.0,\"latency_median_ms\":null,\"latency_p99_ms\":null,"
              "\"width\":null,\"height\":null,\"ended_by\":\"frames\",\"output\":\"-\"}");
    summary.latencyMedianMs = 12.5;
    summary.latencyP99Ms = 40;
    summary.width = 320;
    summary.height = 240;
    EXPECT_EQ(FormatSummaryLine(summary),
              "frames: 3 (key 0), bytes: 1000, 2.00 s, 1.5 fps, 4.0 kbit/s, send-to-arrival median "
              "12.5 ms p99 40 ms, size 320x240");
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
}

ReplyMessage Message(const std::string &data, std::optional<int64_t> len, int64_t flags) {
    ReplyMessage message;
    auto &payload = *message.mutable_payload();
    payload["data"].set_val_bytes(data);
    if (len) {
        payload["len"].set_val_int(*len);
    }
    payload["flags"].set_val_int(flags);
    payload["pts"].set_val_int(1700000000123);
    return message;
}

TEST(FrameMessage, ReadsTheKeysTellsKindsApartAndRejectsBadOnes) {
    std::string error;
    const auto codec =
        ParseFrameMessage(Message(std::string("\0\0\0\1gB", 6), 6, kFlagCodecData), &error);
    ASSERT_TRUE(codec) << error;
    EXPECT_EQ(codec->data.size(), 6u);
    EXPECT_EQ(codec->pts, 1700000000123);
    EXPECT_TRUE(codec->IsCodecData());
    EXPECT_FALSE(codec->IsPicture());
    EXPECT_TRUE(ParseFrameMessage(Message("abc", 3, kFlagSyncFrame), &error)->IsKeyFrame());
    // An empty end-of-stream buffer carries no picture.
    EXPECT_FALSE(ParseFrameMessage(Message("", 0, kFlagEos), &error)->IsPicture());
    // A flags word with bit 31 set arrives negative; its low bits still count.
    EXPECT_TRUE(
        ParseFrameMessage(Message("x", 1, -2147483648LL | kFlagSyncFrame), &error)->IsKeyFrame());

    EXPECT_FALSE(ParseFrameMessage(Message("abcd", 3, 0), &error));
    EXPECT_NE(error.find("\"len\" 3"), std::string::npos) << error;
    ReplyMessage noData;
    (*noData.mutable_payload())["len"].set_val_int(0);
    EXPECT_FALSE(ParseFrameMessage(noData, &error));
}

// The host cancels a call from a peer it does not admit: the user is told why.
TEST(ExplainFailedCall, ACancelledCallIsARefusal) {
    EXPECT_EQ(ExplainFailedCall("onStart", "127.0.0.2:5000", grpc::Status::CANCELLED),
              "the server refused the call (only 127.0.0.1 clients are admitted): onStart at "
              "127.0.0.2:5000 ended with status 1 (CANCELLED)");
    EXPECT_EQ(ExplainFailedCall("onEnd", "h:1", grpc::Status(grpc::StatusCode::INTERNAL, "boom")),
              "onEnd at h:1 failed with status 13 (INTERNAL): boom");
}

}  // namespace
