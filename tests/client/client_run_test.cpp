// mirrax_client end to end: the real program in a child process against a real host on
// 127.0.0.1 (its synthetic screen at -scale 4: 270x586); the files it writes are
// decoded to check what it received, the host's log tells how each run ended.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "integration/host_fixture.h"
#include "integration/stream_client.h"
#include "support/child_process.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CheckPictures;
using mirrax::test::ChildProcess;
using mirrax::test::Decode;
using mirrax::test::HostProcess;
using mirrax::test::Program;
using mirrax::test::ReadFile;
using Stream = ChildProcess::Stream;

constexpr auto kExitWait = 15s;
const std::vector<std::string> kHostOptions = {"-scale", "4"};

std::vector<std::string> Client(const HostProcess &host, std::vector<std::string> args) {
    args.insert(args.begin(), {"--server", host.Target()});
    return Program("mirrax_client", args);
}

size_t LineCount(const std::string &text) { return std::count(text.begin(), text.end(), '\n'); }

class ClientRun : public ::testing::Test {
protected:
    std::string Path(const std::string &name) const { return folder_.Path(name); }

    mirrax::test::TestFolder folder_{"mirrax_client"};  // named after the running test
};

// Every kind of output ends its run with onEnd (never by dropping the stream) and holds
// exactly the pictures the summary counts; the summary goes where the video does not,
// and a clean run says nothing else.
TEST_F(ClientRun, EachOutputEndsWithOnEnd) {
    struct Case {
        const char *file;
        std::vector<std::string> bound;
        const char *pipeFormat;  // nullptr: written by name, not to standard output
    };
    const Case cases[] = {
        {"out.h264", {"--frames", "12"}, nullptr},  {"out.mp4", {"--frames", "12"}, nullptr},
        {"piped.h264", {"--frames", "12"}, "raw"},  {"piped.nut", {"--frames", "12"}, "nut"},
        {"piped.ts", {"--frames", "12"}, "mpegts"}, {"timed.mp4", {"--seconds", "1"}, nullptr},
    };
    HostProcess host(kHostOptions);
    ASSERT_TRUE(host.Ready()) << host.Log();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.file);
        const std::string file = Path(c.file);
        std::vector<std::string> args = {"stream", "--json", "-o", c.pipeFormat ? "-" : file};
        args.insert(args.end(), c.bound.begin(), c.bound.end());
        if (c.pipeFormat) {
            args.insert(args.end(), {"--format", c.pipeFormat});
        }
        std::string command = "exec";
        for (const auto &a : mirrax::test::CommandLine(Client(host, args))) {
            command += " '" + a + "'";
        }
        command += c.pipeFormat ? " > '" + file + "'" : "";
        const auto run = mirrax::test::Run({"/bin/sh", "-c", command}, kExitWait);
        ASSERT_EQ(run.status, 0) << run.Describe();
        EXPECT_TRUE(host.WaitForLog("Request to stop from", i + 1)) << host.Log();

        const auto decoded = Decode(file);
        const bool timed = c.bound[0] == "--seconds";
        EXPECT_EQ(CheckPictures(decoded, 270, 586), "");
        EXPECT_EQ(decoded.pictures.size(), timed ? decoded.pictures.size() : 12u);
        const std::string json = c.pipeFormat ? run.err : run.out;
        EXPECT_EQ(LineCount(run.err), c.pipeFormat ? 1u : 0u) << run.Describe();
        EXPECT_NE(json.find("{\"frames\":" + std::to_string(decoded.pictures.size()) + ","),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find(timed ? "\"ended_by\":\"seconds\"" : "\"ended_by\":\"frames\""),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find("\"width\":270,\"height\":586"), std::string::npos) << json;
        // A framed container really is one (a decoder would also take raw H.264).
        const std::string bytes = ReadFile(file);
        const std::string format = c.pipeFormat ? c.pipeFormat : "";
        if (format == "nut") {
            EXPECT_EQ(bytes.rfind("nut/multimedia container", 0), 0u);
        } else if (format == "mpegts") {
            EXPECT_EQ(bytes.size() % 188, 0u);
            EXPECT_EQ(bytes.substr(0, 1), "\x47");
        }
    }
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Request to stop from"), std::size(cases));
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 0u) << host.Log();
}

// On a still screen the client warns once that no frames come (which also tells that
// the first picture has arrived); SIGINT and SIGTERM then end the run with onEnd and a
// finished MP4.
TEST_F(ClientRun, SignalsEndTheRunWithOnEnd) {
    HostProcess host(kHostOptions);
    ASSERT_TRUE(host.Ready()) << host.Log();
    ASSERT_TRUE(host.Control("still on"));
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        const std::string file = Path(std::to_string(sig) + ".mp4");
        ChildProcess client(Client(host, {"stream", "-o", file, "--json"}));
        ASSERT_TRUE(client.WaitForLine(Stream::kStderr, "no frames for 5 s", 12s))
            << client.Output(Stream::kStderr);
        client.Signal(sig);
        ASSERT_EQ(client.Wait(kExitWait), 0) << client.Output(Stream::kStderr);
        EXPECT_TRUE(host.WaitForLog("Request to stop from", sig == SIGINT ? 1 : 2)) << host.Log();
        const auto decoded = Decode(file);
        EXPECT_EQ(CheckPictures(decoded, 270, 586), "");
        const std::string json = client.Output(Stream::kStdout);
        EXPECT_NE(json.find("{\"frames\":" + std::to_string(decoded.pictures.size()) + ","),
                  std::string::npos)
            << json;
        EXPECT_NE(json.find("\"ended_by\":\"interrupt\""), std::string::npos) << json;
        // The warning says what to do about either cause, once.
        EXPECT_EQ(client.CountLines(Stream::kStderr, "restart the host"), 1u);
        EXPECT_EQ(client.CountLines(Stream::kStderr, "mirrax_client idr"), 1u);
    }
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 0u) << host.Log();
}

// A snapshot is the picture after a key-frame request, also on a still screen where
// only the request brings one.
TEST_F(ClientRun, SnapshotAndUnaryCommands) {
    HostProcess host(kHostOptions);
    ASSERT_TRUE(host.Ready()) << host.Log();
    for (const char *still : {"off", "on"}) {
        SCOPED_TRACE(still);
        ASSERT_TRUE(host.Control(std::string("still ") + still));
        const size_t runs = host.LogCount("Request to stop from");
        const std::string file = Path(std::string("screen_") + still + ".png");
        const auto run = mirrax::test::Run(Client(host, {"snapshot", "-o", file}), kExitWait);
        ASSERT_EQ(run.status, 0) << run.Describe();
        EXPECT_EQ(run.out, "snapshot: 270x586 written to " + file + "\n");
        EXPECT_TRUE(host.WaitForLog("Request to refresh IDR frame from", runs + 1)) << host.Log();
        EXPECT_TRUE(host.WaitForLog("Request to stop from", runs + 1)) << host.Log();
        const auto decoded = Decode(file);
        EXPECT_EQ(CheckPictures(decoded, 270, 586, 1, false), "");
        EXPECT_EQ(decoded.pictures.size(), 1u);
    }
    ASSERT_TRUE(host.Control("still off"));

    // The unary commands, without a stream and with one.
    auto run = mirrax::test::Run(Client(host, {"end"}), kExitWait);
    EXPECT_EQ(run.status, 0) << run.Describe();
    EXPECT_EQ(run.out, "frames: 0\n");
    run = mirrax::test::Run(Client(host, {"idr"}), kExitWait);
    EXPECT_EQ(run.status, 1) << run.Describe();
    EXPECT_EQ(run.err.rfind("mirrax_client: error: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("no stream is running on the server"), std::string::npos) << run.err;
    EXPECT_EQ(LineCount(run.err), 1u);

    mirrax::test::StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(2, 10s));
    run = mirrax::test::Run(Client(host, {"idr"}), kExitWait);
    EXPECT_EQ(run.status, 0) << run.Describe();
    EXPECT_NE(run.out.find("result 0"), std::string::npos) << run.Describe();
    EXPECT_TRUE(mirrax::test::EndStream(host.Target(), stream).has_value());
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 0u) << host.Log();
}

// Refused before any call: the host is never contacted, so no host runs here. A file
// that cannot be written is named (the address is not: nothing was called).
TEST_F(ClientRun, FailsBeforeAnyCall) {
    const std::string port = std::to_string(mirrax::test::FreeLoopbackPort());
    const std::string address = "127.0.0.1:" + port;
    const std::string missing = Path("missing-dir/x");
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"stream", "-o", Path("x.h264")}, 1, address},
        {{"stream", "-o", missing + ".h264"}, 1, missing + ".h264"},
        {{"stream", "-o", missing + ".mp4"}, 1, missing + ".mp4"},
        {{"snapshot", "-o", missing + ".png"}, 1, missing + ".png"},
        {{"stream", "-o", "x.h264", "--frames", "0"}, 2, "--help"},
        {{"stream", "-o", "rtmp://127.0.0.1/live"}, 2, "'rtmp://127.0.0.1/***'"},
    };
    for (const auto &[args, status, named] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> argv = {"-p", port};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto started = std::chrono::steady_clock::now();
        const auto run = mirrax::test::Run(Program("mirrax_client", argv), kExitWait);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
        EXPECT_EQ(run.status, status) << run.Describe();
        EXPECT_EQ(LineCount(run.err), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("mirrax_client: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
        if (named != address) {
            EXPECT_EQ(run.err.find(address), std::string::npos) << run.err;
        }
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(Path("x.h264")));
}

}  // namespace
