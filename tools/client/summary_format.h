// The final summary of a run, as a human line and as one JSON object.
#ifndef MIRRAX_TOOLS_CLIENT_SUMMARY_FORMAT_H
#define MIRRAX_TOOLS_CLIENT_SUMMARY_FORMAT_H

#include <string>

#include "stream_stats.h"

namespace mirrax::client {

// "frames: 120 (key 2), bytes: 345678, 4.02 s, 29.9 fps, 687.3 kbit/s,
//  send-to-arrival median 12 ms p99 30 ms, size 320x240"
std::string FormatSummaryLine(const Summary &summary);

// {"frames":120,"key_frames":2,...} on one line; unknown values are null.
std::string FormatSummaryJson(const Summary &summary);

// The text as a JSON string literal, quotes included.
std::string JsonString(const std::string &text);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_SUMMARY_FORMAT_H
