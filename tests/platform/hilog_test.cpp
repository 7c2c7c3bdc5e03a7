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

    // "MM-DD HH:MM:SS.mmm PID TID L DOMAIN/TAG: text"
    const std::string form =
        mirrax::platform::FormatLogLine({LOG_APP, LOG_DEBUG, 0xD00F1E2, "Tag", "[f:(g)] hi"});
    int pid = 0;
    char rest[64] = {};
    ASSERT_EQ(sscanf(form.c_str(), "%*2d-%*2d %*2d:%*2d:%*2d.%*3d %d %*d %63[^\n]", &pid, rest), 2)
        << form;
    EXPECT_EQ(pid, static_cast<int>(getpid()));
    EXPECT_STREQ(rest, "D D00F1E2/Tag: [f:(g)] hi");
}

}  // namespace
