// The location label layout and the library's log front end.
#include <gtest/gtest.h>

#include "common/mirrax_log.h"
#include "support/log_capture.h"

namespace {

TEST(TagChars, HoldsLabelPaddedWithLengthInLastByte) {
    constexpr mirrax::TagChars tag = mirrax::MakeTagChars("native_screen_encoder", "Setup");
    const std::string text = "[native_screen_encoder:(Setup)]";
    static_assert(sizeof(tag) == 64);
    EXPECT_EQ(std::string(tag.data()), text);
    EXPECT_EQ(static_cast<size_t>(tag[63]), text.size());
    EXPECT_EQ(mirrax::TagLength(tag), text.size());
    EXPECT_EQ(std::string(tag.data() + text.size(), 63 - text.size()),
              std::string(63 - text.size(), '\0'));
}

void LoggingFunction(int value) {
    MIRRAX_LOG_LABEL("rpc_server");
    MIRRAX_LOGD("%{public}s value %{public}d", value);
    MIRRAX_LOGI("%{public}s value %{public}d", value);
    MIRRAX_LOGE("%{public}s value %{public}d", value);
}

TEST(LogMacros, PrefixLabelOfTheCallingFunctionAtEachLevel) {
    mirrax::test::LogCapture capture;
    LoggingFunction(7);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    const int levels[] = {LOG_DEBUG, LOG_INFO, LOG_ERROR};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].text, "[rpc_server:(LoggingFunction)] value 7");
        EXPECT_EQ(lines[i].level, levels[i]);
        EXPECT_EQ(lines[i].type, LOG_APP);
        EXPECT_EQ(lines[i].domain, 0xD00F1E2u);
        EXPECT_EQ(lines[i].tag, "BraxelMirrax");
    }
}

}  // namespace
