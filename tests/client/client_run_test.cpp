// mirrax_client end to end: the real program in a child process against an in-test
// server on 127.0.0.1; the files it writes are decoded to check what it received.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/fake_mirrax_server.h"
#include "support/child_process.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using mirrax::test::FakeMirraxServer;
using Stream = ChildProcess::Stream;

constexpr auto kExitWait = 15s;

// What a written file (.h264, .mp4 or .png) decodes to.
struct DecodedMedia {
    bool opened = false;
    int pictures = 0;
    int width = 0;
    int height = 0;
    std::string error;
};

DecodedMedia DecodeMedia(const std::string &path) {
    int errors = 0;
    const auto pictures = mirrax::test::DecodeFile(path, &errors);
    DecodedMedia media;
    media.opened = !pictures.empty() || errors == 0;
    media.pictures = static_cast<int>(pictures.size());
    if (!pictures.empty()) {
        media.width = pictures.back().width;
        media.height = pictures.back().height;
    }
    if (errors != 0) {
        media.error = std::to_string(errors) + " decoding errors in " + path;
    }
    return media;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> Client(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {mirrax::test::BuildPath("bin/mirrax_client")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The one line of `stream` that holds the JSON summary, or "".
std::string JsonLine(const ChildProcess &client, Stream stream) {
    for (const auto &line : client.Lines(stream)) {
        if (!line.empty() && line.front() == '{') {
            return line;
        }
    }
    return "";
}

std::string Concat(const std::vector<std::string> &parts, size_t count) {
    std::string all;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        all += parts[i];
    }
    return all;
}

class ClientRun : public ::testing::Test {
protected:
    std::string Path(const std::string &name) const { return folder_.Path(name); }

    mirrax::test::TestFolder folder_{"mirrax_client"};  // named after the running test
};

// --- bounded streams into each kind of output ------------------------------------

struct OutputCase {
    const char *name;
    const char *file;
    bool viaStdout;
    const char *pipeFormat = nullptr;  // --format for standard output
};

void PrintTo(const OutputCase &c, std::ostream *os) { *os << c.name; }

class ClientOutput : public ClientRun, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(ClientOutput, FrameLimitEndsWithOnEndAndFileHoldsExactlyThosePictures) {
    FakeMirraxServer server({});
    ASSERT_TRUE(server.Started());
    const std::string file = Path(GetParam().file);
    const std::vector<std::string> args = {
        "-p", std::to_string(server.Port()), "stream", "--frames", "12", "--json"};
    std::unique_ptr<ChildProcess> client;
    if (GetParam().viaStdout) {
        std::string command = "exec";
        for (const auto &a : mirrax::test::CommandLine(Client(args))) {
            command += " '" + a + "'";
        }
        command += " -o -";
        if (GetParam().pipeFormat != nullptr) {
            command += std::string(" --format ") + GetParam().pipeFormat;
        }
        command += " > '" + file + "'";
        client = std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command});
    } else {
        auto argv = Client(args);
        argv.insert(argv.end(), {"-o", file});
        client = std::make_unique<ChildProcess>(argv);
    }
    const auto status = client->Wait(kExitWait);
    ASSERT_TRUE(status.has_value()) << "client did not end after --frames";
    EXPECT_EQ(*status, 0) << client->Output(Stream::kStderr);

    const auto media = DecodeMedia(file);
    ASSERT_TRUE(media.opened) << media.error;
    EXPECT_EQ(media.pictures, 12);
    EXPECT_EQ(media.width, FakeMirraxServer::kWidth);
    EXPECT_EQ(media.height, FakeMirraxServer::kHeight);
    // A framed container really is one (a decoder would also take raw H.264).
    const std::string format = GetParam().pipeFormat != nullptr ? GetParam().pipeFormat : "";
    if (format == "nut") {
        EXPECT_EQ(ReadFile(file).rfind("nut/multimedia container", 0), 0u);
    } else if (format == "mpegts") {
        const std::string ts = ReadFile(file);
        ASSERT_FALSE(ts.empty());
        EXPECT_EQ(ts.size() % 188, 0u);
        EXPECT_EQ(ts[0], 0x47);
    }
    if (std::string(GetParam().file).ends_with(".h264")) {
        // Raw output is the codec data and the twelve pictures, byte for byte.
        EXPECT_TRUE(ReadFile(file) == Concat(server.SentData(), 13));
    }

    // The run was ended with onEnd, never by dropping the stream.
    EXPECT_EQ(server.EndCalls(), 1);
    EXPECT_FALSE(server.StreamCancelled());

    // The summary goes where the video does not.
    const Stream human = GetParam().viaStdout ? Stream::kStderr : Stream::kStdout;
    const std::string json = JsonLine(*client, human);
    // A clean run says nothing else on stderr (no decoder or muxer chatter).
    EXPECT_EQ(client->Lines(Stream::kStderr).size(), GetParam().viaStdout ? 1u : 0u)
        << client->Output(Stream::kStderr);
    EXPECT_NE(json.find("\"frames\":12,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"ended_by\":\"frames\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"width\":320,\"height\":240"), std::string::npos) << json;
}

INSTANTIATE_TEST_SUITE_P(Outputs, ClientOutput,
                         ::testing::Values(OutputCase{"RawFile", "out.h264", false},
                                           OutputCase{"Mp4File", "out.mp4", false},
                                           OutputCase{"Stdout", "piped.h264", true},
                                           OutputCase{"StdoutNut", "piped.nut", true, "nut"},
                                           OutputCase{"StdoutMpegTs", "piped.ts", true, "mpegts"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ClientRun, SecondsLimitEndsTheRunWithOnEnd) {
    FakeMirraxServer server({});
    const std::string file = Path("timed.mp4");
    // Long enough for the in-test server's first picture (its encoder starts with the
    // stream) also on a slow machine, such as an emulated one running two tests.
    ChildProcess client(
        Client({"--server", server.Target(), "stream", "-o", file, "--seconds", "1.5", "--json"}));
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << client.Output(Stream::kStderr);
    const std::string json = JsonLine(client, Stream::kStdout);
    EXPECT_NE(json.find("\"ended_by\":\"seconds\""), std::string::npos) << json;
    const auto media = DecodeMedia(file);
    ASSERT_TRUE(media.opened) << media.error;
    EXPECT_GT(media.pictures, 0);
    EXPECT_NE(json.find("\"frames\":" + std::to_string(media.pictures) + ","), std::string::npos)
        << json << " vs " << media.pictures << " pictures in the file";
    EXPECT_EQ(server.EndCalls(), 1);
    EXPECT_FALSE(server.StreamCancelled());
}

// --- stop signals -----------------------------------------------------------------

class ClientSignal : public ClientRun, public ::testing::WithParamInterface<int> {};

TEST_P(ClientSignal, EndsTheRunWithOnEndAndFinalisesTheMp4) {
    FakeMirraxServer server({});
    const std::string file = Path("interrupted.mp4");
    ChildProcess client(
        Client({"-p", std::to_string(server.Port()), "stream", "-o", file, "--json"}));
    ASSERT_TRUE(server.WaitForPictures(20, 10s));
    client.Signal(GetParam());
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value()) << "client ignored the signal";
    EXPECT_EQ(*status, 0) << client.Output(Stream::kStderr);
    EXPECT_EQ(server.EndCalls(), 1);
    EXPECT_FALSE(server.StreamCancelled());

    const auto media = DecodeMedia(file);
    ASSERT_TRUE(media.opened) << media.error;
    EXPECT_GE(media.pictures, 1);
    EXPECT_EQ(media.width, FakeMirraxServer::kWidth);
    const std::string json = JsonLine(client, Stream::kStdout);
    EXPECT_NE(json.find("\"frames\":" + std::to_string(media.pictures) + ","), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"ended_by\":\"interrupt\""), std::string::npos) << json;
}

INSTANTIATE_TEST_SUITE_P(Signals, ClientSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return info.param == SIGINT ? "Int" : "Term"; });

TEST_F(ClientRun, SilentStreamWarnsOnceThenCtrlCStillEndsWithOnEnd) {
    FakeMirraxServer server({.still = true});
    const std::string file = Path("still.h264");
    ChildProcess client(Client({"-p", std::to_string(server.Port()), "stream", "-o", file}));
    ASSERT_TRUE(client.WaitForLine(Stream::kStderr, "no frames for 5 s", 12s))
        << client.Output(Stream::kStderr);
    // The warning says what to do about either cause.
    EXPECT_EQ(client.CountLines(Stream::kStderr, "restart the host"), 1u);
    EXPECT_EQ(client.CountLines(Stream::kStderr, "mirrax_client idr"), 1u);
    client.Signal(SIGINT);
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(client.CountLines(Stream::kStderr, "no frames for"), 1u);
    EXPECT_EQ(server.EndCalls(), 1);
    EXPECT_FALSE(server.StreamCancelled());
    EXPECT_EQ(DecodeMedia(file).pictures, 1);
}

// --- snapshot ---------------------------------------------------------------------

class ClientSnapshot : public ClientRun, public ::testing::WithParamInterface<bool> {};

// On a still screen only the key-frame request brings a picture after the request.
TEST_P(ClientSnapshot, WritesThePictureAfterAKeyFrameRequestAsPng) {
    FakeMirraxServer server({.still = GetParam()});
    const std::string file = Path("screen.png");
    ChildProcess client(
        Client({"-p", std::to_string(server.Port()), "snapshot", "-o", file, "--timeout", "8"}));
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << client.Output(Stream::kStderr);
    EXPECT_EQ(client.Lines(Stream::kStdout),
              std::vector<std::string>{"snapshot: 320x240 written to " + file});
    const auto media = DecodeMedia(file);
    ASSERT_TRUE(media.opened) << media.error;
    EXPECT_EQ(media.pictures, 1);
    EXPECT_EQ(media.width, FakeMirraxServer::kWidth);
    EXPECT_EQ(media.height, FakeMirraxServer::kHeight);
    EXPECT_EQ(server.IdrCalls(), 1);
    EXPECT_EQ(server.EndCalls(), 1);
    EXPECT_FALSE(server.StreamCancelled());
}

INSTANTIATE_TEST_SUITE_P(Screens, ClientSnapshot, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Still" : "Moving"; });

// --- unary commands and refusals --------------------------------------------------

struct CallCase {
    const char *name;
    FakeMirraxServer::Behaviour behaviour;
    std::vector<std::string> args;
    int exitStatus;
    Stream stream;
    std::vector<std::string> fragments;  // all on one line of `stream`
};

void PrintTo(const CallCase &c, std::ostream *os) { *os << c.name; }

class ClientCall : public ClientRun, public ::testing::WithParamInterface<CallCase> {};

TEST_P(ClientCall, ExitStatusAndMessage) {
    const CallCase &c = GetParam();
    FakeMirraxServer server(c.behaviour);
    auto args = std::vector<std::string>{"-p", std::to_string(server.Port())};
    for (const auto &a : c.args) {
        args.push_back(a == "OUT" ? Path("out.mp4") : a);
    }
    ChildProcess client(Client(args));
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, c.exitStatus);
    const auto lines = client.Lines(c.stream);
    const bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
        return std::all_of(c.fragments.begin(), c.fragments.end(),
                           [&](const auto &f) { return line.find(f) != std::string::npos; });
    });
    EXPECT_TRUE(found) << client.Output(c.stream);
    if (c.exitStatus != 0) {
        EXPECT_EQ(client.Lines(Stream::kStderr).size(), 1u) << client.Output(Stream::kStderr);
        EXPECT_TRUE(client.Lines(Stream::kStdout).empty()) << client.Output(Stream::kStdout);
    }
}

const FakeMirraxServer::Behaviour kRefusing{.refuse = true};

INSTANTIATE_TEST_SUITE_P(
    Calls, ClientCall,
    ::testing::Values(
        CallCase{"IdrAccepted", {.idrIdleResult = 0}, {"idr"}, 0, Stream::kStdout, {"result 0"}},
        CallCase{"IdrWithoutStream",
                 {},
                 {"idr"},
                 1,
                 Stream::kStderr,
                 {"mirrax_client: error: ", "no stream is running on the server"}},
        CallCase{"EndPrintsCount", {}, {"end"}, 0, Stream::kStdout, {"frames: 0"}},
        CallCase{"IdrRefused",
                 kRefusing,
                 {"idr"},
                 1,
                 Stream::kStderr,
                 {"refused", "only 127.0.0.1", "status 1 (CANCELLED)"}},
        CallCase{"StreamRefused",
                 kRefusing,
                 {"stream", "-o", "OUT"},
                 1,
                 Stream::kStderr,
                 {"refused", "only 127.0.0.1", "onStart", "status 1 (CANCELLED)"}}),
    [](const auto &info) { return std::string(info.param.name); });

// --- failures before any call -----------------------------------------------------

TEST_F(ClientRun, UnreachableServerFailsNamingTheAddress) {
    const int port = mirrax::test::FreeLoopbackPort();
    const auto started = std::chrono::steady_clock::now();
    ChildProcess client(Client({"-p", std::to_string(port), "stream", "-o", Path("x.h264")}));
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(client.CountLines(Stream::kStderr, "127.0.0.1:" + std::to_string(port)), 1u)
        << client.Output(Stream::kStderr);
    EXPECT_FALSE(std::filesystem::exists(Path("x.h264")));
}

struct UnwritableCase {
    const char *name;
    const char *command;
    const char *file;
};

void PrintTo(const UnwritableCase &c, std::ostream *os) { *os << c.name; }

class ClientUnwritable : public ClientRun, public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(ClientUnwritable, FailsBeforeStartingARun) {
    FakeMirraxServer server({});
    const std::string file = Path(std::string("missing-dir/") + GetParam().file);
    ChildProcess client(
        Client({"-p", std::to_string(server.Port()), GetParam().command, "-o", file}));
    const auto status = client.Wait(kExitWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(client.CountLines(Stream::kStderr, file), 1u) << client.Output(Stream::kStderr);
    EXPECT_EQ(server.StartCalls(), 0);
}

INSTANTIATE_TEST_SUITE_P(Outputs, ClientUnwritable,
                         ::testing::Values(UnwritableCase{"Raw", "stream", "x.h264"},
                                           UnwritableCase{"Mp4", "stream", "x.mp4"},
                                           UnwritableCase{"Png", "snapshot", "x.png"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ClientArguments, BadArgumentsExitTwoWithAUsageHint) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"play"},
        {"stream"},
        {"stream", "-o", "x.avi"},
        {"stream", "-o", "x.h264", "--frames", "0"},
        {"stream", "-o", "x.h264", "--seconds", "-1"},
        {"-p", "70000", "end"},
        {"--server", "nohost", "end"},
        {"idr", "--frames", "3"},
        {"snapshot", "-o", "x.jpg"},
        {"end", "-p"},
    };
    for (const auto &args : cases) {
        std::string joined;
        for (const auto &a : args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        ChildProcess client(Client(args));
        const auto status = client.Wait(kExitWait);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 2);
        const auto err = client.Lines(Stream::kStderr);
        ASSERT_EQ(err.size(), 1u);
        EXPECT_EQ(err[0].rfind("mirrax_client: ", 0), 0u) << err[0];
        EXPECT_NE(err[0].find("--help"), std::string::npos) << err[0];
        EXPECT_TRUE(client.Lines(Stream::kStdout).empty());
    }
}

}  // namespace
