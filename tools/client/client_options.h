// Command line of mirrax_client: the server address, one command and its options.
#ifndef MIRRAX_TOOLS_CLIENT_CLIENT_OPTIONS_H
#define MIRRAX_TOOLS_CLIENT_CLIENT_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "publish_url.h"

namespace mirrax::client {

enum class Command { kNone, kStream, kIdr, kEnd, kSnapshot, kRecord, kView };

// What `stream -o` writes, chosen by the output name.
enum class OutputKind { kNone, kRawH264, kMp4, kStdout, kPng, kPublish };

// One device of the view's grid: its name on the page and its host's address.
struct NamedServer {
    std::string name;
    std::string server;  // HOST:PORT

    bool operator==(const NamedServer &) const = default;
};

inline constexpr size_t kMaxViewDevices = 1000;

// The container `stream -o -` writes to standard output: raw H.264 (the default), or a
// framed one that a player reads without parsing delay.
enum class PipeFormat { kRaw, kNut, kMpegTs };

struct ClientOptions {
    std::string server = "127.0.0.1:5000";
    Command command = Command::kNone;
    std::string output;
    OutputKind outputKind = OutputKind::kNone;
    PipeFormat pipeFormat = PipeFormat::kRaw;
    std::optional<PublishUrl> publish;        // stream -o URL: the media server
    std::optional<double> seconds;            // stream: end the run after this long
    std::optional<uint64_t> frames;           // stream: end the run after this many pictures
    double timeoutSeconds = 10.0;             // snapshot: give up without a picture after this long
    std::string listen = "127.0.0.1:8080";    // view: the web server's address, as given
    std::string listenAddress = "127.0.0.1";  // its address, IPv6 without brackets
    uint16_t listenPort = 8080;
    // view: the devices of the grid page (several --server, --name or --servers); empty
    // for one host and its single page.
    std::vector<NamedServer> devices;
    std::vector<std::string> allowOrigins;  // view: lower case scheme://host[:port]
    std::string token;                      // view: empty: the relay makes one
    bool requireToken = false;              // view: on with --require-token or off loopback
    bool json = false;
    bool help = false;
};

// Parses the arguments after the program name. Returns false with a one-line
// message for anything malformed or not meaningful for the command.
bool ParseClientOptions(const std::vector<std::string> &args, ClientOptions *options,
                        std::string *error);

void PrintUsage(FILE *out);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_CLIENT_OPTIONS_H
