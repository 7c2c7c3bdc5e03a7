// mirrax_host end to end: the real host in a child process on the synthetic screen, the
// real encoder and a real gRPC client (or the reference client); the pictures are decoded
// and their stamps read back. The host against the ways users break it too: clients
// that vanish, stall or are displaced, a full disk, and a stop signal in each state.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <set>
#include <thread>
#include <tuple>

#include "host_fixture.h"
#include "stream_client.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::CallEnd;
using mirrax::test::CallRequestIdr;
using mirrax::test::CheckPictures;
using mirrax::test::ChildProcess;
using mirrax::test::HostProcess;
using mirrax::test::kEndOfStream;
using mirrax::test::Program;
using mirrax::test::StreamCall;
using Output = mirrax::test::ChildProcess::Stream;

// A display chosen on the command line starts its source thread before the server:
// the stop signal must still reach the host's watcher, not end the process. The host
// raises a lowered soft open-file limit to the hard limit, silently.
TEST(Host, ServesAndStopsOnSigterm) {
    const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit lowered{64, saved.rlim_max};
    const bool limitLowered = saved.rlim_max > 64 && setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    ChildProcess host(
        Program("mirrax_host", {"--display", "synthetic:720x1280@30", "-p", p, "-scale", "2"}));
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(host.WaitForLine(Output::kStdout, "Server Listening on port: 0.0.0.0:" + p));
    // The overlapping pairs reach the parser: the port and the scale are taken.
    EXPECT_EQ(host.CountLines(Output::kStderr, "] scale:  2."), 1u);
    EXPECT_EQ(host.CountLines(Output::kStderr, "] argv: "), 5u);
    rlimit hostLimit{};
    ASSERT_EQ(prlimit(host.Pid(), RLIMIT_NOFILE, nullptr, &hostLimit), 0);
    EXPECT_TRUE(!limitLowered || hostLimit.rlim_cur == saved.rlim_max) << hostLimit.rlim_cur;

    const std::string target = "127.0.0.1:" + p;
    EXPECT_EQ(mirrax::test::CallEnd(target), 0);
    // A second host on this port fails to listen and exits with one line; this one keeps
    // every client (no port sharing).
    const auto taken = mirrax::test::Run(Program("mirrax_host", {"-p", p}), 15s);
    EXPECT_NE(taken.status.value_or(0), 0) << taken.Describe();
    const size_t error = taken.err.find(" E D00F1E2/BraxelMirrax: ");
    EXPECT_TRUE(error != std::string::npos && error == taken.err.rfind(" E ")) << taken.err;
    EXPECT_EQ(taken.out.find("Server Listening"), std::string::npos);
    EXPECT_EQ(mirrax::test::CallRequestIdr(target), 6);
    ASSERT_EQ(host.Stop(SIGTERM, 5s), 0) << host.Output(Output::kStderr);
    EXPECT_EQ(host.CountLines(Output::kStderr, "Request to refresh IDR frame from"), 1u);
    EXPECT_EQ(host.Lines(Output::kStdout),
              (std::vector<std::string>{"Server Listening on port: 0.0.0.0:" + p,
                                        "Invoke StopServer.", "Server shutdown success."}));
}

// A stop signal at a chosen moment of the start: the library's first log line (the
// host's signal watcher runs by then) plus a delay, so that it lands before the
// server is built, while it is built, as it starts listening and once it serves.
// (A signal in the first milliseconds after exec, while the dynamic linker still
// loads the libraries, kills any program before its own code runs.)
TEST(Host, StopSignalDuringTheStartExitsZeroWithinTwoSeconds) {
    for (const auto &[delayMs, sig] : {std::pair{0, SIGTERM}, {50, SIGINT}, {200, SIGTERM}}) {
        SCOPED_TRACE(delayMs);
        const std::string p = std::to_string(mirrax::test::FreeLoopbackPort());
        ChildProcess host(Program("mirrax_host", {"-p", p}));
        ASSERT_TRUE(host.WaitForLine(Output::kStderr, "Welcome to orvindo mirrax so!"))
            << host.Output(Output::kStderr);
        // The delay is the stimulus, not a wait for an event.
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        // Two seconds natively; a host under an emulator builds its gRPC server several
        // times slower, and a stop that comes during the build waits for it.
        const auto status = host.Stop(sig, 2s * MIRRAX_TEST_TIME_SCALE);
        ASSERT_TRUE(status.has_value())
            << "host still running after the signal\n"
            << host.Output(Output::kStdout) << host.Output(Output::kStderr);
        EXPECT_EQ(*status, 0) << host.Output(Output::kStderr);
        EXPECT_EQ(host.CountLines(Output::kStdout, "Invoke StopServer."), 1u)
            << host.Output(Output::kStdout);
        EXPECT_EQ(host.CountLines(Output::kStderr, "mirrax_host: "), 0u)
            << host.Output(Output::kStderr);
        // A server that was built is shut down, not left to the process exit.
        if (host.CountLines(Output::kStdout, "Server Listening on port: 0.0.0.0:" + p) != 0) {
            EXPECT_TRUE(host.Output(Output::kStdout).ends_with("\nServer shutdown success.\n"))
                << host.Output(Output::kStdout);
        }
    }
}

// Bad options end the host with one line and status 2. The host stops the server
// through the library it is linked with, so --library accepts that library under any
// name and refuses any other file (status 1), before loading it.
TEST(Host, RefusesBadOptionsAndOtherLibrariesWithOneLine) {
    namespace fs = std::filesystem;
    mirrax::test::TestFolder dir("mirrax_host");
    const fs::path linked = mirrax::test::BuildPath("lib/libmirrax_server.so");
    fs::copy_file(linked, dir.Path("copy.so"));
    fs::create_symlink(linked, dir.Path("link.so"));
    const std::string port = std::to_string(mirrax::test::FreeLoopbackPort());
    const std::tuple<std::vector<std::string>, int, std::string> refusals[] = {
        {{"--bogus"}, 2, "--bogus"},
        {{"-p", "1", "--log"}, 2, "--log"},
        {{"--library", dir.Path("copy.so"), "-p", port}, 1, dir.Path("copy.so")},
        {{"--library", dir.Path("missing.so"), "-p", port}, 1, dir.Path("missing.so")},
    };
    for (const auto &[args, status, named] : refusals) {
        const auto host = mirrax::test::Run(Program("mirrax_host", args));
        EXPECT_EQ(host.status, status) << host.Describe();
        EXPECT_EQ(host.err.rfind("mirrax_host: ", 0), 0u) << host.err;
        EXPECT_NE(host.err.find(named), std::string::npos) << host.err;
        EXPECT_EQ(host.err.find('\n'), host.err.size() - 1) << host.err;
        EXPECT_EQ(host.out, "");
    }
    HostProcess host({}, {"--library", dir.Path("link.so")});
    ASSERT_TRUE(host.Ready()) << host.Log();
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.Process().CountLines(Output::kStdout, "Server shutdown success."), 1u);
}

// The stream decodes in order at the scaled size, and onEnd lets the run's last buffers
// out, the end-of-stream buffer last. A rotation after the run restarts nothing (one
// during a run is the soak's rotate cycle). Every buffer is also saved, byte for byte,
// where the test can have a device directory of its own (other tests save frames too).
TEST(Stream, DecodesInOrderAtTheScaledSizeAndSavesEveryBuffer) {
    const bool save = mirrax::test::MountPrivateTmpfs("/data/local/tmp", 64u << 20).empty();
    HostProcess host({"-scale", "3", "-s", save ? "1" : "0"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(40, 20s)) << host.Log();
    ASSERT_TRUE(stream.End().has_value());
    ASSERT_TRUE(host.Control("rotate"));
    ASSERT_TRUE(host.WaitForLog("Enter AdapteScreenChange..."));
    ASSERT_EQ(host.Stop(), 0);
    EXPECT_EQ(host.LogCount("Screen changed, auto restart ScreenCopy"), 0u);

    const auto frames = stream.Frames();
    EXPECT_EQ(frames.back().flags, kEndOfStream);
    EXPECT_TRUE(frames.back().data.empty());
    int64_t previousPts = 0;
    for (const auto &frame : frames) {
        EXPECT_TRUE(frame.wellFormed);
        EXPECT_GE(frame.pts, previousPts);
        EXPECT_LE(frame.pts, frame.arrivalMs);
        EXPECT_GT(frame.pts, frame.arrivalMs - 5000);
        previousPts = frame.pts;
    }
    EXPECT_EQ(CheckPictures(mirrax::test::DecodeBuffers(stream.Buffers()), 360, 780, 30), "");
    if (save) {
        const std::filesystem::path dir = "/data/local/tmp/orvindo_record_data";
        EXPECT_EQ(std::filesystem::status(dir).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_all);
        const auto files = mirrax::test::SavedFrameFiles(dir);
        // The end-of-stream buffer too is saved and sent.
        ASSERT_EQ(files.size(), frames.size());
        for (size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(files[i].extension(), ".h264");
            EXPECT_EQ(mirrax::test::ReadFile(files[i]), frames[i].data) << files[i];
        }
    }
}

// A key-frame request the encoder refuses answers the platform's code. A second stop
// signal ends the host at once, with one line and 128 + that signal: here the stop of
// a streaming host is kept busy by a slow encoder stop.
TEST(Stream, RefusedKeyFrameRequestAnswersItsCodeAndASecondSignalExitsAtOnce) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(5, 20s));
    ASSERT_TRUE(host.Control("fault OH_VideoEncoder_SetParameter 8"));
    EXPECT_EQ(CallRequestIdr(host.Target()), 8);

    ChildProcess &process = host.Process();
    ASSERT_TRUE(host.Control("slow OH_VideoEncoder_Stop 3000"));
    process.Signal(SIGTERM);
    ASSERT_TRUE(process.WaitForLine(Output::kStdout, "Invoke StopServer."));
    process.Signal(SIGINT);
    const auto status = process.Wait(1500ms);
    ASSERT_TRUE(status.has_value()) << "host did not exit at once\n" << host.Log();
    EXPECT_EQ(*status, 128 + SIGINT) << host.Log();
    EXPECT_EQ(host.LogCount("second"), 1u) << host.Log();
    EXPECT_EQ(host.LogCount("mirrax_host: second SIGINT, exiting at once without a clean shutdown"),
              1u)
        << host.Log();
    EXPECT_EQ(process.CountLines(Output::kStdout, "Server shutdown success."), 0u);
}

// Every call of the start path failing: the start fails at once with INTERNAL naming
// its cause, the injected failure is the run's first error (the release of what was
// set up may fail in turn), and nothing stays open or running. One host takes every
// fault in turn; each used-up fault lets the next start reach a later call. A failing
// call of the stop path is logged, and the stop goes on.
TEST(StreamFault, EveryStartCallFailureFailsTheStartWithItsCause) {
    struct Fault {
        const char *call;
        int code;
        const char *line;
    };
    // clang-format off
    const Fault faults[] = {
        {"DisplayManager::GetDefaultDisplayId", -1, "get default display id failed!"},
        {"ScreenManager::GetScreenById", 3, "get default screen failed."},
        {"DisplayManager::GetDisplayByScreen", 3, "get display of screen 0 failed."},
        {"OH_VideoEncoder_SetCallback", 3, "Failed to register encoder callback!"},
        {"OH_VideoEncoder_Configure", 3, "Failed to configure encoder!"},
        {"OH_VideoEncoder_Prepare", 3, "Failed to prepare encoder!"},
        {"ScreenManager::SetVirtualScreenSurface", 130, "set virtual screen surface failed."},
        {"ScreenManager::SetVirtualScreenRefreshRate", 130, "set virtual screen refresh frame rate failed."},
        {"DisplayManager::SetVirtualScreenSecurityExemption", 130, "set virtual screen skip privacy windows failed."},
        {"ScreenManager::SetVirtualMirrorScreenCanvasRotation", 130, "set virtual screen rotation failed."},
        {"ScreenManager::MakeMirror", 130, "create virtual screen failed."},
        {"OH_VideoEncoder_Start", 3, "Failed to start video encoder!"},
    };
    // clang-format on
    HostProcess host({"-scale", "4", "-windowsId", "4242"});
    ASSERT_TRUE(host.Ready());
    const std::string errorLine = " E D00F1E2/BraxelMirrax: [native_screen_encoder:";
    for (const Fault &fault : faults) {
        SCOPED_TRACE(fault.call);
        ASSERT_TRUE(
            host.Control(std::string("fault ") + fault.call + " " + std::to_string(fault.code)));
        const size_t from = host.Log().size();
        StreamCall stream(host.Target());
        const auto status = stream.WaitForEnd(5s);
        ASSERT_TRUE(status.has_value()) << host.Log();
        EXPECT_EQ(status->error_code(), grpc::StatusCode::INTERNAL);
        EXPECT_NE(status->error_message().find(fault.line), std::string::npos)
            << status->error_message();
        EXPECT_EQ(stream.FrameCount(), 0u);
        ASSERT_TRUE(host.WaitForLog(fault.line));
        const std::string log = host.Log();
        const size_t first = log.find(errorLine, from);
        ASSERT_NE(first, std::string::npos) << log.substr(from);
        EXPECT_LT(log.find(fault.line, first), log.find('\n', first)) << log.substr(first);
        EXPECT_EQ(host.LogCount(fault.line), 1u) << "the failure is logged once";
        EXPECT_EQ(CallEnd(host.Target()), 0);
        EXPECT_EQ(CallRequestIdr(host.Target()), 6);
    }

    // A stop signal while streaming, with the stop path's calls failing: logged, and
    // the stop goes on. Output buffers without readable memory are dropped, not sent
    // with a wrong length, and counted once at the end of the run.
    ASSERT_TRUE(host.Control("fault OH_VideoEncoder_Stop 3"));
    ASSERT_TRUE(host.Control("fault ScreenManager::DestroyVirtualScreen 130"));
    ASSERT_TRUE(host.Control("fault OH_AVMemory_GetAddr 3 5"));
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(10, 20s)) << host.Log();
    EXPECT_EQ(host.Process().Stop(SIGTERM, 5s), 0) << host.Log();
    EXPECT_TRUE(host.Process().Output(Output::kStdout).ends_with("Server shutdown success.\n"));
    for (const auto &frame : stream.Frames()) {
        EXPECT_TRUE(frame.wellFormed) << "flags " << frame.flags;
        EXPECT_EQ(frame.data.empty(), frame.flags == kEndOfStream) << "flags " << frame.flags;
    }
    EXPECT_EQ(host.LogCount("5 output buffers had no readable memory"), 1u);
    EXPECT_EQ(host.LogCount("has no readable memory, dropped"), 1u);
    const std::string log = host.Log();
    const size_t failed = log.find("destroy virtual screen failed..");
    ASSERT_NE(failed, std::string::npos) << log;
    EXPECT_NE(log.find("Destroy virtual screen success.", failed), std::string::npos);
}

std::vector<std::string> Client(const HostProcess &host, std::vector<std::string> args) {
    args.insert(args.begin(), {"--server", host.Target()});
    return mirrax::test::Program("mirrax_client", args);
}

// Waits until the host has saved no frame for a while although its screen animates:
// the encoder's callback is blocked in the stream write. False if it never stalls.
bool WaitForStalledOutput(HostProcess &host) {
    if (!host.WaitForLog("] Saving file ")) {
        return false;
    }
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < giveUp) {
        const size_t saved = host.LogCount("] Saving file ");
        if (!host.WaitForLog("] Saving file ", saved + 1, 1500ms)) {
            return true;
        }
    }
    return false;
}

// The reference client refuses to record on a streaming host, ending the run it started
// with onEnd. A client run with a limit that another client's run displaces did not get
// what it asked for: it fails, saying why. A real client killed with SIGKILL mid-stream
// raises the host's stop signal: the capture stops, and a later start is refused at
// once with the reason, no run starting.
TEST(StopInEveryState, AfterDisplacedAndVanishedClients) {
    HostProcess host({"-scale", "4"});
    ASSERT_TRUE(host.Ready());
    const auto record = mirrax::test::Run(Client(host, {"record"}), 20s);
    EXPECT_EQ(record.status, 1);
    EXPECT_NE(record.err.find("not recording"), std::string::npos) << record.Describe();
    EXPECT_TRUE(host.WaitForLog("Finish StopScreenCopy...., frame_count: "));
    {
        ChildProcess first(Client(host, {"stream", "--frames", "100000", "-o", "-"}));
        ASSERT_TRUE(first.WaitForCount(Output::kStdout, "", 5, 20s)) << host.Log();
        ChildProcess second(Client(host, {"stream", "--frames", "5", "-o", "-"}));
        EXPECT_EQ(first.Wait(10s), 1) << "the displaced client did not fail";
        EXPECT_NE(first.Output(Output::kStderr)
                      .find("mirrax_client: error: the server ended the stream before the "
                            "requested pictures"),
                  std::string::npos)
            << first.Output(Output::kStderr);
        EXPECT_EQ(second.Wait(10s), 0) << second.Output(Output::kStderr);
    }
    {
        ChildProcess client(Client(host, {"stream", "-o", "-"}));
        ASSERT_TRUE(client.WaitForCount(Output::kStdout, "", 20, 20s)) << host.Log();
        ASSERT_TRUE(client.Stop(SIGKILL, 5s).has_value());
    }
    ASSERT_TRUE(host.WaitForLog("Server context has cancelled.")) << host.Log();
    ASSERT_TRUE(host.WaitForLog("[native_screen_encoder:(NativeStopScreenCopy)] Finish"));
    StreamCall later(host.Target());
    const auto status = later.WaitForEnd(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->error_code(), grpc::StatusCode::FAILED_PRECONDITION);
    EXPECT_NE(status->error_message().find("restart the server"), std::string::npos)
        << status->error_message();
    EXPECT_EQ(later.FrameCount(), 0u);
    EXPECT_EQ(CallEnd(host.Target()), 0);
    EXPECT_EQ(host.Process().Stop(SIGTERM, 5s), 0) << host.Log();
    EXPECT_TRUE(host.Process().Output(Output::kStdout).ends_with("Server shutdown success.\n"));
    EXPECT_EQ(host.LogCount("Setup by screen Id"), 4u);
}

// A client that stops reading blocks the stream's writes. It can still be asked for
// key frames and ended (its cancellation by the host is not a vanished client:
// streaming goes on); a stop signal ends the host promptly while one is stalled.
TEST(Robustness, ClientThatStopsReadingCanStillBeEndedAndAskedForKeyFrames) {
    MIRRAX_USE_PRIVATE_TMPFS("/data/local/tmp", 512u << 20);
    // Every picture a large key frame, so the client's flow-control window fills soon.
    HostProcess host({"-s", "1", "-iFrameInterval", "0", "-bitRate", "400000000"});
    ASSERT_TRUE(host.Ready());
    {
        StreamCall stalled(host.Target(), nullptr, true);
        ASSERT_TRUE(WaitForStalledOutput(host)) << "the stream never blocked\n" << host.Log();
        EXPECT_EQ(CallRequestIdr(host.Target()), 0);
        EXPECT_GE(CallEnd(host.Target()).value_or(-1), 1) << host.Log();
        EXPECT_TRUE(host.WaitForLog("The client stopped reading; its call was cancelled"));
    }
    StreamCall stalled(host.Target(), nullptr, true);
    ASSERT_TRUE(host.WaitForLog("video encoder was successfully started", 2));
    ASSERT_TRUE(WaitForStalledOutput(host)) << host.Log();
    EXPECT_EQ(host.Process().Stop(SIGTERM, 5s), 0) << host.Log();
    EXPECT_TRUE(host.Process().Output(Output::kStdout).ends_with("Server shutdown success.\n"));
    EXPECT_EQ(host.LogCount("Server context has cancelled."), 0u);
}

// Every buffer a key frame of some 30 KB, several times stdio's buffer, so once the
// disk is full, writes come up short inside fwrite itself (the rest at the close):
// only whole files stay, the first failure is logged once and the rest counted. The
// same for a recording on a full disk, stopped by a stop signal.
TEST(Robustness, FullDiskWhileSavingOrRecordingKeepsWholeFilesAndLogsOnceAndACount) {
    MIRRAX_USE_PRIVATE_TMPFS("/data/local/tmp", 256u << 10);
    HostProcess host({"-s", "1", "-iFrameInterval", "0", "-bitRate", "400000000"});
    ASSERT_TRUE(host.Ready());
    StreamCall stream(host.Target());
    ASSERT_TRUE(stream.WaitForFrames(40, 20s));
    ASSERT_TRUE(stream.End());
    ASSERT_EQ(host.Stop(), 0);

    EXPECT_EQ(host.LogCount("] Failed to save frame: "), 1u) << host.Log();
    EXPECT_EQ(host.LogCount("No space left on device"), 1u);
    const std::string log = host.Log();
    const size_t at = log.find(" frames could not be saved to ");
    ASSERT_NE(at, std::string::npos) << log;
    const long notSaved = std::stol(log.substr(log.rfind(' ', at - 1) + 1));
    EXPECT_GE(notSaved, 10);

    // Every file left is one whole buffer that was also streamed; only the newest, the
    // end-of-stream buffer, may be empty.
    std::set<std::string> sent;
    for (const auto &frame : stream.Frames()) {
        sent.insert(frame.data);
    }
    const auto files = mirrax::test::SavedFrameFiles();
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string content = mirrax::test::ReadFile(files[i]);
        EXPECT_TRUE(content.empty() ? i + 1 == files.size() : sent.count(content) == 1)
            << files[i] << " holds " << content.size() << " bytes that no buffer had";
    }
    EXPECT_GT(files.size(), 0u);
    EXPECT_EQ(static_cast<long>(files.size()),
              static_cast<long>(host.LogCount("[native_screen_encoder:(OnNeedOutputData)] "
                                              "Saving file ")) -
                  notSaved);

    std::filesystem::remove_all("/data/local/tmp/orvindo_record_data");
    HostProcess recorder({"-scale", "2", "-m", "1"});
    ASSERT_TRUE(recorder.Ready());
    StreamCall start(recorder.Target());
    ASSERT_TRUE(start.WaitForEnd(5s).has_value());
    ASSERT_TRUE(recorder.WaitForLog("WriteSample failed!")) << recorder.Log();
    ASSERT_TRUE(recorder.WaitForLog("WriteSample success!", 30));
    EXPECT_EQ(recorder.Process().Stop(SIGTERM, 5s), 0) << recorder.Log();
    EXPECT_TRUE(recorder.Process().Output(Output::kStdout).ends_with("Server shutdown success.\n"));
    EXPECT_EQ(recorder.LogCount("[native_screen_encoder:(OnNeedOutputData)] WriteSample failed!"),
              1u);
    EXPECT_EQ(recorder.LogCount("muxer: writing a sample failed"), 1u);
    EXPECT_EQ(recorder.LogCount("WriteSample failed for "), 1u) << recorder.Log();
    EXPECT_EQ(recorder.LogCount("samples could not be written"), 1u) << recorder.Log();
}

}  // namespace
