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

// Mounts `source` over `target` in a mount namespace of the calling thread's own:
// children forked from it inherit it, and nothing propagates back to the machine. Returns
// an empty text on success, otherwise why it could not (for example, no privilege).
inline std::string MountPrivate(const std::string &source, const std::string &target,
                                const char *type, unsigned long flags,
                                const std::string &data = {}) {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("make / private: ") + strerror(errno);
    }
    if (mount(source.c_str(), target.c_str(), type, flags, data.c_str()) != 0) {
        return "mount " + source + " on " + target + ": " + strerror(errno);
    }
    return {};
}

// A tmpfs of `bytes` over `dir`, created if missing.
inline std::string MountPrivateTmpfs(const std::string &dir, size_t bytes) {
    std::error_code ignored;  // a missing folder makes the mount say so
    std::filesystem::create_directories(dir, ignored);
    return MountPrivate("tmpfs", dir, "tmpfs", 0, "size=" + std::to_string(bytes) + ",mode=0777");
}

}  // namespace mirrax::test

// In a GoogleTest body: mounts the private tmpfs over `dir` or skips the test, saying why.
#define MIRRAX_USE_PRIVATE_TMPFS(dir, bytes)                                      \
    do {                                                                          \
        const std::string whyNot = ::mirrax::test::MountPrivateTmpfs(dir, bytes); \
        if (!whyNot.empty()) {                                                    \
            GTEST_SKIP() << "needs a private mount: " << whyNot;                  \
        }                                                                         \
    } while (0)

#endif  // MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H
