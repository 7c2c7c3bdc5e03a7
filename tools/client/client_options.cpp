#include "client_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "view_server.h"

namespace mirrax::client {

namespace {

// Sets `error` to the one-line reason for a bad command line; false.
bool Bad(std::string *error, std::string message) {
    *error = std::move(message);
    return false;
}

bool EndsWith(const std::string &text, const std::string &suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
    });
}

std::optional<uint64_t> ParseCount(const std::string &text) {
    uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseSeconds(const std::string &text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0.0) {
        return std::nullopt;
    }
    return value;
}

bool ValidPort(const std::string &text) {
    const auto port = ParseCount(text);
    return port && *port >= 1 && *port <= 65535;
}

// ADDRESS:PORT for the view's web server: a numeric address (IPv6 in brackets) and
// a port, 0 meaning any free one. Sets `address` to the address without brackets, and
// `listenPort`.
bool ValidListen(const std::string &text, std::string *address, uint16_t *listenPort) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    const auto port = ParseCount(text.substr(colon + 1));
    if (!port || *port > 65535) {
        return false;
    }
    *listenPort = static_cast<uint16_t>(*port);
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        *address = host.substr(1, host.size() - 2);
        return !address->empty() &&
               address->find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
    }
    *address = host;
    return host.find_first_not_of("0123456789.") == std::string::npos &&
           std::count(host.begin(), host.end(), '.') == 3;
}

// A browser's origin, http:// or https:// and a host with an optional port, in lower
// case and without a default port, as browsers send it; nothing when malformed.
std::optional<std::string> NormalizedOrigin(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
    const bool https = text.rfind("https://", 0) == 0;
    if (!https && text.rfind("http://", 0) != 0) {
        return std::nullopt;
    }
    const std::string hostPort = text.substr(https ? 8 : 7);
    const size_t portAt = hostPort.rfind(':');
    const bool hasPort =
        portAt != std::string::npos && hostPort.find(']', portAt) == std::string::npos;
    const std::string host = hasPort ? hostPort.substr(0, portAt) : hostPort;
    if (host.empty() ||
        host.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-[]:") != std::string::npos ||
        (hasPort && !ValidPort(hostPort.substr(portAt + 1)))) {
        return std::nullopt;
    }
    if (hasPort && hostPort.substr(portAt + 1) == (https ? "443" : "80")) {
        return text.substr(0, text.size() - (https ? 4 : 3));
    }
    return text;
}

// The token goes into URLs as it is: letters, digits and -._~ only.
bool ValidToken(const std::string &text) {
    return !text.empty() && text.size() <= 256 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
           });
}

// HOST:PORT, the host possibly a bracketed IPv6 address.
bool ValidServer(const std::string &text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    return ValidPort(text.substr(colon + 1));
}

// A device's name: shown on the page and in log lines, and one word of a --servers
// line, so no spaces or control characters.
bool ValidDeviceName(const std::string &text) {
    return !text.empty() && text.size() <= 64 &&
           std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return c > 0x20 && c != 0x7f; });
}

// --servers FILE: one "NAME HOST:PORT" a line; blank lines and # comments are skipped.
bool ReadServersFile(const std::string &path, std::vector<NamedServer> *devices,
                     std::string *error) {
    const std::unique_ptr<FILE, int (*)(FILE *)> file(fopen(path.c_str(), "r"), fclose);
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while (file && (got = fread(chunk, 1, sizeof chunk, file.get())) > 0 && text.size() < 1 << 20) {
        text.append(chunk, got);
    }
    if (!file || ferror(file.get())) {
        return Bad(error, "cannot read --servers " + path + ": " + strerror(errno));
    }
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string name;
        std::string server;
        std::string more;
        if (!(words >> name)) {
            continue;
        }
        if (!(words >> server) || (words >> more) || !ValidDeviceName(name) ||
            !ValidServer(server)) {
            return Bad(error, path + ":" + std::to_string(number) + ": expected NAME HOST:PORT");
        }
        devices->push_back({name, server});
    }
    if (devices->empty()) {
        return Bad(error, "no devices in --servers " + path);
    }
    return true;
}

// The grid's devices: from --servers, or --server and --name paired in order (a device
// without a name is called by its address). Names and addresses are each used once: two
// tiles of one host would take its stream from each other.
bool ViewDevices(const std::vector<std::string> &servers, const std::vector<std::string> &names,
                 const std::string &serversFile, std::vector<NamedServer> *devices,
                 std::string *error) {
    if (!serversFile.empty()) {
        if (!servers.empty() || !names.empty()) {
            return Bad(error, "--servers replaces --server, -p and --name");
        }
        if (!ReadServersFile(serversFile, devices, error)) {
            return false;
        }
    } else {
        if (names.size() > servers.size()) {
            return Bad(error, "more names (" + std::to_string(names.size()) + ") than servers (" +
                                  std::to_string(servers.size()) + ")");
        }
        for (size_t i = 0; i < servers.size(); ++i) {
            devices->push_back({i < names.size() ? names[i] : servers[i], servers[i]});
        }
    }
    if (devices->size() > kMaxViewDevices) {
        return Bad(error, "at most " + std::to_string(kMaxViewDevices) + " devices");
    }
    std::set<std::string> seenNames;
    std::set<std::string> seenServers;
    for (const NamedServer &device : *devices) {
        if (!seenServers.insert(device.server).second) {
            return Bad(error, "server " + device.server + " given twice");
        }
        if (!seenNames.insert(device.name).second) {
            return Bad(error, "device name '" + device.name + "' given twice");
        }
    }
    return true;
}

OutputKind StreamOutputKind(const std::string &path) {
    if (path == "-") {
        return OutputKind::kStdout;
    }
    if (EndsWith(path, ".h264")) {
        return OutputKind::kRawH264;
    }
    if (EndsWith(path, ".mp4")) {
        return OutputKind::kMp4;
    }
    return OutputKind::kNone;
}

std::optional<Command> CommandByName(const std::string &name) {
    static const std::map<std::string, Command> kCommands = {
        {"stream", Command::kStream},     {"idr", Command::kIdr},       {"end", Command::kEnd},
        {"snapshot", Command::kSnapshot}, {"record", Command::kRecord}, {"view", Command::kView}};
    const auto it = kCommands.find(name);
    return it == kCommands.end() ? std::nullopt : std::optional<Command>(it->second);
}

}  // namespace

bool ParseClientOptions(const std::vector<std::string> &args, ClientOptions *options,
                        std::string *error) {
    *options = ClientOptions{};
    bool sawSeconds = false;
    bool sawTimeout = false;
    bool sawFormat = false;
    bool sawListen = false;
    bool sawViewAccess = false;
    std::vector<std::string> servers;  // --server and -p, in order
    std::vector<std::string> names;
    std::string serversFile;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        // The options that take a value, from "--option=VALUE" or the next argument.
        static const std::set<std::string> kWithValue = {
            "--server",       "-p",       "--port",    "-o",       "--output",
            "--seconds",      "--frames", "--timeout", "--format", "--listen",
            "--allow-origin", "--token",  "--name",    "--servers"};
        std::string text;
        if (kWithValue.count(arg) != 0) {
            if (inlineValue) {
                text = *inlineValue;
            } else if (i + 1 < args.size()) {
                text = args[++i];
            } else {
                return Bad(error, "option " + arg + " needs a value");
            }
        }
        if (arg == "-h" || arg == "--help") {
            options->help = true;
        } else if (arg == "--server") {
            if (!ValidServer(text)) {
                return Bad(error, "bad server address '" + text + "' (expected HOST:PORT)");
            }
            servers.push_back(text);
        } else if (arg == "-p" || arg == "--port") {
            if (!ValidPort(text)) {
                return Bad(error, "bad port '" + text + "' (expected 1 to 65535)");
            }
            servers.push_back("127.0.0.1:" + text);
        } else if (arg == "--name") {
            if (!ValidDeviceName(text)) {
                return Bad(error, "bad --name '" + text +
                                      "' (expected up to 64 characters without spaces or "
                                      "control characters)");
            }
            names.push_back(text);
        } else if (arg == "--servers") {
            serversFile = text;
            if (serversFile.empty()) {
                return Bad(error, "empty --servers file name");
            }
        } else if (arg == "-o" || arg == "--output") {
            options->output = text;
            if (options->output.empty()) {
                return Bad(error, "empty output name");
            }
        } else if (arg == "--seconds") {
            options->seconds = ParseSeconds(text);
            if (!options->seconds) {
                return Bad(error, "bad --seconds '" + text + "' (expected a positive number)");
            }
            sawSeconds = true;
        } else if (arg == "--frames") {
            options->frames = ParseCount(text);
            if (!options->frames || *options->frames == 0) {
                return Bad(error, "bad --frames '" + text + "' (expected a positive whole number)");
            }
        } else if (arg == "--timeout") {
            const auto timeout = ParseSeconds(text);
            if (!timeout) {
                return Bad(error, "bad --timeout '" + text + "' (expected a positive number)");
            }
            options->timeoutSeconds = *timeout;
            sawTimeout = true;
        } else if (arg == "--format") {
            if (text == "raw") {
                options->pipeFormat = PipeFormat::kRaw;
            } else if (text == "nut") {
                options->pipeFormat = PipeFormat::kNut;
            } else if (text == "mpegts") {
                options->pipeFormat = PipeFormat::kMpegTs;
            } else {
                return Bad(error, "bad --format '" + text + "' (raw, nut or mpegts)");
            }
            sawFormat = true;
        } else if (arg == "--listen") {
            options->listen = text;
            if (!ValidListen(options->listen, &options->listenAddress, &options->listenPort)) {
                return Bad(error, "bad listen address '" + options->listen +
                                      "' (expected ADDRESS:PORT, e.g. 127.0.0.1:8080)");
            }
            sawListen = true;
        } else if (arg == "--allow-origin") {
            const auto origin = NormalizedOrigin(text);
            if (!origin) {
                return Bad(error, "bad --allow-origin '" + text +
                                      "' (expected http://HOST[:PORT] or https://HOST[:PORT])");
            }
            options->allowOrigins.push_back(*origin);
            sawViewAccess = true;
        } else if (arg == "--token") {
            options->token = text;
            if (!ValidToken(options->token)) {
                return Bad(
                    error,
                    "bad --token (expected up to 256 letters, digits, '-', '.', '_' or '~')");
            }
            sawViewAccess = true;
        } else if (arg == "--require-token") {
            options->requireToken = true;
            sawViewAccess = true;
        } else if (arg == "--json") {
            options->json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Bad(error, "unknown option " + arg);
        } else if (options->command == Command::kNone) {
            const auto command = CommandByName(arg);
            if (!command) {
                *error =
                    "unknown command '" + arg + "' (stream, snapshot, view, record, idr or end)";
                return false;
            }
            options->command = *command;
        } else {
            return Bad(error, "unexpected argument '" + arg + "'");
        }
    }
    if (options->help) {
        return true;
    }

    const Command command = options->command;
    const bool streams = command == Command::kStream || command == Command::kSnapshot;
    if (command == Command::kNone) {
        return Bad(error, "no command given (stream, snapshot, view, record, idr or end)");
    }
    if (!streams && !options->output.empty()) {
        return Bad(error, "-o is only for stream and snapshot");
    }
    if (!streams && options->json) {
        return Bad(error, "--json is only for stream and snapshot");
    }
    if (command != Command::kStream && sawFormat) {
        return Bad(error, "--format is only for stream");
    }
    if (command != Command::kStream && (sawSeconds || options->frames)) {
        return Bad(error, "--seconds and --frames are only for stream");
    }
    if (command != Command::kSnapshot && sawTimeout) {
        return Bad(error, "--timeout is only for snapshot");
    }
    if (command != Command::kView && (sawListen || sawViewAccess)) {
        return Bad(error,
                   "--listen, --allow-origin, --token and --require-token are only for view");
    }
    if (servers.size() > 1 || !names.empty() || !serversFile.empty()) {
        if (command != Command::kView) {
            return Bad(error, "several servers, --name and --servers are only for view");
        }
        if (!ViewDevices(servers, names, serversFile, &options->devices, error)) {
            return false;
        }
        options->server = options->devices.front().server;
    } else if (!servers.empty()) {
        options->server = servers.front();
    }
    if (command == Command::kView && !IsLoopbackAddress(options->listenAddress)) {
        options->requireToken = true;  // reachable from other machines: only with the token
    }
    if (command == Command::kStream) {
        if (options->output.empty()) {
            return Bad(error, "stream needs -o FILE.h264, FILE.mp4, - or a media server URL");
        }
        if (LooksLikeUrl(options->output)) {
            options->publish = ParsePublishUrl(options->output, error);
            if (!options->publish) {
                return false;
            }
            options->outputKind = OutputKind::kPublish;
        } else {
            options->outputKind = StreamOutputKind(options->output);
        }
        if (options->outputKind == OutputKind::kNone) {
            return Bad(
                error,
                "output '" + options->output +
                    "' must end in .h264 or .mp4, be -, or be an rtsp://, srt:// or rtmp:// URL");
        }
        if (sawFormat && options->outputKind != OutputKind::kStdout) {
            return Bad(error, "--format is for -o - (a file's container follows its name)");
        }
    }
    if (command == Command::kSnapshot) {
        if (options->output.empty() || !EndsWith(options->output, ".png")) {
            return Bad(error, "snapshot needs -o FILE.png");
        }
        options->outputKind = OutputKind::kPng;
    }
    return true;
}

void PrintUsage(FILE *out) {
    fputs(
        "usage: mirrax_client [--server HOST:PORT | -p PORT] COMMAND [options]\n"
        "\n"
        "commands:\n"
        "  stream -o FILE.h264|FILE.mp4|- [--format raw|nut|mpegts] [--seconds S]\n"
        "         [--frames N] [--json]\n"
        "        receive the screen as H.264: raw Annex B, MP4, or to standard output (raw,\n"
        "        or framed in NUT or MPEG-TS for players: ... --format nut | ffplay -);\n"
        "        runs until S seconds or N pictures, or until Ctrl-C\n"
        "  stream -o rtsp://HOST[:PORT]/PATH|srt://HOST:PORT|rtmp://HOST[:PORT]/APP/KEY\n"
        "        publish the stream, copied, to a media server (RTSP over TCP, MPEG-TS over\n"
        "        SRT, FLV over RTMP); reconnects with back-off when the server goes away\n"
        "  snapshot -o FILE.png [--timeout S] [--json]\n"
        "        request a key frame and save the next picture as PNG (default timeout 10 s)\n"
        "  view [--listen ADDRESS:PORT] [--token TOKEN] [--require-token]\n"
        "       [--allow-origin ORIGIN]...\n"
        "        watch the screen live in a browser: serves a page at\n"
        "        http://127.0.0.1:8080/?token=TOKEN (a random token unless --token gives\n"
        "        one); runs until Ctrl-C, and waits for the host when it goes away.\n"
        "        Only pages of the relay's own origin may open the stream, and only\n"
        "        requests naming its address (or localhost on loopback) are answered.\n"
        "        Off loopback, or with --require-token, the page, its stream and /stats\n"
        "        need the token. --allow-origin http[s]://HOST[:PORT] (repeatable) also\n"
        "        lets pages from that origin watch and answers requests naming its host\n"
        "        (a name or proxy the relay is reached by)\n"
        "  view --server HOST:PORT --server HOST:PORT... [--name NAME]... [options]\n"
        "  view --servers FILE [options]\n"
        "        watch several devices on one page: a grid of their pictures (a key frame\n"
        "        each, every few seconds), a click opens one live. Names pair with\n"
        "        --server in order (by default HOST:PORT); FILE holds one NAME HOST:PORT\n"
        "        a line (blank lines and # comments allowed)\n"
        "  record\n"
        "        start recording on a server in record mode (-m 1); 'end' finishes the file\n"
        "  idr   ask the server for a key frame\n"
        "  end   end the server's current run and print its frame count\n"
        "\n"
        "options:\n"
        "  --server HOST:PORT   server address (default 127.0.0.1:5000)\n"
        "  -p PORT              same as --server 127.0.0.1:PORT\n"
        "  --json               print the summary as one JSON object\n"
        "  -h, --help           show this help\n"
        "\n"
        "exit status: 0 success, 1 failure (server, call or output), 2 bad arguments\n",
        out);
}

}  // namespace mirrax::client
