// The installed project (MIRRAX_TEST_PREFIX, installed by the CTest fixture): its
// tree, its programs end to end, programs built against it, and the .deb.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "integration/host_fixture.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using mirrax::test::CheckPictures;
using mirrax::test::HostProcess;
using mirrax::test::ReadFile;

const std::string kLibDir = MIRRAX_INSTALL_LIBDIR;
const std::string kVersion = MIRRAX_VERSION;
const std::string kSoVersion = MIRRAX_SOVERSION;
const fs::path kPrefix = MIRRAX_TEST_PREFIX;

std::string Bin(const std::string &name) { return (kPrefix / "bin" / name).string(); }
std::string Lib(const std::string &name) { return (kPrefix / kLibDir / name).string(); }
std::string ServerLibrary(const std::string &suffix) { return "libmirrax_server.so" + suffix; }

std::vector<std::string> Client(const HostProcess &host, std::vector<std::string> args) {
    args.insert(args.begin(), {Bin("mirrax_client"), "-p", std::to_string(host.Port())});
    return args;
}

TEST(Installed, HoldsVersionedLibrariesHeadersPackageFilesAndOnlyTheTwoPrograms) {
    // Each library: the real file, the soname link to it and the name link to that.
    for (const std::string name : {"mirrax_server", "mirrax_platform", "mirrax_protocol"}) {
        const std::string real = "lib" + name + ".so." + kVersion;
        const std::string soname = "lib" + name + ".so." + kSoVersion;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Lib(real)))) << real;
        EXPECT_EQ(fs::read_symlink(Lib(soname)), real);
        EXPECT_EQ(fs::read_symlink(Lib("lib" + name + ".so")), soname);
    }
    for (const std::string &file :
         std::vector<std::string>{"include/mirrax/mirrax.pb.h", "include/mirrax/mirrax.grpc.pb.h",
                                  "include/mirrax/platform/refbase.h",
                                  "include/mirrax/platform/mirrax_platform/log_sink.h",
                                  kLibDir + "/cmake/Mirrax/MirraxConfig.cmake",
                                  kLibDir + "/cmake/Mirrax/MirraxConfigVersion.cmake",
                                  kLibDir + "/cmake/Mirrax/MirraxTargets.cmake",
                                  kLibDir + "/pkgconfig/mirrax-protocol.pc"}) {
        EXPECT_TRUE(fs::is_regular_file(kPrefix / file)) << file;
    }
    EXPECT_EQ(ReadFile(kPrefix / "share/mirrax/mirrax.proto"),
              ReadFile(fs::path(MIRRAX_SOURCE_DIR) / "rpc/mirrax.proto"));
    // Tests and benchmarks are not installed.
    std::set<std::string> programs;
    for (const auto &entry : fs::directory_iterator(kPrefix / "bin")) {
        programs.insert(entry.path().filename().string());
    }
    EXPECT_EQ(programs, (std::set<std::string>{"mirrax_client", "mirrax_host"}));
}

const fs::path kConsumerSource = fs::path(MIRRAX_SOURCE_DIR) / "tests/install/consumer";

// A program outside the project built against the installed package with find_package,
// which must find the package in the prefix, not one installed elsewhere.
mirrax::test::RunResult BuildWithFindPackage(const fs::path &build) {
    auto result = mirrax::test::Run(
        {MIRRAX_CMAKE_COMMAND, "-S", kConsumerSource.string(), "-B", build.string(), "-G", "Ninja",
         "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + kPrefix.string()},
        120s);
    const std::string found = "Mirrax_DIR:PATH=" + (kPrefix / kLibDir / "cmake/Mirrax").string();
    if (result.status == 0 &&
        ReadFile(build / "CMakeCache.txt").find(found + "\n") == std::string::npos) {
        result.status = -1;
        result.err = "CMakeCache.txt lacks " + found;
    }
    return result.status == 0
               ? mirrax::test::Run({MIRRAX_CMAKE_COMMAND, "--build", build.string()}, 240s)
               : result;
}

// The same program built with the flags pkg-config gives for the installed library.
mirrax::test::RunResult BuildWithPkgConfig(const fs::path &build) {
    fs::create_directories(build);
    const std::string pc = "PKG_CONFIG_PATH='" + (kPrefix / kLibDir / "pkgconfig").string() + "' ";
    return mirrax::test::Run(
        {"/bin/sh", "-c",
         "set -e; flags=$(" + pc + "pkg-config --cflags --libs mirrax-protocol); " + "libdir=$(" +
             pc + "pkg-config --variable=libdir mirrax-protocol); " +
             "c++ -std=c++17 -Wall -Wextra -Werror -o '" + (build / "mirrax_consumer").string() +
             "' '" + (kConsumerSource / "main.cpp").string() + "' $flags -Wl,-rpath,\"$libdir\""},
        240s);
}

// One installed host, given the linked library by its soname, with periodic key frames
// 10 minutes apart. The installed programs find their libraries through their RUNPATHs
// alone: the host maps the prefix's libraries, not the build tree's. The consumers call
// it; the client streams and snapshots from it; the Python example generates its stubs
// from the installed mirrax.proto, streams 24 pictures and gets the key frame it asked
// for after the 8th, and ends with onEnd, so the host streams to the next client.
TEST(Installed, ProgramsAndConsumersTalkToTheInstalledHost) {
    mirrax::test::TestFolder dir("mirrax_install");
    HostProcess host(
        {"-iFrameInterval", "600000"},
        {"--library", ServerLibrary("." + kSoVersion), "--display", "synthetic:360x640@30"},
        Bin("mirrax_host"));
    ASSERT_TRUE(host.Ready()) << host.Log();
    const std::string maps = ReadFile("/proc/" + std::to_string(host.Process().Pid()) + "/maps");
    for (const std::string name : {"mirrax_server", "mirrax_platform"}) {
        EXPECT_NE(maps.find(Lib("lib" + name + ".so." + kVersion)), std::string::npos)
            << name << " is not mapped from the prefix:\n"
            << maps;
    }
    EXPECT_EQ(maps.find(mirrax::test::BuildPath("lib/")), std::string::npos) << maps;

    int calls = 0;
    for (auto build : {BuildWithFindPackage, BuildWithPkgConfig}) {
        const fs::path folder = dir.Root() / std::to_string(calls);
        const auto built = build(folder);
        ASSERT_EQ(built.status, 0) << built.Describe();
        const auto call = mirrax::test::Run({(folder / "mirrax_consumer").string(), host.Target()});
        ASSERT_EQ(call.status, 0) << call.Describe();
        // No stream runs, so the host answers the key-frame request with 6.
        EXPECT_EQ(call.out, "onRequestIDRFrame result: 6 (no stream running)\n");
        EXPECT_TRUE(host.WaitForLog("Request to refresh IDR frame from", ++calls)) << host.Log();
    }

    const auto stream =
        mirrax::test::Run(Client(host, {"stream", "--frames", "12", "-o", dir.Path("s.h264")}));
    ASSERT_EQ(stream.status, 0) << stream.Describe();
    const auto frames = mirrax::test::Decode(dir.Path("s.h264"));
    EXPECT_EQ(CheckPictures(frames, 360, 640, 12), "");
    EXPECT_EQ(frames.pictures.size(), 12u);
    const auto snapshot = mirrax::test::Run(Client(host, {"snapshot", "-o", dir.Path("s.png")}));
    ASSERT_EQ(snapshot.status, 0) << snapshot.Describe();
    EXPECT_EQ(CheckPictures(mirrax::test::Decode(dir.Path("s.png")), 360, 640, 1, false), "");

    const auto example = mirrax::test::Run(
        {"/usr/bin/python3", MIRRAX_SOURCE_DIR "/examples/python/mirrax_stream.py", "--prefix",
         kPrefix.string(), "--port", std::to_string(host.Port()), "--frames", "24", "-o",
         dir.Path("p.h264")},
        90s);
    ASSERT_EQ(example.status, 0) << example.Describe();
    EXPECT_NE(example.out.find("key frame requested after picture 8: result 0"), std::string::npos)
        << example.out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        example.out, match,
        std::regex(R"(wrote 24 pictures \((\d+) key frames, (\d+) after the request\))")))
        << example.out;
    EXPECT_GE(std::stoi(match[2]), 1) << example.out;
    // The requested key frame encodes the picture before it again: no stamp order.
    EXPECT_EQ(CheckPictures(mirrax::test::Decode(dir.Path("p.h264")), 360, 640, 24, false), "");
    const auto next = mirrax::test::Run(Client(host, {"stream", "--frames", "3", "-o", "-"}));
    EXPECT_EQ(next.status, 0) << next.Describe();
    EXPECT_EQ(host.Stop(), 0);

    const std::string copy = dir.Path(ServerLibrary("." + kVersion));
    fs::copy_file(Lib(ServerLibrary("." + kVersion)), copy);
    const auto refused = mirrax::test::Run(
        {Bin("mirrax_host"), "--library", copy, "-p", std::to_string(host.Port())}, 20s);
    EXPECT_EQ(refused.status, 1) << refused.Describe();
    EXPECT_EQ(refused.err.rfind("mirrax_host: library " + copy + " is not ", 0), 0u) << refused.err;
    EXPECT_EQ(refused.out, "");
}

TEST(Package, DebHoldsTheInstallAndDependsOnTheLinkedLibrariesPackages) {
    mirrax::test::TestFolder dir("mirrax_package");
    const auto cpack =
        mirrax::test::Run({MIRRAX_CPACK_COMMAND, "-G", "DEB", "-B", dir.Root().string(), "--config",
                           std::string(MIRRAX_BUILD_DIR) + "/CPackConfig.cmake"},
                          300s);
    ASSERT_EQ(cpack.status, 0) << cpack.Describe();
    const auto arch = mirrax::test::Run({"/usr/bin/dpkg", "--print-architecture"});
    ASSERT_EQ(arch.status, 0);
    const std::string deb =
        dir.Path("mirrax_" + kVersion + "_" + arch.out.substr(0, arch.out.find('\n')) + ".deb");
    ASSERT_TRUE(fs::exists(deb)) << cpack.Describe();

    const auto contents = mirrax::test::Run({"/usr/bin/dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.status, 0) << contents.Describe();
    std::set<std::string> files;
    std::istringstream lines(contents.out);
    for (std::string line; std::getline(lines, line);) {
        const auto path = line.find(" ./");
        if (path != std::string::npos) {
            files.insert(line.substr(path + 2, line.find(" -> ") - path - 2));
        }
    }
    const std::string lib = "/usr/" + kLibDir + "/";
    for (const std::string &file :
         {std::string("/usr/bin/mirrax_host"), std::string("/usr/bin/mirrax_client"),
          lib + ServerLibrary("." + kVersion), lib + ServerLibrary("." + kSoVersion),
          lib + ServerLibrary(""), lib + "libmirrax_platform.so." + kVersion,
          lib + "libmirrax_protocol.so." + kVersion, lib + "cmake/Mirrax/MirraxConfig.cmake",
          lib + "pkgconfig/mirrax-protocol.pc", std::string("/usr/include/mirrax/mirrax.grpc.pb.h"),
          std::string("/usr/share/mirrax/mirrax.proto")}) {
        EXPECT_EQ(files.count(file), 1u) << file << " missing from\n" << contents.out;
    }
    for (const auto &file : files) {
        EXPECT_TRUE(file.rfind("/usr/bin/", 0) != 0 || file == "/usr/bin/" ||
                    file == "/usr/bin/mirrax_host" || file == "/usr/bin/mirrax_client")
            << "unexpected program " << file;
    }

    // The key libraries the programs link come from packages named after them (their
    // version parts differ between Debian releases).
    const auto depends = mirrax::test::Run({"/usr/bin/dpkg-deb", "-f", deb, "Depends"});
    ASSERT_EQ(depends.status, 0) << depends.Describe();
    for (const std::string library : {"libgrpc++", "libavcodec", "libyuv", "libstdc++"}) {
        EXPECT_TRUE(depends.out.rfind(library, 0) == 0 ||
                    depends.out.find(" " + library) != std::string::npos)
            << library << " not in Depends: " << depends.out;
    }
    EXPECT_EQ(depends.out.find("mirrax"), std::string::npos) << depends.out;
}

}  // namespace
