#include "soak_cycles.h"

#include <stdlib.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <system_error>
#include <vector>

#include "stream_client.h"
#include "support/h264_decoder.h"

// Returns the failure of `check` from the calling cycle, if there is one.
#define RETURN_FAILURE(check)                                  \
    do {                                                       \
        if (std::string failure = (check); !failure.empty()) { \
            return failure;                                    \
        }                                                      \
    } while (0)

namespace mirrax::test {

namespace {

using namespace std::chrono_literals;

constexpr int64_t kCodecData = 8;
constexpr int64_t kSyncFrame = 2;
// The codec data and three pictures: enough to decode, few enough to keep cycles short.
constexpr size_t kFewMessages = 4;
// Generous bounds for a loaded machine; a healthy cycle takes a fraction of a second.
constexpr auto kWait = 10s;
// The synthetic 1080x2340 screen at scale 4 (heights are rounded up to even).
constexpr int kWidth = 270;
constexpr int kHeight = 586;

// Platform calls of the start path, each failing it with the cause named in the status.
struct StartFault {
    const char *call;
    int code;
    const char *cause;
};
constexpr StartFault kStartFaults[] = {
    {"OH_VideoEncoder_Configure", 3, "Failed to configure encoder!"},
    {"OH_VideoEncoder_Prepare", 3, "Failed to prepare encoder!"},
    {"ScreenManager::MakeMirror", 130, "create virtual screen failed."},
};

std::string Describe(const std::optional<grpc::Status> &status) {
    return status ? "code " + std::to_string(static_cast<int>(status->error_code())) + " \"" +
                        status->error_message() + "\""
                  : "nothing";
}

std::string WaitForMessages(StreamCall &stream, size_t count, const std::string &which) {
    if (stream.WaitForFrames(count, kWait)) {
        return {};
    }
    return which + " delivered " + std::to_string(stream.FrameCount()) + " of " +
           std::to_string(count) + " messages; its call ended with " +
           Describe(stream.WaitForEnd(0ms));
}

// Ends the run with onEnd; the stream's call must then end OK. The answer is the
// number of buffers the run encoded, at least one and no more than the messages the
// call received since the run's own codec data at `runStart`.
std::string EndRun(const std::string &target, StreamCall &stream, size_t runStart,
                   const std::string &which) {
    const auto answered = CallEnd(target);
    const auto status = stream.WaitForEnd(kWait);
    if (!answered || !status || !status->ok()) {
        return "onEnd answered " + std::to_string(answered.value_or(-1)) + ", " + which +
               " ended with " + Describe(status);
    }
    const size_t received = stream.FrameCount() - runStart;
    if (*answered < 1 || static_cast<size_t>(*answered) > received) {
        return "onEnd answered " + std::to_string(*answered) + " for a run that sent " +
               std::to_string(received) + " messages";
    }
    return {};
}

// Messages [begin, end) of a stream: well formed, the first the codec data, and
// pictures that decode without errors at the expected size.
std::string CheckMessages(const StreamCall &stream, size_t begin, size_t end, int width, int height,
                          const std::string &which) {
    const auto frames = stream.Frames();
    const std::string part =
        which + " (messages " + std::to_string(begin) + ".." + std::to_string(end) + "): ";
    if (begin >= end || frames[begin].flags != kCodecData) {
        return part + "the first is not the codec data";
    }
    for (size_t i = begin; i < end; ++i) {
        if (!frames[i].wellFormed) {
            return part + "message " + std::to_string(i) + " is malformed";
        }
    }
    const std::string wrong =
        CheckPictures(DecodeBuffers(stream.Buffers(begin, end)), width, height, 1, false);
    return wrong.empty() ? wrong : part + wrong;
}

long StatusField(const std::string &text, const std::string &key) {
    const size_t at = text.find("\n" + key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size() + 1);
}

}  // namespace

const char *SoakCycleName(SoakCycle kind) {
    constexpr const char *kNames[] = {"stream",   "key-frame",    "rotate",
                                      "takeover", "failed-start", "end-without-run"};
    return kNames[static_cast<size_t>(kind)];
}

ProcessResources ReadProcessResources(pid_t pid) {
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    // Each key starts a line; the name line comes first, so every key follows a '\n'.
    const std::string status = ReadFile(proc / "status");
    ProcessResources resources{StatusField(status, "Threads:"), 0, StatusField(status, "VmRSS:")};
    std::error_code ec;
    for (std::filesystem::directory_iterator it(proc / "fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++resources.descriptors;
    }
    resources.descriptors = ec ? -1 : resources.descriptors;
    return resources;
}

SoakHost::SoakHost() {
    char dir[] = "/tmp/mirrax-soak-XXXXXX";
    if (mkdtemp(dir) != nullptr) {
        dir_ = dir;
    }
    host_ = std::make_unique<HostProcess>(
        std::vector<std::string>{"-scale", "4", "-iFrameInterval", "3600000"},
        std::vector<std::string>{"--log", (dir_ / "host.log").string()});
}

SoakHost::~SoakHost() {
    host_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string SoakHost::LogTail(size_t lines) const {
    std::ifstream log(dir_ / "host.log");
    std::deque<std::string> tail;
    for (std::string line; std::getline(log, line); tail.push_back(line + "\n")) {
        if (tail.size() == lines) {
            tail.pop_front();
        }
    }
    std::string text;
    for (const auto &line : tail) {
        text += line;
    }
    return text;
}

std::string SoakCycles::Run(SoakCycle kind) {
    switch (kind) {
        case SoakCycle::kTakeover:
            return Takeover();
        case SoakCycle::kFailedStart:
            return FailedStart();
        case SoakCycle::kEndWithoutRun: {
            const auto answered = CallEnd(host_.Target());
            return answered == 0
                       ? ""
                       : "onEnd with no run answered " + std::to_string(answered.value_or(-1));
        }
        default:
            return Stream(kind);
    }
}

// A stream ended with onEnd; during it a key-frame request, answered with a key frame
// (periodic ones are an hour apart), or a rotation, after which the capture restarts
// with its own codec data at the swapped size.
std::string SoakCycles::Stream(SoakCycle kind) {
    const std::string target = host_.Target();
    const int width = rotated_ ? kHeight : kWidth;
    const int height = rotated_ ? kWidth : kHeight;
    StreamCall stream(target);
    RETURN_FAILURE(WaitForMessages(stream, kFewMessages, "the stream"));
    const size_t asked = stream.FrameCount();
    size_t restart = 0;
    if (kind == SoakCycle::kKeyFrame) {
        const auto answer = CallRequestIdr(target);
        if (answer != 0 ||
            !stream.WaitForFrame(
                asked, [](const Frame &f) { return (f.flags & kSyncFrame) != 0; }, kWait)) {
            return "onRequestIDRFrame answered " + std::to_string(answer.value_or(-1)) +
                   "; no key frame among the " + std::to_string(stream.FrameCount() - asked) +
                   " messages after it";
        }
    } else if (kind == SoakCycle::kRotate) {
        if (!host_.Control("rotate")) {
            return "the rotate command failed";
        }
        rotated_ = !rotated_;
        const auto config = stream.WaitForFrame(
            asked, [](const Frame &f) { return f.flags == kCodecData; }, kWait);
        if (!config) {
            return "no new codec data among the " + std::to_string(stream.FrameCount() - asked) +
                   " messages after the rotation";
        }
        restart = *config;
        RETURN_FAILURE(WaitForMessages(stream, restart + kFewMessages, "the rotated stream"));
        RETURN_FAILURE(CheckMessages(stream, 0, restart, width, height, "before the rotation"));
    }
    RETURN_FAILURE(EndRun(target, stream, restart, "the stream"));
    return restart == 0 ? CheckMessages(stream, 0, stream.FrameCount(), width, height, "the stream")
                        : CheckMessages(stream, restart, stream.FrameCount(), height, width,
                                        "after the rotation");
}

// A second onStart while one streams ends the first call OK; the second starts with
// its own codec data.
std::string SoakCycles::Takeover() {
    const std::string target = host_.Target();
    const int width = rotated_ ? kHeight : kWidth;
    const int height = rotated_ ? kWidth : kHeight;
    StreamCall first(target);
    RETURN_FAILURE(WaitForMessages(first, kFewMessages, "the first stream"));
    StreamCall second(target);
    const auto status = first.WaitForEnd(kWait);
    if (!status || !status->ok()) {
        return "the first stream ended with " + Describe(status) + " after a second onStart";
    }
    RETURN_FAILURE(WaitForMessages(second, kFewMessages, "the second stream"));
    RETURN_FAILURE(EndRun(target, second, 0, "the second stream"));
    RETURN_FAILURE(CheckMessages(first, 0, first.FrameCount(), width, height, "the first stream"));
    return CheckMessages(second, 0, second.FrameCount(), width, height, "the second stream");
}

// A start that fails on an injected fault ends at once with INTERNAL naming its cause
// and no message; a normal stream follows.
std::string SoakCycles::FailedStart() {
    const StartFault &fault = kStartFaults[random_() % std::size(kStartFaults)];
    const std::string command =
        std::string("fault ") + fault.call + " " + std::to_string(fault.code);
    if (!host_.Control(command)) {
        return "the command \"" + command + "\" failed";
    }
    {
        StreamCall refused(host_.Target());
        const auto status = refused.WaitForEnd(5s);
        if (!status || status->error_code() != grpc::StatusCode::INTERNAL ||
            status->error_message().find(fault.cause) == std::string::npos ||
            refused.FrameCount() != 0) {
            return "onStart with " + command + " ended with " + Describe(status) + " after " +
                   std::to_string(refused.FrameCount()) + " messages";
        }
    }
    const std::string next = Stream(SoakCycle::kStream);
    return next.empty() ? next : "after the failed start (" + command + "): " + next;
}

}  // namespace mirrax::test
