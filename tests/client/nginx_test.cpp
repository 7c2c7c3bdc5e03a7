// mirrax_client publishing through nginx with deploy/nginx-rtmp.conf: read back by several
// readers over RTMP and HLS, and the publisher back after nginx was killed and restarted.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "integration/host_fixture.h"
#include "support/child_process.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using Stream = ChildProcess::Stream;

const std::string kNginx = "/usr/sbin/nginx";
const std::string kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

// Copies `pictures` pictures from each of `urls` with ffmpeg, all at once, and checks that
// they decode at the host's size (-scale 3) with increasing frame stamps.
void ExpectRead(const mirrax::test::TestFolder &folder, const std::vector<std::string> &urls,
                int pictures) {
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (size_t i = 0; i < urls.size(); ++i) {
        readers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-probesize", "32",
            "-analyzeduration", "0", "-i", urls[i], "-c", "copy", "-frames:v",
            std::to_string(pictures), "-y", folder.Path(std::to_string(i) + ".ts")}));
    }
    for (size_t i = 0; i < urls.size(); ++i) {
        EXPECT_EQ(readers[i]->Wait(30s), 0)
            << urls[i] << ": " << readers[i]->Output(Stream::kStderr);
        const auto decoded = mirrax::test::Decode(folder.Path(std::to_string(i) + ".ts"));
        EXPECT_EQ(mirrax::test::CheckPictures(decoded, 360, 780, pictures), "") << urls[i];
    }
}

TEST(Nginx, FansOutOverRtmpAndHlsAndTakesThePublisherBackAfterARestart) {
    if (!std::filesystem::exists(kNginx) || !std::filesystem::exists(kRtmpModule)) {
        GTEST_SKIP() << "needs " << kNginx << " and " << kRtmpModule
                     << " (Debian's nginx-light and libnginx-mod-rtmp; scripts/bootstrap)";
    }
    mirrax::test::TestFolder folder("mirrax_nginx");
    const std::string rtmpPort = std::to_string(mirrax::test::FreeLoopbackPort());
    std::string httpPort = std::to_string(mirrax::test::FreeLoopbackPort());
    httpPort = httpPort == rtmpPort ? std::to_string(mirrax::test::FreeLoopbackPort()) : httpPort;
    std::string config = mirrax::test::ReadFile(MIRRAX_SOURCE_DIR "/deploy/nginx-rtmp.conf");
    config = std::regex_replace(config, std::regex("@PREFIX@"), folder.Root().string());
    config = std::regex_replace(config, std::regex("@RTMP_PORT@"), rtmpPort);
    std::ofstream(folder.Path("nginx.conf"))
        << std::regex_replace(config, std::regex("@HTTP_PORT@"), httpPort);
    // In the foreground as a single process (no master and worker), so that killing it
    // leaves nothing behind.
    const auto startNginx = [&] {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            kNginx, "-p", folder.Root().string() + "/", "-c", folder.Path("nginx.conf"), "-g",
            "daemon off; master_process off;"});
    };
    auto nginx = startNginx();
    const std::string rtmp = "rtmp://127.0.0.1:" + rtmpPort + "/live/phone";
    const std::string hls = "http://127.0.0.1:" + httpPort + "/hls/phone.m3u8";

    // A key frame every second: readers join at one, and HLS fragments end at one.
    mirrax::test::HostProcess host(
        {"-scale", "3", "-frameRate", "30", "-bitRate", "2000000", "-iFrameInterval", "1000"});
    ASSERT_TRUE(host.Ready()) << host.Log();
    ChildProcess client(
        mirrax::test::Program("mirrax_client", {"--server", host.Target(), "stream", "-o", rtmp}));
    // The client retries until nginx listens.
    const std::string shown = "rtmp://127.0.0.1:" + rtmpPort + "/live/***";
    ASSERT_TRUE(client.WaitForLine(Stream::kStderr, "publishing to " + shown, 20s))
        << client.Output(Stream::kStderr) << "\nnginx: " << nginx->Output(Stream::kStderr);

    // Three key frames' worth over RTMP to two readers: by then the first HLS fragment
    // has ended and the playlist is there.
    ASSERT_NO_FATAL_FAILURE(ExpectRead(folder, {rtmp, rtmp}, 90));
    ASSERT_NO_FATAL_FAILURE(ExpectRead(folder, {hls}, 20));
    // A request under another name (a web page's, by DNS rebinding) reads nothing.
    const auto rebound = mirrax::test::Run(
        {"/usr/bin/ffprobe", "-v", "error", "-headers", "Host: rebound.example\r\n", hls});
    EXPECT_NE(rebound.err.find("4XX"), std::string::npos) << rebound.Describe();

    // nginx gone without a goodbye, then back on the same ports.
    ASSERT_EQ(nginx->Stop(SIGKILL), 128 + SIGKILL);
    nginx = startNginx();
    ASSERT_TRUE(client.WaitForLine(Stream::kStderr, "reconnected to " + shown, 20s))
        << client.Output(Stream::kStderr) << "\nnginx: " << nginx->Output(Stream::kStderr);
    EXPECT_EQ(client.CountLines(Stream::kStderr, "lost the connection to " + shown), 1u)
        << client.Output(Stream::kStderr);
    ASSERT_NO_FATAL_FAILURE(ExpectRead(folder, {rtmp}, 30));

    EXPECT_EQ(client.Stop(SIGINT), 0) << client.Output(Stream::kStderr);
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_EQ(nginx->Stop(SIGTERM), 0) << nginx->Output(Stream::kStderr);
}

}  // namespace
