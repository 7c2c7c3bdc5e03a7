// Launch options: conversion, validation, corrective log lines and the echo lines.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "rpc/rpc_server.h"
#include "support/log_capture.h"

namespace {

using Fields = std::map<std::string, std::string>;

struct Row {
    OptionPairs pairs;
    Fields changed;                                  // stored values other than the defaults
    std::vector<std::pair<int, std::string>> lines;  // corrections before "Finish parse params."
};

const Fields kDefaults = {
    {"port", "5000"},  {"mode", "0"},           {"save", "0"},    {"scale", "1"},
    {"interval", "1"}, {"bitRate", "31457280"}, {"repeat", "0"},  {"iFrame", "2000"},
    {"windows", ""},   {"appPid", "-1"},        {"screen", "-1"},
};

// One row per rule; the last keeps every value as given.
const std::vector<Row> kRows = {
    {{{"-p", "65536"}},
     {},
     {{LOG_ERROR, "invalid parma port, port range: [0, 65535]. Use default port 5000"}}},
    {{{"-p", "0"}}, {{"port", "0"}}, {}},
    {{{"-p", "abc"}}, {{"port", "0"}}, {}},
    {{{"-scale", "0"}}, {}, {{LOG_DEBUG, "param scale error, 0. Set default value 1."}}},
    {{{"-scale", "6"}},
     {{"scale", "5"}},
     {{LOG_DEBUG, "param scale too big, 6. Set max value 5."}}},
    {{{"-scale", "3"}, {"-scale", "0"}},
     {},
     {{LOG_DEBUG, "param scale error, 0. Set default value 1."}}},
    {{{"-frameRate", "24"}},
     {{"interval", "2"}},
     {{LOG_DEBUG, "param frameRate error, 24. Set default value 60."}}},
    {{{"-frameRate", "30"}}, {{"interval", "4"}}, {}},
    {{{"-bitRate", "1048575"}},
     {},
     {{LOG_DEBUG, "param bitRate error, 1048575. Set default value 31457280."}}},
    {{{"-bitRate", "5000000000"}}, {{"bitRate", "5000000000"}}, {}},
    {{{"-repeatInterval", "0"}},
     {},
     {{LOG_DEBUG, "param repeatInterval error, 0. Set default value 0."}}},
    {{{"-iFrameInterval", "-5"}},
     {},
     {{LOG_DEBUG, "param iFrameInterval error, -5. Set default value 2000."}}},
    {{{"-screenId", "-1"}}, {}, {{LOG_DEBUG, "param screen id error, -1. Set default value -1."}}},
    {{{"-m", "2"}}, {}, {}},
    {{{"-s", "yes"}}, {}, {}},
    {{{"-windowsId", "12,,34"}},
     {{"windows", "12,0,34,"}},
     {{LOG_INFO, "windowsId: 12."}, {LOG_INFO, "windowsId: ."}, {LOG_INFO, "windowsId: 34."}}},
    {{{"-windowsId", "12,"}}, {{"windows", "12,"}}, {{LOG_INFO, "windowsId: 12."}}},
    {{{"-windowsId", "1"}, {"-windowsId", "2,3"}},
     {{"windows", "1,2,3,"}},
     {{LOG_INFO, "windowsId: 1."}, {LOG_INFO, "windowsId: 2."}, {LOG_INFO, "windowsId: 3."}}},
    // Unknown and case-variant keys, and a value read as a key.
    {{{"-port", "7"}, {"-Scale", "3"}, {"6000", "-scale"}}, {}, {}},
    {{{"-p", "6000"}, {"6000", "-scale"}, {"-scale", "2"}}, {{"port", "6000"}, {"scale", "2"}}, {}},
    {{{"-p", "6000"},
      {"-m", "1"},
      {"-s", "1"},
      {"-scale", "5"},
      {"-frameRate", "15"},
      {"-bitRate", "1048576"},
      {"-iFrameInterval", "0"},
      {"-screenId", "3"},
      {"-appPid", "-42"},
      {"-repeatInterval", "16"}},
     {{"port", "6000"},
      {"mode", "1"},
      {"save", "1"},
      {"scale", "5"},
      {"interval", "8"},
      {"bitRate", "1048576"},
      {"iFrame", "0"},
      {"screen", "3"},
      {"appPid", "-42"},
      {"repeat", "16"}},
     {}},
};

// The message after the "[rpc_server:(parse_params)] " label.
std::string Message(const mirrax::platform::LogLine &line) {
    const std::string label = "[rpc_server:(parse_params)] ";
    EXPECT_EQ(line.text.rfind(label, 0), 0u) << line.text;
    return line.text.substr(label.size());
}

// What the server stored; the port only shows in its echo line ("port N.").
Fields Stored(RpcServer &server, const std::string &portEcho) {
    std::string windows;
    for (uint64_t id : server.GetSkipPrivacyWindowsId()) {
        windows += std::to_string(id) + ",";
    }
    return {{"port", portEcho.substr(5, portEcho.size() - 6)},
            {"mode", std::to_string(server.GetMode())},
            {"save", std::to_string(server.GetSaveFrameStatus())},
            {"scale", std::to_string(server.GetScale())},
            {"interval", std::to_string(server.GetFrameRefreshInterval())},
            {"bitRate", std::to_string(server.GetFrameBitRate())},
            {"repeat", std::to_string(server.GetRepeatInterval())},
            {"iFrame", std::to_string(server.GetiFrameInterval())},
            {"windows", windows},
            {"appPid", std::to_string(server.GetSkipAppPid())},
            {"screen", std::to_string(server.GetScreenId())}};
}

TEST(LaunchOptions, StoresCorrectedValuesAndLogsEachCorrection) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(::testing::PrintToString(row.pairs));
        mirrax::test::LogCapture capture;
        RpcServer server;
        server.parse_params(row.pairs);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), row.lines.size() + 11);
        for (size_t i = 0; i < row.lines.size(); ++i) {
            EXPECT_EQ(lines[i].level, row.lines[i].first) << i;
            EXPECT_EQ(Message(lines[i]), row.lines[i].second);
        }
        Fields expected = kDefaults;
        for (const auto &[name, value] : row.changed) {
            expected[name] = value;
        }
        EXPECT_EQ(Stored(server, Message(lines[row.lines.size() + 1])), expected);
    }
}

TEST(LaunchOptions, EchoesEveryStoredValue) {
    mirrax::test::LogCapture capture;
    RpcServer server;
    server.parse_params(kRows.back().pairs);
    const std::vector<std::string> echo = {
        "Finish parse params.",    "port 6000.",           "mode: 1.",
        "saveFrame:  1.",          "scale:  5.",           "frameRefreshInterval:  8.",
        "frameBitRate:  1048576.", "iFrameInterval:  0.",  "screenId:  3.",
        "appPid:  -42.",           "repeatInterval:  16.",
    };
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), echo.size());
    for (size_t i = 0; i < echo.size(); ++i) {
        EXPECT_EQ(lines[i].level, LOG_INFO);
        EXPECT_EQ(Message(lines[i]), echo[i]);
        EXPECT_EQ(lines[i].domain, 0xD00F1E2u);
        EXPECT_EQ(lines[i].tag, "BraxelMirrax");
        EXPECT_EQ(lines[i].type, LOG_APP);
    }
}

}  // namespace
