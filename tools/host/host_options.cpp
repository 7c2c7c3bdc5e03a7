#include "host_options.h"

#include <string_view>

#include "mirrax_platform/display_config.h"

namespace mirrax::host {

bool ParseHostOptions(int argc, char **argv, HostOptions *options, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            options->libraryArgs.emplace_back(arg);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            continue;
        }
        if (arg == "--control") {
            if (i + 1 >= argc || std::string_view(argv[i + 1]) != "stdin") {
                *error = "option --control takes the value stdin";
                return false;
            }
            options->controlStdin = true;
            ++i;
            continue;
        }
        std::string *target = nullptr;
        if (arg == "--library") {
            target = &options->library;
        } else if (arg == "--log") {
            target = &options->logFile;
        } else if (arg == "--display") {
            target = &options->display;
        } else {
            *error = "unknown option " + std::string(arg);
            return false;
        }
        if (i + 1 >= argc) {
            *error = "option " + std::string(arg) + " needs a value";
            return false;
        }
        *target = argv[++i];
    }
    return true;
}

bool ApplyPlatformOptions(const HostOptions &options, std::string *error) {
    if (!options.display.empty() && !platform::ConfigureDisplay(options.display, error)) {
        *error = "--display " + options.display + ": " + *error;
        return false;
    }
    return true;
}

void PrintUsage(FILE *out) {
    fputs(
        "usage: mirrax_host [--display SOURCE] [--log FILE] [--library PATH] [LAUNCH OPTIONS]\n"
        "  --display SOURCE  synthetic[:WxH[@FPS]] (default) or x11[:NAME]\n"
        "  --log FILE        append log lines to FILE instead of standard error\n"
        "  --library PATH    the extension library (default libmirrax_server.so); only the\n"
        "                    libmirrax_server.so this host is linked with is accepted\n"
        "  --control stdin   read commands from standard input: still on|off, rotate,\n"
        "                    resize W H, fault CALL CODE [N], clear-faults\n"
        "launch options go to the library unchanged, for example: -p 5000 -scale 3\n"
        "SIGINT or SIGTERM shuts the server down.\n",
        out);
}

}  // namespace mirrax::host
