// Command line of mirrax_host: its own "--" options, the rest for the library.
#ifndef MIRRAX_TOOLS_HOST_HOST_OPTIONS_H
#define MIRRAX_TOOLS_HOST_HOST_OPTIONS_H

#include <cstdio>
#include <string>
#include <vector>

namespace mirrax::host {

struct HostOptions {
    std::string library = "libmirrax_server.so";
    std::string logFile;        // empty: standard error
    std::string display;        // empty: the platform's default (synthetic)
    bool controlStdin = false;  // read control commands from standard input
    bool help = false;
    std::vector<std::string> libraryArgs;  // launch options, passed through unchanged
};

// Host options start with "--"; every other argument belongs to the library.
// Returns false with a one-line message for an unknown option or a missing value.
bool ParseHostOptions(int argc, char **argv, HostOptions *options, std::string *error);

// Applies the platform settings (display source). False with a message on failure.
bool ApplyPlatformOptions(const HostOptions &options, std::string *error);

void PrintUsage(FILE *out);

}  // namespace mirrax::host

#endif  // MIRRAX_TOOLS_HOST_HOST_OPTIONS_H
