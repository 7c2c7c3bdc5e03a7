// mirrax_client: the reference client of the mirroring server. It streams the screen
// into a file or a pipe, shows it live in browsers, takes PNG snapshots, asks for key
// frames and ends runs.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client_options.h"
#include "commands.h"
#include "signal_watcher.h"

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char **argv) {
    using namespace mirrax::client;
    const std::vector<std::string> args(argv + 1, argv + argc);
    ClientOptions options;
    std::string error;
    if (!ParseClientOptions(args, &options, &error)) {
        Say("%s (see mirrax_client --help)", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        PrintUsage(stdout);
        return kExitOk;
    }
    // FFmpeg's own notices are not for the client's user; its errors still show.
    av_log_set_level(AV_LOG_ERROR);
    switch (options.command) {
        case Command::kIdr:
            return RunIdr(options);
        case Command::kEnd:
            return RunEnd(options);
        case Command::kRecord:
            return RunRecord(options);
        case Command::kStream:
        case Command::kSnapshot:
        case Command::kView: {
            // Before the first thread (gRPC starts its own): every thread inherits the
            // mask, so only the watcher sees SIGINT/SIGTERM. A closed pipe on standard
            // output shows up as EPIPE from the write instead of killing the process.
            const sigset_t stopSignals = mirrax::tools::BlockStopSignals();
            signal(SIGPIPE, SIG_IGN);
            if (options.command == Command::kView) {
                return RunView(options, stopSignals);
            }
            return options.command == Command::kStream ? RunStream(options, stopSignals)
                                                       : RunSnapshot(options, stopSignals);
        }
        case Command::kNone:
            break;
    }
    return kExitUsage;
}
