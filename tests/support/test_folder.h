// A temporary folder of the running test's own, named after it and this process,
// made empty when created and removed when it goes; and a file system of the test's
// own over a directory (a small tmpfs to fill up, or a read-only one).
#ifndef MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H
#define MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace mirrax::test {

class TestFolder {
public:
    // Call from SetUp or a test body: the name comes from the current test.
    explicit TestFolder(const std::string &prefix) {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char &c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        path_ = std::filesystem::temp_directory_path() /
                (prefix + "_" + name + "_" + std::to_string(getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TestFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TestFolder(const TestFolder &) = delete;
    TestFolder &operator=(const TestFolder &) = delete;

    const std::filesystem::path &Root() const { return path_; }
    std::string Path(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Moves the calling thread into a mount namespace of its own (children forked from it
// inherit it), where the mounts that follow do not propagate back to the machine.
inline std::string UnshareMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("make / private: ") + strerror(errno);
    }
    return {};
}

// In that namespace mounts a tmpfs of `bytes` over `dir`, created if missing. Returns an
// empty text on success, otherwise why it could not (for example, no privilege).
inline std::string MountPrivateTmpfs(const std::string &dir, size_t bytes, bool readOnly) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        return "create " + dir + ": " + ec.message();
    }
    if (std::string whyNot = UnshareMounts(); !whyNot.empty()) {
        return whyNot;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (mount("tmpfs", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) != 0) {
        return "mount tmpfs on " + dir + ": " + strerror(errno);
    }
    return {};
}

// In that namespace bind-mounts `file` over `target`, for example a resolver
// configuration of the test's own over /etc/resolv.conf.
inline std::string MountPrivateFile(const std::string &file, const std::string &target) {
    if (std::string whyNot = UnshareMounts(); !whyNot.empty()) {
        return whyNot;
    }
    if (mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "bind " + file + " over " + target + ": " + strerror(errno);
    }
    return {};
}

}  // namespace mirrax::test

// In a GoogleTest body: mounts the private tmpfs over `dir` or skips the test, saying why.
#define MIRRAX_USE_PRIVATE_TMPFS(dir, bytes, readOnly)                                      \
    do {                                                                                    \
        const std::string whyNot = ::mirrax::test::MountPrivateTmpfs(dir, bytes, readOnly); \
        if (!whyNot.empty()) {                                                              \
            GTEST_SKIP() << "needs a private mount: " << whyNot;                            \
        }                                                                                   \
    } while (0)

#endif  // MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H
