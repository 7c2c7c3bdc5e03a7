// Launch options: conversion, validation, corrective log lines and the echo lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rpc/rpc_server.h"
#include "support/log_capture.h"

namespace {

struct Expected {
    int32_t port = 5000;
    int32_t mode = 0;
    bool saveFrame = false;
    int32_t scale = 1;
    int32_t refreshInterval = 1;
    int64_t bitRate = 31457280;
    int32_t repeatInterval = 0;
    int32_t iFrameInterval = 2000;
    std::vector<uint64_t> windowIds;
    int32_t appPid = -1;
    int64_t screenId = -1;
};

struct LogExpectation {
    int level;
    std::string text;  // the whole message after the location label
};

struct OptionCase {
    std::string name;
    OptionPairs pairs;
    Expected expected;
    std::vector<LogExpectation> lines;  // lines expected before "Finish parse params."
};

void PrintTo(const OptionCase &c, std::ostream *os) { *os << c.name; }

Expected With(void (*edit)(Expected &)) {
    Expected e;
    edit(e);
    return e;
}

// One row per rule. Values kept as given are in EchoesEveryStoredValue.
const std::vector<OptionCase> &Cases() {
    static const std::vector<OptionCase> cases = {
        {"NoPairs", {}, {}, {}},
        {"PortTooBig",
         {{"-p", "65536"}},
         {},
         {{LOG_ERROR, "invalid parma port, port range: [0, 65535]. Use default port 5000"}}},
        {"PortZero", {{"-p", "0"}}, With([](Expected &e) { e.port = 0; }), {}},
        {"PortWithoutDigits", {{"-p", "abc"}}, With([](Expected &e) { e.port = 0; }), {}},
        {"ScaleZero",
         {{"-scale", "0"}},
         {},
         {{LOG_DEBUG, "param scale error, 0. Set default value 1."}}},
        {"ScaleTooBig",
         {{"-scale", "6"}},
         With([](Expected &e) { e.scale = 5; }),
         {{LOG_DEBUG, "param scale too big, 6. Set max value 5."}}},
        {"ScaleLaterPairWins",
         {{"-scale", "3"}, {"-scale", "9"}},
         With([](Expected &e) { e.scale = 5; }),
         {{LOG_DEBUG, "param scale too big, 9. Set max value 5."}}},
        {"InvalidLaterValueGivesDefault",
         {{"-scale", "3"}, {"-scale", "0"}},
         {},
         {{LOG_DEBUG, "param scale error, 0. Set default value 1."}}},
        {"FrameRateInvalid",
         {{"-frameRate", "24"}},
         With([](Expected &e) { e.refreshInterval = 2; }),
         {{LOG_DEBUG, "param frameRate error, 24. Set default value 60."}}},
        {"FrameRate30",
         {{"-frameRate", "30"}},
         With([](Expected &e) { e.refreshInterval = 4; }),
         {}},
        {"BitRateBelowMinimum",
         {{"-bitRate", "1048575"}},
         {},
         {{LOG_DEBUG, "param bitRate error, 1048575. Set default value 31457280."}}},
        {"BitRateBeyondInt32",
         {{"-bitRate", "5000000000"}},
         With([](Expected &e) { e.bitRate = 5000000000; }),
         {}},
        {"RepeatZero",
         {{"-repeatInterval", "0"}},
         {},
         {{LOG_DEBUG, "param repeatInterval error, 0. Set default value 0."}}},
        {"IFrameNegative",
         {{"-iFrameInterval", "-5"}},
         {},
         {{LOG_DEBUG, "param iFrameInterval error, -5. Set default value 2000."}}},
        {"ScreenIdMinusOne",
         {{"-screenId", "-1"}},
         {},
         {{LOG_DEBUG, "param screen id error, -1. Set default value -1."}}},
        {"ModeTwoIsStream", {{"-m", "2"}}, {}, {}},
        {"SaveWithoutDigits", {{"-s", "yes"}}, {}, {}},
        {"WindowsEmptyMiddlePiece",
         {{"-windowsId", "12,,34"}},
         With([](Expected &e) {
             e.windowIds = {12, 0, 34};
         }),
         {{LOG_INFO, "windowsId: 12."}, {LOG_INFO, "windowsId: ."}, {LOG_INFO, "windowsId: 34."}}},
        {"WindowsTrailingComma",
         {{"-windowsId", "12,"}},
         With([](Expected &e) { e.windowIds = {12}; }),
         {{LOG_INFO, "windowsId: 12."}}},
        {"WindowsAccumulate",
         {{"-windowsId", "1"}, {"-windowsId", "2,3"}},
         With([](Expected &e) {
             e.windowIds = {1, 2, 3};
         }),
         {{LOG_INFO, "windowsId: 1."}, {LOG_INFO, "windowsId: 2."}, {LOG_INFO, "windowsId: 3."}}},
        {"UnknownAndCaseSensitiveKeysIgnored",
         {{"-port", "7"}, {"-Scale", "3"}, {"6000", "-scale"}},
         {},
         {}},
        {"OverlappingPairs",
         {{"-p", "6000"}, {"6000", "-scale"}, {"-scale", "2"}},
         With([](Expected &e) {
             e.port = 6000;
             e.scale = 2;
         }),
         {}},
        // Every value kept as given (and the echo lines checked in full below).
        {"EchoesEveryStoredValue",
         {{"-p", "6000"},
          {"-m", "1"},
          {"-s", "1"},
          {"-scale", "5"},
          {"-frameRate", "15"},
          {"-bitRate", "1048576"},
          {"-iFrameInterval", "0"},
          {"-screenId", "3"},
          {"-appPid", "-42"},
          {"-repeatInterval", "16"}},
         With([](Expected &e) { e = {6000, 1, true, 5, 8, 1048576, 16, 0, {}, -42, 3}; }),
         {}},
    };
    return cases;
}

class LaunchOptionsTest : public ::testing::TestWithParam<OptionCase> {};

// The message after the "[rpc_server:(parse_params)] " label.
std::string Message(const mirrax::platform::LogLine &line) {
    const std::string label = "[rpc_server:(parse_params)] ";
    EXPECT_EQ(line.text.rfind(label, 0), 0u) << line.text;
    return line.text.substr(label.size());
}

TEST_P(LaunchOptionsTest, StoresCorrectedValuesAndLogs) {
    const OptionCase &c = GetParam();
    mirrax::test::LogCapture capture;
    RpcServer server;
    server.parse_params(c.pairs);

    const Expected &e = c.expected;
    EXPECT_EQ(server.GetMode(), e.mode);
    EXPECT_EQ(server.GetSaveFrameStatus(), e.saveFrame);
    EXPECT_EQ(server.GetScale(), e.scale);
    EXPECT_EQ(server.GetFrameRefreshInterval(), e.refreshInterval);
    EXPECT_EQ(server.GetFrameBitRate(), e.bitRate);
    EXPECT_EQ(server.GetRepeatInterval(), e.repeatInterval);
    EXPECT_EQ(server.GetiFrameInterval(), e.iFrameInterval);
    EXPECT_EQ(server.GetSkipPrivacyWindowsId(), e.windowIds);
    EXPECT_EQ(server.GetSkipAppPid(), e.appPid);
    EXPECT_EQ(server.GetScreenId(), e.screenId);

    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), c.lines.size() + 11);
    for (size_t i = 0; i < c.lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, c.lines[i].level) << i;
        EXPECT_EQ(Message(lines[i]), c.lines[i].text);
    }
    // The port is only seen in its echo line.
    EXPECT_EQ(Message(lines[c.lines.size() + 1]), "port " + std::to_string(e.port) + ".");
    if (c.name != "EchoesEveryStoredValue") {
        return;
    }
    const std::vector<std::string> echo = {
        "Finish parse params.",    "port 6000.",           "mode: 1.",
        "saveFrame:  1.",          "scale:  5.",           "frameRefreshInterval:  8.",
        "frameBitRate:  1048576.", "iFrameInterval:  0.",  "screenId:  3.",
        "appPid:  -42.",           "repeatInterval:  16.",
    };
    for (size_t i = 0; i < echo.size(); ++i) {
        const auto &line = lines[i];
        EXPECT_EQ(line.level, LOG_INFO);
        EXPECT_EQ(Message(line), echo[i]);
        EXPECT_EQ(line.domain, 0xD00F1E2u);
        EXPECT_EQ(line.tag, "BraxelMirrax");
        EXPECT_EQ(line.type, LOG_APP);
    }
}

INSTANTIATE_TEST_SUITE_P(Options, LaunchOptionsTest, ::testing::ValuesIn(Cases()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
