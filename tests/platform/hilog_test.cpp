// HiLog formatting: privacy markers, conversions, and the default line form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "hilog/log.h"
#include "support/log_capture.h"

namespace {

TEST(HiLogFormat, PrivacyMarkersConversionsAndLineFields) {
    mirrax::test::LogCapture capture;
    EXPECT_EQ(HiLogPrint(LOG_APP, LOG_ERROR, 0xD00F1E2, "T", "%{public}s %{public}d", "label", -3),
              8);
    EXPECT_EQ(HiLogPrint(LOG_APP, LOG_ERROR, 0xD00F1E2, "T", nullptr), -1);
    HiLogPrint(LOG_APP, LOG_INFO, 0xD00F1E2, "T", "a %{private}s b %d c", "secret", 5);
    HiLogPrint(LOG_APP, LOG_INFO, 0xD00F1E2, "T", "%{public}ld|%{public}lu|%{public}05d|%%",
               static_cast<long>(-5000000000), static_cast<unsigned long>(18446744073709551615ul),
               42);
    HiLogPrint(LOG_APP, LOG_INFO, 0xD00F1E2, "T", "%{public}.2f %{public}s %{public}c", 2.5,
               static_cast<const char *>(nullptr), 'x');
    HiLogPrint(LOG_APP, LOG_INFO, 0xD00F1E2, "T", "%{private}d then %{public}d", 1, 2);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"label -3", "a <private> b <private> c",
                                                         "-5000000000|18446744073709551615|00042|%",
                                                         "2.50 (null) x", "<private> then 2"}));
    const auto line = capture.Lines().at(0);
    EXPECT_EQ(line.type, LOG_APP);
    EXPECT_EQ(line.level, LOG_ERROR);
    EXPECT_EQ(line.domain, 0xD00F1E2u);
    EXPECT_EQ(line.tag, "T");
}

TEST(HiLogFormat, DefaultLineForm) {
    const std::string line = mirrax::platform::FormatLogLine(
        {LOG_APP, LOG_DEBUG, 0xD00F1E2, "BraxelMirrax", "[f:(g)] hello"});
    // "MM-DD HH:MM:SS.mmm PID TID L DOMAIN/TAG: text"
    int month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0, pid = 0, tid = 0;
    char level = 0;
    char rest[64] = {};
    ASSERT_EQ(sscanf(line.c_str(), "%2d-%2d %2d:%2d:%2d.%3d %d %d %c %63[^\n]", &month, &day, &hour,
                     &minute, &second, &millis, &pid, &tid, &level, rest),
              10)
        << line;
    EXPECT_EQ(pid, static_cast<int>(getpid()));
    EXPECT_EQ(level, 'D');
    EXPECT_STREQ(rest, "D00F1E2/BraxelMirrax: [f:(g)] hello");
    EXPECT_EQ(line[2], '-');
    EXPECT_EQ(line[18], ' ');
}

}  // namespace
