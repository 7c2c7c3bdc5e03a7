// Why a streaming run did not start, or ended before a stop asked for it: a kind, set
// where the failure happens, beside the text the caller is told. onStart maps the kind
// to its gRPC status code.
#ifndef MIRRAX_CAPTURE_START_FAILURE_H
#define MIRRAX_CAPTURE_START_FAILURE_H

#include <string>

enum class StartFailureKind {
    kNone,            // the run started (and, streaming, ended when it was stopped)
    kStreamingEnded,  // refused: a client went away mid-stream (the stop signal)
    kShuttingDown,    // refused: the server is shutting down
    kStartFailed,     // a step of Setup or Run gave up; nothing is left running
    kRestartFailed,   // the restart after a screen change gave up; the stream ended
};

struct StartFailure {
    StartFailureKind kind = StartFailureKind::kNone;
    std::string text;  // empty with kNone

    explicit operator bool() const { return kind != StartFailureKind::kNone; }
};

#endif  // MIRRAX_CAPTURE_START_FAILURE_H
