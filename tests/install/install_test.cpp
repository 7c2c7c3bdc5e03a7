// The installed project (MIRRAX_TEST_PREFIX, installed by the CTest fixture): its
// tree and the .deb, its programs end to end, and programs built against it.
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
using mirrax::test::Decode;
using mirrax::test::ReadFile;

const std::string kLibDir = MIRRAX_INSTALL_LIBDIR;
const std::string kVersion = MIRRAX_VERSION;
const fs::path kPrefix = MIRRAX_TEST_PREFIX;

std::string Lib(const std::string &name) { return (kPrefix / kLibDir / name).string(); }

// The .deb holds exactly the installed files, under /usr.
TEST(Installed, TreeAndDebHoldVersionedLibrariesHeadersPackageFilesAndOnlyTheTwoPrograms) {
    // Each library: the real file, the soname link to it and the name link to that.
    for (const std::string name : {"mirrax_server", "mirrax_platform", "mirrax_protocol"}) {
        const std::string real = "lib" + name + ".so." + kVersion;
        const std::string soname = "lib" + name + ".so." MIRRAX_SOVERSION;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Lib(real)))) << real;
        EXPECT_EQ(fs::read_symlink(Lib(soname)), real);
        EXPECT_EQ(fs::read_symlink(Lib("lib" + name + ".so")), soname);
    }
    std::set<std::string> installed;
    for (const auto &entry : fs::recursive_directory_iterator(kPrefix)) {
        if (!entry.is_directory()) {
            installed.insert("/usr/" + entry.path().lexically_relative(kPrefix).string());
        }
    }
    // The programs, the protocol headers and the package files are used by the next test.
    for (const std::string file : {"refbase.h", "mirrax_platform/log_sink.h"}) {
        EXPECT_EQ(installed.count("/usr/include/mirrax/platform/" + file), 1u) << file;
    }
    // Tests and benchmarks are not installed.
    EXPECT_EQ(std::count_if(installed.begin(), installed.end(),
                            [](const std::string &f) { return f.rfind("/usr/bin/", 0) == 0; }),
              2)
        << "programs in bin/";
    EXPECT_EQ(ReadFile(kPrefix / "share/mirrax/mirrax.proto"),
              ReadFile(fs::path(MIRRAX_SOURCE_DIR) / "rpc/mirrax.proto"));

    mirrax::test::TestFolder dir("mirrax_package");
    const auto cpack =
        mirrax::test::Run({MIRRAX_CPACK_COMMAND, "-G", "DEB", "-B", dir.Root().string(), "--config",
                           MIRRAX_BUILD_DIR "/CPackConfig.cmake"},
                          300s);
    ASSERT_EQ(cpack.status, 0) << cpack.Describe();
    const auto arch = mirrax::test::Run({"/usr/bin/dpkg", "--print-architecture"});
    const std::string deb =
        dir.Path("mirrax_" + kVersion + "_" + arch.out.substr(0, arch.out.find('\n')) + ".deb");
    const auto contents = mirrax::test::Run({"/usr/bin/dpkg-deb", "-c", deb});
    ASSERT_EQ(contents.status, 0) << contents.Describe() << cpack.Describe();
    std::set<std::string> packaged;
    std::istringstream lines(contents.out);
    for (std::string line; std::getline(lines, line);) {
        const auto path = line.find(" ./");
        if (path != std::string::npos && line.back() != '/') {
            packaged.insert(line.substr(path + 2, line.find(" -> ") - path - 2));
        }
    }
    std::vector<std::string> inOne;
    std::set_symmetric_difference(packaged.begin(), packaged.end(), installed.begin(),
                                  installed.end(), std::back_inserter(inOne));
    EXPECT_EQ(inOne, std::vector<std::string>{}) << "files in only the .deb or the prefix";

    // The key libraries the programs link come from packages named after them (their
    // version parts differ between Debian releases).
    const auto depends = mirrax::test::Run({"/usr/bin/dpkg-deb", "-f", deb, "Depends"});
    for (const std::string library : {"libgrpc++", "libavcodec", "libyuv", "libstdc++"}) {
        EXPECT_TRUE(depends.out.rfind(library, 0) == 0 ||
                    depends.out.find(" " + library) != std::string::npos)
            << library << " not in Depends: " << depends.Describe();
    }
    EXPECT_EQ(depends.out.find("mirrax"), std::string::npos) << depends.out;
}

// One installed host, given the linked library by its soname, with periodic key frames
// 10 minutes apart. The installed programs find their libraries through their RUNPATHs
// alone: the host maps the prefix's libraries, not the build tree's. Two consumers
// built against the installed package ask it for a key frame; the Python example
// generates its stubs from the installed mirrax.proto, streams 24 pictures and gets the
// key frame it asked for after the 8th, and ends with onEnd, so the host streams to the
// installed client next.
TEST(Installed, ProgramsAndConsumersTalkToTheInstalledHost) {
    mirrax::test::TestFolder dir("mirrax_install");
    mirrax::test::HostProcess host(
        {"-iFrameInterval", "600000"},
        {"--library", "libmirrax_server.so." MIRRAX_SOVERSION, "--display", "synthetic:360x640@30"},
        (kPrefix / "bin/mirrax_host").string());
    ASSERT_TRUE(host.Ready()) << host.Log();
    const std::string maps = ReadFile("/proc/" + std::to_string(host.Process().Pid()) + "/maps");
    for (const std::string name : {"mirrax_server", "mirrax_platform"}) {
        EXPECT_NE(maps.find(Lib("lib" + name + ".so." + kVersion)), std::string::npos)
            << name << " is not mapped from the prefix:\n"
            << maps;
    }
    EXPECT_EQ(maps.find(mirrax::test::BuildPath("lib/")), std::string::npos) << maps;

    // With find_package (the consumer's CMakeLists.txt refuses a package found outside
    // the prefix), and with the flags pkg-config gives for the installed library.
    const std::string consumer = MIRRAX_SOURCE_DIR "/tests/install/consumer";
    const std::string cmake = MIRRAX_CMAKE_COMMAND;
    const std::string pkgConfig = "PKG_CONFIG_PATH=" + Lib("pkgconfig") + " pkg-config ";
    int built = 0;
    for (const std::string &build :
         {cmake + " -S " + consumer + " -B $0 -G Ninja -DCMAKE_PREFIX_PATH=" + kPrefix.string() +
              " && " + cmake + " --build $0",
          "mkdir $0 && c++ -std=c++17 -Wall -Wextra -Werror -o $0/mirrax_consumer " + consumer +
              "/main.cpp $(" + pkgConfig + "--cflags --libs mirrax-protocol) -Wl,-rpath,$(" +
              pkgConfig + "--variable=libdir mirrax-protocol)"}) {
        const std::string folder = dir.Path(std::to_string(++built));
        const auto make = mirrax::test::Run({"/bin/sh", "-c", build, folder}, 240s);
        ASSERT_EQ(make.status, 0) << make.Describe();
        const auto call = mirrax::test::Run({folder + "/mirrax_consumer", host.Target()});
        // No stream runs, so the host answers the key-frame request with 6.
        EXPECT_EQ(call.out, "status 0: , result 6 (no stream running)\n") << call.Describe();
    }

    const auto example = mirrax::test::Run(
        {"/usr/bin/python3", MIRRAX_SOURCE_DIR "/examples/python/mirrax_stream.py", "--prefix",
         kPrefix.string(), "--port", std::to_string(host.Port()), "--frames", "24", "-o",
         dir.Path("p.h264")},
        90s);
    ASSERT_EQ(example.status, 0) << example.Describe();
    EXPECT_TRUE(std::regex_search(
        example.out, std::regex(R"(key frame requested after picture 8: result 0\n)"
                                R"(wrote 24 pictures \(\d+ key frames, [1-9]\d* after)")))
        << example.out;
    // The requested key frame encodes the picture before it again: no stamp order.
    EXPECT_EQ(CheckPictures(Decode(dir.Path("p.h264")), 360, 640, 24, false), "");
    const auto next = mirrax::test::Run({(kPrefix / "bin/mirrax_client").string(), "-p",
                                         std::to_string(host.Port()), "stream", "--frames", "3",
                                         "-o", dir.Path("c.h264")});
    ASSERT_EQ(next.status, 0) << next.Describe();
    EXPECT_EQ(CheckPictures(Decode(dir.Path("c.h264")), 360, 640, 3), "");
    EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
