// mirrax_client's pure logic: the command line, the statistics, the timestamps for
// the muxer, the JSON summary and the reading of stream messages.
#include <gtest/gtest.h>

#include <fstream>

#include "client_options.h"
#include "frame_message.h"
#include "mirrax.pb.h"
#include "monotonic_pts.h"
#include "stream_stats.h"
#include "summary_format.h"
#include "support/test_folder.h"

namespace {

using namespace mirrax::client;

// --- command line -----------------------------------------------------------------

struct GoodArgs {
    const char *name;
    std::vector<std::string> args;
    std::string server;
    Command command;
    OutputKind output;
    std::optional<double> seconds = std::nullopt;
    std::optional<uint64_t> frames = std::nullopt;
    PipeFormat pipeFormat = PipeFormat::kRaw;
    std::vector<NamedServer> devices = {};
    const char *file = nullptr;  // what FILE in `args` holds
};

// `args` with FILE the path of a file of the test's own holding `text`.
std::vector<std::string> WithFile(std::vector<std::string> args, const char *text) {
    static const mirrax::test::TestFolder folder("client_options");
    std::ofstream(folder.Path("farm")) << (text ? text : "");
    std::replace(args.begin(), args.end(), std::string("FILE"), folder.Path("farm"));
    return args;
}

void PrintTo(const GoodArgs &c, std::ostream *os) { *os << c.name; }

class OptionsAccepted : public ::testing::TestWithParam<GoodArgs> {};

TEST_P(OptionsAccepted, Parsed) {
    const GoodArgs &c = GetParam();
    ClientOptions options;
    std::string error;
    ASSERT_TRUE(ParseClientOptions(WithFile(c.args, c.file), &options, &error)) << error;
    EXPECT_EQ(options.server, c.server);
    EXPECT_EQ(options.command, c.command);
    EXPECT_EQ(options.outputKind, c.output);
    EXPECT_EQ(options.seconds, c.seconds);
    EXPECT_EQ(options.frames, c.frames);
    EXPECT_EQ(options.pipeFormat, c.pipeFormat);
    EXPECT_EQ(options.devices, c.devices);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsAccepted,
    ::testing::Values(
        GoodArgs{"DefaultServer", {"end"}, "127.0.0.1:5000", Command::kEnd, OutputKind::kNone},
        GoodArgs{"PortShortcut",
                 {"-p", "6001", "idr"},
                 "127.0.0.1:6001",
                 Command::kIdr,
                 OutputKind::kNone},
        GoodArgs{"ServerAfterCommand",
                 {"idr", "--server=localhost:7"},
                 "localhost:7",
                 Command::kIdr,
                 OutputKind::kNone},
        GoodArgs{"Ipv6Server",
                 {"--server", "[::1]:5000", "end"},
                 "[::1]:5000",
                 Command::kEnd,
                 OutputKind::kNone},
        GoodArgs{"Mp4CaseInsensitive",
                 {"stream", "-o", "A.MP4", "--seconds", "2.5"},
                 "127.0.0.1:5000",
                 Command::kStream,
                 OutputKind::kMp4,
                 2.5},
        GoodArgs{"RawBothBounds",
                 {"stream", "--frames", "30", "-o", "a.h264", "--seconds", "1"},
                 "127.0.0.1:5000",
                 Command::kStream,
                 OutputKind::kRawH264,
                 1.0,
                 30},
        GoodArgs{"Stdout",
                 {"stream", "-o", "-"},
                 "127.0.0.1:5000",
                 Command::kStream,
                 OutputKind::kStdout},
        GoodArgs{"StdoutNut",
                 {"stream", "-o", "-", "--format", "nut"},
                 "127.0.0.1:5000",
                 Command::kStream,
                 OutputKind::kStdout,
                 std::nullopt,
                 std::nullopt,
                 PipeFormat::kNut},
        GoodArgs{"StdoutMpegTs",
                 {"stream", "--format", "mpegts", "-o", "-"},
                 "127.0.0.1:5000",
                 Command::kStream,
                 OutputKind::kStdout,
                 std::nullopt,
                 std::nullopt,
                 PipeFormat::kMpegTs},
        GoodArgs{"Snapshot",
                 {"snapshot", "-o", "s.png", "--timeout", "3"},
                 "127.0.0.1:5000",
                 Command::kSnapshot,
                 OutputKind::kPng},
        GoodArgs{.name = "GridNamesInOrder",
                 .args = {"-p", "5001", "view", "--server", "h:5002", "--name", "a"},
                 .server = "127.0.0.1:5001",
                 .command = Command::kView,
                 .output = OutputKind::kNone,
                 .devices = {{"a", "127.0.0.1:5001"}, {"h:5002", "h:5002"}}},
        GoodArgs{.name = "GridFromAFile",
                 .args = {"view", "--servers", "FILE"},
                 .server = "h:1",
                 .command = Command::kView,
                 .output = OutputKind::kNone,
                 .devices = {{"a", "h:1"}, {"b", "[::1]:2"}},
                 .file = "# farm\n\na h:1\n  b\t[::1]:2  # spare\n"}),
    [](const auto &info) { return std::string(info.param.name); });

struct BadArgs {
    const char *name;
    std::vector<std::string> args;
    const char *fragment;        // the message names the problem
    const char *file = nullptr;  // what FILE in `args` holds
};

void PrintTo(const BadArgs &c, std::ostream *os) { *os << c.name; }

class OptionsRejected : public ::testing::TestWithParam<BadArgs> {};

TEST_P(OptionsRejected, WithAMessage) {
    ClientOptions options;
    std::string error;
    EXPECT_FALSE(ParseClientOptions(WithFile(GetParam().args, GetParam().file), &options, &error));
    EXPECT_NE(error.find(GetParam().fragment), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsRejected,
    ::testing::Values(
        BadArgs{"NoCommand", {"-p", "5000"}, "no command"},
        BadArgs{"TwoCommands", {"idr", "end"}, "unexpected argument 'end'"},
        BadArgs{"UnknownOption", {"end", "--fast"}, "--fast"},
        BadArgs{"MissingValue", {"stream", "-o"}, "-o needs a value"},
        BadArgs{"PortZero", {"-p", "0", "end"}, "bad port"},
        BadArgs{"PortNotNumber", {"-p", "50x", "end"}, "bad port"},
        BadArgs{"ServerWithoutPort", {"--server", "localhost", "end"}, "HOST:PORT"},
        BadArgs{"StreamWithoutOutput", {"stream", "--frames", "3"}, "-o"},
        BadArgs{"UnknownExtension", {"stream", "-o", "a.mkv"}, "a.mkv"},
        BadArgs{"FramesZero", {"stream", "-o", "-", "--frames", "0"}, "--frames"},
        BadArgs{"FramesNegative", {"stream", "-o", "-", "--frames", "-3"}, "--frames"},
        BadArgs{"SecondsNaN", {"stream", "-o", "-", "--seconds", "nan"}, "--seconds"},
        BadArgs{"BoundOnSnapshot", {"snapshot", "-o", "a.png", "--frames", "2"}, "only for stream"},
        BadArgs{"TimeoutOnStream", {"stream", "-o", "-", "--timeout", "2"}, "only for snapshot"},
        BadArgs{"SnapshotNotPng", {"snapshot", "-o", "a.h264"}, ".png"},
        BadArgs{"OutputOnEnd", {"end", "-o", "a.mp4"}, "-o is only"},
        BadArgs{"UnknownFormat", {"stream", "-o", "-", "--format", "mkv"}, "bad --format 'mkv'"},
        BadArgs{"FormatForAFile", {"stream", "-o", "a.mp4", "--format", "nut"}, "-o -"},
        BadArgs{
            "FormatOnSnapshot", {"snapshot", "-o", "a.png", "--format", "nut"}, "only for stream"},
        BadArgs{"GridForStream", {"stream", "-o", "-", "-p", "1", "-p", "2"}, "only for view"},
        BadArgs{"MoreNamesThanServers", {"view", "--name", "a", "--name", "b"}, "more names (2)"},
        BadArgs{"NameTwice",
                {"view", "-p", "1", "-p", "2", "--name", "a", "--name", "a"},
                "'a' given twice"},
        BadArgs{"ServerTwice",
                {"view", "-p", "1", "--server", "127.0.0.1:1"},
                "127.0.0.1:1 given twice"},
        BadArgs{"NoServersFile",
                {"view", "--servers", "/nonexistent"},
                "cannot read --servers /nonexistent: No such"},
        BadArgs{"MalformedServersLine",
                {"view", "--servers", "FILE"},
                "farm:2: expected NAME HOST:PORT",
                "a h:1\nb h:2 x\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// --- statistics -------------------------------------------------------------------

struct PercentileCase {
    const char *name;
    std::vector<int64_t> values;
    std::optional<double> median;
    std::optional<int64_t> p99;
};

void PrintTo(const PercentileCase &c, std::ostream *os) { *os << c.name; }

class Percentiles : public ::testing::TestWithParam<PercentileCase> {};

TEST_P(Percentiles, MedianAndP99) {
    EXPECT_EQ(Median(GetParam().values), GetParam().median);
    EXPECT_EQ(Percentile(GetParam().values, 99.0), GetParam().p99);
}

std::vector<int64_t> OneToHundredReversed() {
    std::vector<int64_t> v;
    for (int64_t i = 100; i >= 1; --i) {
        v.push_back(i);
    }
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Percentiles,
    ::testing::Values(PercentileCase{"Empty", {}, std::nullopt, std::nullopt},
                      PercentileCase{"One", {7}, 7.0, 7},
                      PercentileCase{"EvenCountAveragesTheMiddle", {40, 10, 30, 20}, 25.0, 40},
                      PercentileCase{"NegativeFromClockSkew", {-3, -1, -2}, -2.0, -1},
                      PercentileCase{"HundredValuesNearestRank", OneToHundredReversed(), 50.5, 99}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StreamStats, CountsPicturesAndKeyFramesButBytesOfEveryMessage) {
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

// --- timestamps for the muxer -----------------------------------------------------

struct PtsCase {
    const char *name;
    std::vector<int64_t> in;
    std::vector<int64_t> out;
};

void PrintTo(const PtsCase &c, std::ostream *os) { *os << c.name; }

class PtsFixUp : public ::testing::TestWithParam<PtsCase> {};

TEST_P(PtsFixUp, StrictlyIncreasingFromZero) {
    MonotonicPts pts;
    std::vector<int64_t> out;
    for (const int64_t ms : GetParam().in) {
        out.push_back(pts.Next(ms));
    }
    EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PtsFixUp,
    ::testing::Values(PtsCase{"Steady", {1700000000000, 1700000000033, 1700000000066}, {0, 33, 66}},
                      PtsCase{"SameMillisecond", {5000, 5000, 5000, 5010}, {0, 1, 2, 10}},
                      PtsCase{
                          "ClockStepsBack", {5000, 5040, 4990, 5041, 5100}, {0, 40, 41, 42, 100}},
                      PtsCase{"CatchesUpAfterCrowding", {100, 100, 100, 101}, {0, 1, 2, 3}}),
    [](const auto &info) { return std::string(info.param.name); });

// --- summary ----------------------------------------------------------------------

TEST(SummaryFormat, JsonHasEveryKeyAndNullForUnknowns) {
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
}

TEST(SummaryFormat, JsonStringEscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
}

// --- stream messages --------------------------------------------------------------

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

TEST(FrameMessage, ReadsTheFourKeysAndTellsKindsApart) {
    std::string error;
    const ReplyMessage codec = Message(std::string("\0\0\0\1gB", 6), 6, kFlagCodecData);
    const auto parsed = ParseFrameMessage(codec, &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->data.size(), 6u);
    EXPECT_EQ(parsed->pts, 1700000000123);
    EXPECT_TRUE(parsed->IsCodecData());
    EXPECT_FALSE(parsed->IsPicture());

    const ReplyMessage key = Message("abc", 3, kFlagSyncFrame);
    EXPECT_TRUE(ParseFrameMessage(key, &error)->IsPicture());
    EXPECT_TRUE(ParseFrameMessage(key, &error)->IsKeyFrame());
    // An empty end-of-stream buffer carries no picture.
    EXPECT_FALSE(ParseFrameMessage(Message("", 0, kFlagEos), &error)->IsPicture());
    // A flags word with bit 31 set arrives negative; its low bits still count.
    EXPECT_TRUE(
        ParseFrameMessage(Message("x", 1, -2147483648LL | kFlagSyncFrame), &error)->IsKeyFrame());
}

TEST(FrameMessage, RejectsMissingDataAndALengthThatDisagrees) {
    std::string error;
    EXPECT_FALSE(ParseFrameMessage(Message("abcd", 3, 0), &error));
    EXPECT_NE(error.find("\"len\" 3"), std::string::npos) << error;
    ReplyMessage noData;
    (*noData.mutable_payload())["len"].set_val_int(0);
    EXPECT_FALSE(ParseFrameMessage(noData, &error));
}

}  // namespace
