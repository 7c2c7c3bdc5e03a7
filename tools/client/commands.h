// The client's commands; each returns the process exit status.
#ifndef MIRRAX_TOOLS_CLIENT_COMMANDS_H
#define MIRRAX_TOOLS_CLIENT_COMMANDS_H

#include <signal.h>

#include <string>

#include "client_log.h"
#include "client_options.h"
#include "stream_stats.h"

namespace mirrax::client {

// The summary as one line, or as JSON, on `out`.
void PrintSummary(FILE *out, const Summary &summary, bool json);

int RunIdr(const ClientOptions &options);
int RunEnd(const ClientOptions &options);
// Starts a recording: a server in record mode answers onStart at once with no frame.
int RunRecord(const ClientOptions &options);
// `stopSignals` were blocked before any thread started; the command watches them.
int RunStream(const ClientOptions &options, sigset_t stopSignals);
int RunSnapshot(const ClientOptions &options, sigset_t stopSignals);
// Serves the live view until SIGINT/SIGTERM.
int RunView(const ClientOptions &options, sigset_t stopSignals);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_COMMANDS_H
