// Launch options: conversion, validation, corrective log lines and the echo lines.
#include <gtest/gtest.h>

#include <array>
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

// The echo lines after "Finish parse params." in their order: each value's name, its
// label in the line and its default. The skipped windows are echoed as they are parsed.
const std::vector<std::array<std::string, 3>> kEcho = {
    {"port", "port ", "5000"},
    {"mode", "mode: ", "0"},
    {"save", "saveFrame:  ", "0"},
    {"scale", "scale:  ", "1"},
    {"interval", "frameRefreshInterval:  ", "1"},
    {"bitRate", "frameBitRate:  ", "31457280"},
    {"iFrame", "iFrameInterval:  ", "2000"},
    {"screen", "screenId:  ", "-1"},
    {"appPid", "appPid:  ", "-1"},
    {"repeat", "repeatInterval:  ", "0"},
};

// One row per rule; the last keeps every value as given.
const std::vector<Row> kRows = {
    {{{"-p", "65536"}},
     {},
     {{LOG_ERROR, "invalid parma port, port range: [0, 65535]. Use default port 5000"}}},
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
    {{{"-m", "2"}, {"-s", "yes"}}, {}, {}},
    {{{"-windowsId", "12,,34"}},
     {{"windows", "12,0,34,"}},
     {{LOG_INFO, "windowsId: 12."}, {LOG_INFO, "windowsId: ."}, {LOG_INFO, "windowsId: 34."}}},
    {{{"-windowsId", "12,"}}, {{"windows", "12,"}}, {{LOG_INFO, "windowsId: 12."}}},
    {{{"-windowsId", "1"}, {"-windowsId", "2,3"}},
     {{"windows", "1,2,3,"}},
     {{LOG_INFO, "windowsId: 1."}, {LOG_INFO, "windowsId: 2."}, {LOG_INFO, "windowsId: 3."}}},
    // Unknown and case-variant keys, and a value read as a key.
    {{{"-port", "7"}, {"-Scale", "3"}, {"6000", "-scale"}}, {}, {}},
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

// Each row's corrections, then the echo of every stored value, all at the library's
// domain and tag; the windows to skip as the capture reads them.
TEST(LaunchOptions, StoresCorrectedValuesAndLogsEachCorrectionAndTheEcho) {
    const std::string label = "[rpc_server:(parse_params)] ";
    for (const Row &row : kRows) {
        SCOPED_TRACE(::testing::PrintToString(row.pairs));
        mirrax::test::LogCapture capture;
        RpcServer server;
        server.parse_params(row.pairs);
        std::vector<std::pair<int, std::string>> expected = row.lines;
        expected.emplace_back(LOG_INFO, "Finish parse params.");
        for (const auto &[name, echo, byDefault] : kEcho) {
            const auto changed = row.changed.find(name);
            expected.emplace_back(
                LOG_INFO,
                echo + (changed == row.changed.end() ? byDefault : changed->second) + ".");
        }
        std::vector<std::pair<int, std::string>> logged;
        for (const auto &line : capture.Lines()) {
            logged.emplace_back(line.level, line.text.substr(0, label.size()) == label
                                                ? line.text.substr(label.size())
                                                : line.text);
            EXPECT_EQ(line.domain, 0xD00F1E2u);
            EXPECT_EQ(line.tag, "BraxelMirrax");
            EXPECT_EQ(line.type, LOG_APP);
        }
        EXPECT_EQ(logged, expected);
        std::string windows;
        for (uint64_t id : server.GetSkipPrivacyWindowsId()) {
            windows += std::to_string(id) + ",";
        }
        EXPECT_EQ(windows, row.changed.count("windows") ? row.changed.at("windows") : "");
    }
}

}  // namespace
