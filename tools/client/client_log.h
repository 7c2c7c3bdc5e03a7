// The lines the client prints for people on standard error, each starting with
// "mirrax_client: ", and its exit statuses.
#ifndef MIRRAX_TOOLS_CLIENT_CLIENT_LOG_H
#define MIRRAX_TOOLS_CLIENT_CLIENT_LOG_H

#include <string>

namespace mirrax::client {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// "mirrax_client: TEXT", one line from any thread. On a terminal it starts on a clean
// line, over the progress line that is rewritten in place there.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "mirrax_client: warning: TEXT".
void Warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "mirrax_client: error: MESSAGE"; returns kExitFailure.
int Fail(const std::string &message);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_CLIENT_LOG_H
