// A temporary folder of the running test's own, named after it and this process,
// made empty when created and removed when it goes.
#ifndef MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H
#define MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
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

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_SUPPORT_TEST_FOLDER_H
