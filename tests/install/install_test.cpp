// The installed project: `cmake --install` of this build into a temporary prefix, then
// the installed programs end to end, the --library check with the versioned names, a
// consumer program built against the installed package (find_package and pkg-config),
// the Python example, and the .deb that CPack builds. Every program runs in a child
// process with a bounded wait; the files they write are decoded.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "support/child_process.h"
#include "support/h264_decoder.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using mirrax::test::ChildProcess;
using mirrax::test::TestFolder;
using Stream = ChildProcess::Stream;

const std::string kLibDir = MIRRAX_INSTALL_LIBDIR;
const std::string kVersion = MIRRAX_VERSION;
const std::string kSoVersion = MIRRAX_SOVERSION;

// The host's screen in these tests: small, so the runs stay short.
constexpr int kWidth = 360;
constexpr int kHeight = 640;
const std::string kDisplay =
    "synthetic:" + std::to_string(kWidth) + "x" + std::to_string(kHeight) + "@30";

struct Result {
    std::optional<int> status;  // nothing when the command did not end in time
    std::string out;
    std::string err;
    std::string Describe() const {
        return "status " + (status ? std::to_string(*status) : std::string("(timed out)")) +
               "\nstdout:\n" + out + "\nstderr:\n" + err;
    }
};

// Runs a program (an absolute path) to its end; a program still running at the
// timeout is killed when its ChildProcess goes.
Result RunProgram(const std::vector<std::string> &argv, std::chrono::seconds timeout) {
    ChildProcess child(argv);
    Result result;
    result.status = child.Wait(timeout);
    result.out = child.Output(Stream::kStdout);
    result.err = child.Output(Stream::kStderr);
    return result;
}

Result Shell(const std::string &command, std::chrono::seconds timeout) {
    return RunProgram({"/bin/sh", "-c", command}, timeout);
}

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string LibraryFile(const std::string &name, const std::string &suffix) {
    return "lib" + name + ".so" + suffix;
}

// A fresh folder under the temporary directory, removed with everything in it.
struct TempDir {
    explicit TempDir(const std::string &name) : path(fs::temp_directory_path() / name) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    fs::path path;
};

// What a written file decodes to.
struct Decoded {
    int pictures = 0;
    int width = 0;
    int height = 0;
    int errors = 0;
};

Decoded Decode(const fs::path &path) {
    Decoded decoded;
    const auto pictures = mirrax::test::DecodeFile(path.string(), &decoded.errors);
    decoded.pictures = static_cast<int>(pictures.size());
    if (!pictures.empty()) {
        decoded.width = pictures.front().width;
        decoded.height = pictures.front().height;
        for (const auto &p : pictures) {
            if (p.width != decoded.width || p.height != decoded.height) {
                ++decoded.errors;  // every picture must have the host's size
            }
        }
    }
    return decoded;
}

// A mirrax_host from the installed tree on a free loopback port.
class InstalledHost {
public:
    InstalledHost(const fs::path &program, const std::vector<std::string> &options)
        : port_(mirrax::test::FreeLoopbackPort()) {
        std::vector<std::string> argv = {program.string(), "--display", kDisplay, "-p",
                                         std::to_string(port_)};
        argv.insert(argv.end(), options.begin(), options.end());
        child_ = std::make_unique<ChildProcess>(argv);
        ready_ = child_->WaitForLine(Stream::kStdout, "Server Listening on port:", 30s);
    }
    bool Ready() const { return ready_; }
    int Port() const { return port_; }
    ChildProcess &Process() { return *child_; }
    std::optional<int> Stop() {
        child_->Signal(SIGTERM);
        return child_->Wait(20s);
    }

private:
    int port_;
    std::unique_ptr<ChildProcess> child_;
    bool ready_ = false;
};

// Each test installs this build into a prefix of its own under a temporary folder.
class Installed : public ::testing::Test {
protected:
    void SetUp() override {
        const Result install = RunProgram(
            {MIRRAX_CMAKE_COMMAND, "--install", MIRRAX_BUILD_DIR, "--prefix", prefix_.string()},
            120s);
        ASSERT_EQ(install.status, 0) << install.Describe();
    }

    fs::path Bin(const std::string &name) const { return prefix_ / "bin" / name; }
    fs::path Lib(const std::string &name) const { return prefix_ / kLibDir / name; }

    TestFolder folder_{"mirrax_install"};  // named after the running test
    const fs::path dir_ = folder_.Root();
    const fs::path prefix_ = dir_ / "prefix";
};

// --- the installed tree -------------------------------------------------------------

TEST_F(Installed, HoldsVersionedLibrariesHeadersPackageFilesAndOnlyTheTwoPrograms) {
    // Each library: the real file, the soname link to it and the name link to that.
    for (const std::string name : {"mirrax_server", "mirrax_platform", "mirrax_protocol"}) {
        SCOPED_TRACE(name);
        const std::string real = LibraryFile(name, "." + kVersion);
        const std::string soname = LibraryFile(name, "." + kSoVersion);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Lib(real))));
        ASSERT_TRUE(fs::is_symlink(Lib(soname)));
        EXPECT_EQ(fs::read_symlink(Lib(soname)), real);
        ASSERT_TRUE(fs::is_symlink(Lib(LibraryFile(name, ""))));
        EXPECT_EQ(fs::read_symlink(Lib(LibraryFile(name, ""))), soname);
    }
    for (const std::string &file :
         std::vector<std::string>{"include/mirrax/mirrax.pb.h", "include/mirrax/mirrax.grpc.pb.h",
                                  "include/mirrax/platform/refbase.h",
                                  "include/mirrax/platform/mirrax_platform/log_sink.h",
                                  kLibDir + "/cmake/Mirrax/MirraxConfig.cmake",
                                  kLibDir + "/cmake/Mirrax/MirraxConfigVersion.cmake",
                                  kLibDir + "/cmake/Mirrax/MirraxTargets.cmake",
                                  kLibDir + "/pkgconfig/mirrax-protocol.pc"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix_ / file)) << file;
    }
    EXPECT_EQ(ReadFile(prefix_ / "share/mirrax/mirrax.proto"),
              ReadFile(fs::path(MIRRAX_SOURCE_DIR) / "rpc/mirrax.proto"));
    // Tests and benchmarks are not installed.
    std::set<std::string> programs;
    for (const auto &entry : fs::directory_iterator(prefix_ / "bin")) {
        programs.insert(entry.path().filename().string());
    }
    EXPECT_EQ(programs, (std::set<std::string>{"mirrax_client", "mirrax_host"}));
}

// The installed programs find their libraries through their RUNPATHs alone: the host
// maps the prefix's libraries, not the build tree's, and streams and snapshots.
TEST_F(Installed, HostAndClientRunFromThePrefix) {
    InstalledHost host(Bin("mirrax_host"), {});
    ASSERT_TRUE(host.Ready()) << host.Process().Output(Stream::kStderr);

    const std::string maps = ReadFile("/proc/" + std::to_string(host.Process().Pid()) + "/maps");
    for (const std::string name : {"mirrax_server", "mirrax_platform"}) {
        EXPECT_NE(maps.find(Lib(LibraryFile(name, "." + kVersion)).string()), std::string::npos)
            << name << " is not mapped from the prefix:\n"
            << maps;
    }
    EXPECT_EQ(maps.find(std::string(MIRRAX_BUILD_DIR) + "/"), std::string::npos) << maps;

    const std::string port = std::to_string(host.Port());
    const fs::path video = dir_ / "screen.h264";
    const Result stream = RunProgram({Bin("mirrax_client").string(), "-p", port, "stream",
                                      "--frames", "12", "-o", video.string()},
                                     60s);
    ASSERT_EQ(stream.status, 0) << stream.Describe();
    const Decoded frames = Decode(video);
    EXPECT_EQ(frames.errors, 0);
    EXPECT_EQ(frames.pictures, 12);
    EXPECT_EQ(frames.width, kWidth);
    EXPECT_EQ(frames.height, kHeight);

    const fs::path png = dir_ / "screen.png";
    const Result snapshot = RunProgram(
        {Bin("mirrax_client").string(), "-p", port, "snapshot", "-o", png.string()}, 60s);
    ASSERT_EQ(snapshot.status, 0) << snapshot.Describe();
    const Decoded picture = Decode(png);
    EXPECT_EQ(picture.errors, 0);
    EXPECT_EQ(picture.pictures, 1);
    EXPECT_EQ(picture.width, kWidth);
    EXPECT_EQ(picture.height, kHeight);

    EXPECT_EQ(host.Stop(), 0);
}

// The host accepts the library it is linked with under each of its installed names
// (and by default), and refuses a copy.
TEST_F(Installed, LibraryOptionTakesEveryInstalledNameOfTheLinkedLibrary) {
    const fs::path copy = dir_ / LibraryFile("mirrax_server", "." + kVersion);
    fs::copy_file(Lib(LibraryFile("mirrax_server", "." + kVersion)), copy);
    struct Case {
        std::string name;
        std::vector<std::string> options;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"default", {}, true},
        {"name link", {"--library", Lib(LibraryFile("mirrax_server", "")).string()}, true},
        {"soname",
         {"--library", Lib(LibraryFile("mirrax_server", "." + kSoVersion)).string()},
         true},
        {"real file",
         {"--library", Lib(LibraryFile("mirrax_server", "." + kVersion)).string()},
         true},
        {"soname only", {"--library", LibraryFile("mirrax_server", "." + kSoVersion)}, true},
        {"copy", {"--library", copy.string()}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.accepted) {
            InstalledHost host(Bin("mirrax_host"), c.options);
            EXPECT_TRUE(host.Ready()) << host.Process().Output(Stream::kStderr);
            EXPECT_EQ(host.Stop(), 0);
            continue;
        }
        std::vector<std::string> argv = {Bin("mirrax_host").string(), "-p",
                                         std::to_string(mirrax::test::FreeLoopbackPort())};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const Result refused = RunProgram(argv, 20s);
        EXPECT_EQ(refused.status, 1) << refused.Describe();
        EXPECT_NE(refused.err.find("mirrax_host: library " + copy.string() + " is not "),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(refused.out, "");
    }
}

// --- a program built against the installed package -----------------------------------

struct ConsumerCase {
    const char *name;
    // Builds the consumer into `build` against `prefix`; the program's path.
    fs::path (*build)(const fs::path &prefix, const fs::path &build, Result *result);
};

void PrintTo(const ConsumerCase &c, std::ostream *os) { *os << c.name; }

const fs::path kConsumerSource = fs::path(MIRRAX_SOURCE_DIR) / "tests/install/consumer";

fs::path BuildWithFindPackage(const fs::path &prefix, const fs::path &build, Result *result) {
    *result = RunProgram(
        {MIRRAX_CMAKE_COMMAND, "-S", kConsumerSource.string(), "-B", build.string(), "-G", "Ninja",
         "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + prefix.string()},
        120s);
    if (result->status != 0) {
        return {};
    }
    // The package found must be the one in the prefix, not one installed elsewhere.
    const std::string cache = ReadFile(build / "CMakeCache.txt");
    const std::string expected = "Mirrax_DIR:PATH=" + (prefix / kLibDir / "cmake/Mirrax").string();
    if (cache.find(expected + "\n") == std::string::npos) {
        result->status = -1;
        result->err = "CMakeCache.txt lacks " + expected;
        return {};
    }
    *result = RunProgram({MIRRAX_CMAKE_COMMAND, "--build", build.string()}, 240s);
    return build / "mirrax_consumer";
}

fs::path BuildWithPkgConfig(const fs::path &prefix, const fs::path &build, Result *result) {
    fs::create_directories(build);
    const fs::path program = build / "mirrax_consumer";
    const std::string pc = "PKG_CONFIG_PATH='" + (prefix / kLibDir / "pkgconfig").string() + "' ";
    *result = Shell("set -e; flags=$(" + pc + "pkg-config --cflags --libs mirrax-protocol); " +
                        "libdir=$(" + pc + "pkg-config --variable=libdir mirrax-protocol); " +
                        "c++ -std=c++17 -Wall -Wextra -Werror -o '" + program.string() + "' '" +
                        (kConsumerSource / "main.cpp").string() + "' $flags -Wl,-rpath,\"$libdir\"",
                    240s);
    return program;
}

class InstalledConsumer : public Installed, public ::testing::WithParamInterface<ConsumerCase> {};

TEST_P(InstalledConsumer, BuildsAndCallsTheInstalledHost) {
    Result build;
    const fs::path program = GetParam().build(prefix_, dir_ / "consumer", &build);
    ASSERT_EQ(build.status, 0) << build.Describe();

    InstalledHost host(Bin("mirrax_host"), {});
    ASSERT_TRUE(host.Ready()) << host.Process().Output(Stream::kStderr);
    const Result call =
        RunProgram({program.string(), "127.0.0.1:" + std::to_string(host.Port())}, 30s);
    ASSERT_EQ(call.status, 0) << call.Describe();
    // No stream runs, so the host answers the key-frame request with 6.
    EXPECT_EQ(call.out, "onRequestIDRFrame result: 6 (no stream running)\n");
    EXPECT_EQ(host.Process().CountLines(Stream::kStderr, "Request to refresh IDR frame from"), 1u)
        << host.Process().Output(Stream::kStderr);
    EXPECT_EQ(host.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Build, InstalledConsumer,
                         ::testing::Values(ConsumerCase{"FindPackage", BuildWithFindPackage},
                                           ConsumerCase{"PkgConfig", BuildWithPkgConfig}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- the Python example ---------------------------------------------------------------

// The example generates its stubs from the installed mirrax.proto, streams 24 pictures
// and asks for a key frame after the 8th; with periodic key frames off (a 10-minute
// interval) a later key frame is the one it asked for.
TEST_F(Installed, PythonExampleStreamsFramesAndGetsTheKeyFrameItAskedFor) {
    InstalledHost host(Bin("mirrax_host"), {"-iFrameInterval", "600000"});
    ASSERT_TRUE(host.Ready()) << host.Process().Output(Stream::kStderr);
    const fs::path video = dir_ / "python.h264";
    const Result example =
        RunProgram({"/usr/bin/python3", MIRRAX_SOURCE_DIR "/examples/python/mirrax_stream.py",
                    "--prefix", prefix_.string(), "--port", std::to_string(host.Port()), "--frames",
                    "24", "-o", video.string()},
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

    const Decoded frames = Decode(video);
    EXPECT_EQ(frames.errors, 0);
    EXPECT_EQ(frames.pictures, 24);
    EXPECT_EQ(frames.width, kWidth);
    EXPECT_EQ(frames.height, kHeight);
    // The run was ended with onEnd: the host goes on streaming to the next client.
    const Result next =
        RunProgram({Bin("mirrax_client").string(), "-p", std::to_string(host.Port()), "stream",
                    "--frames", "3", "-o", (dir_ / "next.h264").string()},
                   60s);
    EXPECT_EQ(next.status, 0) << next.Describe();
    EXPECT_EQ(host.Stop(), 0);
}

// --- the .deb --------------------------------------------------------------------------

TEST(Package, DebHoldsTheInstallAndDependsOnTheLinkedLibrariesPackages) {
    const TempDir temp("mirrax_package_" + std::to_string(getpid()));
    const fs::path &dir = temp.path;
    const Result cpack =
        RunProgram({MIRRAX_CPACK_COMMAND, "-G", "DEB", "-B", dir.string(), "--config",
                    std::string(MIRRAX_BUILD_DIR) + "/CPackConfig.cmake"},
                   300s);
    ASSERT_EQ(cpack.status, 0) << cpack.Describe();
    std::vector<fs::path> debs;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".deb") {
            debs.push_back(entry.path());
        }
    }
    ASSERT_EQ(debs.size(), 1u) << cpack.Describe();
    const Result arch = RunProgram({"/usr/bin/dpkg", "--print-architecture"}, 10s);
    ASSERT_EQ(arch.status, 0);
    EXPECT_EQ(debs[0].filename(),
              "mirrax_" + kVersion + "_" + arch.out.substr(0, arch.out.find('\n')) + ".deb");

    const Result contents = RunProgram({"/usr/bin/dpkg-deb", "-c", debs[0].string()}, 30s);
    ASSERT_EQ(contents.status, 0) << contents.Describe();
    std::set<std::string> files;
    for (std::istringstream lines(contents.out); !lines.eof();) {
        std::string line;
        std::getline(lines, line);
        const auto path = line.find(" ./");
        if (path != std::string::npos) {
            files.insert(line.substr(path + 2, line.find(" -> ") - path - 2));
        }
    }
    const std::string lib = "/usr/" + kLibDir + "/";
    for (const std::string &file : std::vector<std::string>{
             "/usr/bin/mirrax_host", "/usr/bin/mirrax_client",
             lib + "libmirrax_server.so." + kVersion, lib + "libmirrax_server.so." + kSoVersion,
             lib + "libmirrax_server.so", lib + "libmirrax_platform.so." + kVersion,
             lib + "libmirrax_protocol.so." + kVersion, lib + "cmake/Mirrax/MirraxConfig.cmake",
             lib + "pkgconfig/mirrax-protocol.pc",
             std::string("/usr/include/mirrax/mirrax.grpc.pb.h"),
             std::string("/usr/share/mirrax/mirrax.proto")}) {
        EXPECT_EQ(files.count(file), 1u) << file << " missing from\n" << contents.out;
    }
    for (const auto &file : files) {
        EXPECT_TRUE(file.rfind("/usr/bin/", 0) != 0 || file == "/usr/bin/" ||
                    file == "/usr/bin/mirrax_host" || file == "/usr/bin/mirrax_client")
            << "unexpected program " << file;
    }

    const Result depends =
        RunProgram({"/usr/bin/dpkg-deb", "-f", debs[0].string(), "Depends"}, 30s);
    ASSERT_EQ(depends.status, 0) << depends.Describe();
    std::set<std::string> packages;
    for (std::istringstream list(depends.out); !list.eof();) {
        std::string entry;
        std::getline(list, entry, ',');
        const auto start = entry.find_first_not_of(' ');
        if (start != std::string::npos) {
            packages.insert(entry.substr(start, entry.find_first_of(" (", start) - start));
        }
    }
    // Each library the programs and libraries link comes from a package named after it
    // (its version part differs between Debian releases).
    for (const std::string library : {"libgrpc++", "libprotobuf", "libavcodec", "libavformat",
                                      "libavutil", "libswscale", "libyuv", "libstdc++", "libc6"}) {
        bool found = false;
        for (const auto &package : packages) {
            found = found || package.rfind(library, 0) == 0;
        }
        EXPECT_TRUE(found) << library << " not in Depends: " << depends.out;
    }
    EXPECT_EQ(packages.count("mirrax"), 0u) << depends.out;
}

}  // namespace
