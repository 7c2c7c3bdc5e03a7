// mirrax_client publishing through nginx's RTMP module with deploy/nginx-rtmp.conf, the
// fan-out server of a farm: two hosts at different sizes published to one nginx, each
// read back over RTMP and over HLS, and both publishers back after nginx was killed and
// started again on the same ports.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "integration/host_fixture.h"
#include "support/child_process.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using mirrax::test::HostProcess;
using Stream = ChildProcess::Stream;

const std::string kNginx = "/usr/sbin/nginx";
const std::string kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

struct Device {
    std::string name;  // the stream key
    std::string scale;
    int width;
    int height;
};
const Device kDevices[] = {{"phone-a", "3", 360, 780}, {"phone-b", "5", 216, 468}};

// The configuration with its placeholders filled in, written into the prefix folder.
std::string WriteConfig(const mirrax::test::TestFolder &folder, int rtmpPort, int httpPort) {
    std::string text = mirrax::test::ReadFile(MIRRAX_SOURCE_DIR "/deploy/nginx-rtmp.conf");
    const std::pair<std::string, std::string> values[] = {
        {"@PREFIX@", folder.Root().string()},
        {"@RTMP_PORT@", std::to_string(rtmpPort)},
        {"@HTTP_PORT@", std::to_string(httpPort)}};
    for (const auto &[from, to] : values) {
        for (size_t at; (at = text.find(from)) != std::string::npos;) {
            text.replace(at, from.size(), to);
        }
    }
    std::ofstream(folder.Path("nginx.conf")) << text;
    return folder.Path("nginx.conf");
}

// nginx in the foreground as a single process (no master and worker), so that killing
// it leaves nothing behind.
std::unique_ptr<ChildProcess> StartNginx(const mirrax::test::TestFolder &folder) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{
        kNginx, "-p", folder.Root().string() + "/", "-c", folder.Path("nginx.conf"), "-g",
        "daemon off; master_process off;"});
}

// Copies `pictures` pictures of each device's stream at `url(device)` with ffmpeg, all
// devices at once, and checks that they decode at the device's size with increasing
// frame stamps.
template <typename Url>
void ExpectEachDevice(const mirrax::test::TestFolder &folder, const std::string &what, Url url,
                      int pictures) {
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (const auto &device : kDevices) {
        readers.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-probesize", "32",
            "-analyzeduration", "0", "-i", url(device), "-c", "copy", "-frames:v",
            std::to_string(pictures), "-y", folder.Path(what + "_" + device.name + ".ts")}));
    }
    for (size_t i = 0; i < readers.size(); ++i) {
        const Device &device = kDevices[i];
        EXPECT_EQ(readers[i]->Wait(30s), 0)
            << what << " " << url(device) << ": " << readers[i]->Output(Stream::kStderr);
        const auto decoded = mirrax::test::Decode(folder.Path(what + "_" + device.name + ".ts"));
        EXPECT_EQ(mirrax::test::CheckPictures(decoded, device.width, device.height, pictures), "")
            << what << " " << url(device);
    }
}

TEST(Nginx, FansOutEachDeviceOverRtmpAndHlsAndTakesThePublishersBackAfterARestart) {
    if (!std::filesystem::exists(kNginx) || !std::filesystem::exists(kRtmpModule)) {
        GTEST_SKIP() << "needs " << kNginx << " and " << kRtmpModule
                     << " (Debian's nginx-light and libnginx-mod-rtmp; scripts/bootstrap)";
    }
    mirrax::test::TestFolder folder("mirrax_nginx");
    const int rtmpPort = mirrax::test::FreeLoopbackPort();
    int httpPort = mirrax::test::FreeLoopbackPort();
    httpPort = httpPort == rtmpPort ? mirrax::test::FreeLoopbackPort() : httpPort;
    WriteConfig(folder, rtmpPort, httpPort);
    auto nginx = StartNginx(folder);
    const std::string server = "rtmp://127.0.0.1:" + std::to_string(rtmpPort) + "/live/";
    const auto rtmp = [&](const Device &device) { return server + device.name; };

    // A key frame every second: readers join at one, and HLS fragments end at one.
    std::vector<std::unique_ptr<HostProcess>> hosts;
    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (const auto &device : kDevices) {
        hosts.push_back(std::make_unique<HostProcess>(
            std::vector<std::string>{"-scale", device.scale, "-frameRate", "30", "-bitRate",
                                     "2000000", "-iFrameInterval", "1000"}));
        ASSERT_TRUE(hosts.back()->Ready()) << hosts.back()->Log();
        clients.push_back(std::make_unique<ChildProcess>(mirrax::test::Program(
            "mirrax_client", {"--server", hosts.back()->Target(), "stream", "-o", rtmp(device)})));
    }
    // The clients retry until nginx listens.
    for (auto &client : clients) {
        ASSERT_TRUE(client->WaitForLine(Stream::kStderr, "publishing to " + server + "***", 20s))
            << client->Output(Stream::kStderr) << "\nnginx: " << nginx->Output(Stream::kStderr);
    }

    // Three key frames' worth over RTMP: by then each device's first HLS fragment has
    // ended and its playlist is there.
    ASSERT_NO_FATAL_FAILURE(ExpectEachDevice(folder, "rtmp", rtmp, 90));
    const auto hls = [&](const Device &device) {
        return "http://127.0.0.1:" + std::to_string(httpPort) + "/hls/" + device.name + ".m3u8";
    };
    ASSERT_NO_FATAL_FAILURE(ExpectEachDevice(folder, "hls", hls, 20));
    // A request under another name (a web page's, by DNS rebinding) reads nothing.
    const auto rebound = mirrax::test::Run({"/usr/bin/ffprobe", "-v", "error", "-headers",
                                            "Host: rebound.example\r\n", hls(kDevices[0])});
    EXPECT_NE(rebound.err.find("4XX"), std::string::npos) << rebound.Describe();

    // nginx gone without a goodbye, then back on the same ports.
    ASSERT_EQ(nginx->Stop(SIGKILL), 128 + SIGKILL);
    nginx = StartNginx(folder);
    for (auto &client : clients) {
        ASSERT_TRUE(client->WaitForLine(Stream::kStderr, "reconnected to " + server + "***", 20s))
            << client->Output(Stream::kStderr) << "\nnginx: " << nginx->Output(Stream::kStderr);
        EXPECT_EQ(client->CountLines(Stream::kStderr, "lost the connection to " + server), 1u)
            << client->Output(Stream::kStderr);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectEachDevice(folder, "again", rtmp, 30));

    for (size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(clients[i]->Stop(SIGINT), 0) << clients[i]->Output(Stream::kStderr);
        EXPECT_EQ(hosts[i]->Stop(), 0);
    }
    EXPECT_EQ(nginx->Stop(SIGTERM), 0) << nginx->Output(Stream::kStderr);
}

}  // namespace
