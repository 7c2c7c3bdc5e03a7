// The child-process helper fails the test that ran a child whose standard error holds a
// ThreadSanitizer report, whether the child exited or the helper had to kill it, and
// starts programs built for the tests' own machine also in a cross build.
#include "support/child_process.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

namespace mirrax::test {
namespace {

using namespace std::chrono_literals;

struct ReportCase {
    const char *name;
    const char *script;  // run by /bin/sh
    bool keepsRunning;   // left for the helper's destructor to kill
    bool fails;
};

class ChildReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ChildReportTest, FailsTheTestOnlyForASanitizerReport) {
    const ReportCase &c = GetParam();
    // Failures reported while the helper lives are collected, not counted; the checks of
    // the child itself are asserted after it.
    ::testing::TestPartResultArray results;
    bool printed = false;
    bool exited = true;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        ChildProcess child({"/bin/sh", "-c", c.script});
        printed = child.WaitForLine(ChildProcess::Stream::kStderr, "size 4");
        if (printed && !c.keepsRunning) {
            exited = child.Wait(10s).has_value();
        }
    }
    ASSERT_TRUE(printed);
    ASSERT_TRUE(exited);
    if (!c.fails) {
        EXPECT_EQ(results.size(), 0);
        return;
    }
    ASSERT_EQ(results.size(), 1);
    const std::string message = results.GetTestPartResult(0).message();
    EXPECT_NE(message.find("reported a ThreadSanitizer finding"), std::string::npos) << message;
    // The report itself, from its first line on, is in the failure.
    EXPECT_NE(message.find("WARNING: ThreadSanitizer: data race (pid=7)\n  Write of size 4"),
              std::string::npos)
        << message;
    EXPECT_EQ(message.find("before the report"), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Children, ChildReportTest,
    ::testing::Values(ReportCase{"ReportThenExit",
                                 "echo 'log line before the report' >&2; "
                                 "echo 'WARNING: ThreadSanitizer: data race (pid=7)' >&2; "
                                 "echo '  Write of size 4 at 0x7b0400000010' >&2; exit 66",
                                 false, true},
                      ReportCase{"ReportThenKilled",
                                 "echo 'log line before the report' >&2; "
                                 "echo 'WARNING: ThreadSanitizer: data race (pid=7)' >&2; "
                                 "echo '  Write of size 4 at 0x7b0400000010' >&2; exec cat",
                                 true, true},
                      ReportCase{
                          "PlainErrorExit",
                          "echo 'mirrax_client: error: frame of size 4 is malformed' >&2; exit 1",
                          false, false}),
    [](const auto &info) { return std::string(info.param.name); });

// A program built for the tests' own machine (this test program) runs to its end:
// natively, or in a cross build through the emulator that runs the tests.
TEST(ChildProgram, ProgramOfTheTestsOwnMachineRuns) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    ChildProcess child({std::string(self, static_cast<size_t>(n)), "--gtest_list_tests",
                        "--gtest_filter=ChildProgram.*"});
    const std::optional<int> status = child.Wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << child.Output(ChildProcess::Stream::kStderr);
    EXPECT_NE(child.Output(ChildProcess::Stream::kStdout)
                  .find("ChildProgram.\n  ProgramOfTheTestsOwnMachineRuns\n"),
              std::string::npos)
        << child.Output(ChildProcess::Stream::kStdout);
}

// Waiting for a line that never comes ends with the child's output, not at the
// timeout: a program that fails at start fails its test at once.
TEST(ChildProgram, WaitForALineEndsWhenTheOutputEnds) {
    ChildProcess child({"/bin/sh", "-c", "echo 'started' >&2; exit 3"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(child.WaitForLine(ChildProcess::Stream::kStderr, "never printed", 120s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    EXPECT_TRUE(child.WaitForLine(ChildProcess::Stream::kStderr, "started", 1s));
    EXPECT_EQ(child.Wait(10s), std::optional<int>(3));
}

}  // namespace
}  // namespace mirrax::test
