#include "soak_cycles.h"

#include <stdlib.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <system_error>
#include <vector>

#include "stream_client.h"
#include "support/h264_decoder.h"

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
constexpr int kScale = 4;
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

std::string Describe(const grpc::Status &status) {
    return "code " + std::to_string(static_cast<int>(status.error_code())) + " \"" +
           status.error_message() + "\"";
}

std::string WaitForMessages(StreamCall &stream, size_t count, const std::string &which) {
    if (stream.WaitForFrames(count, kWait)) {
        return {};
    }
    const auto status = stream.WaitForEnd(0ms);
    return which + " delivered " + std::to_string(stream.FrameCount()) + " of " +
           std::to_string(count) + " messages" +
           (status ? "; its call ended with " + Describe(*status) : "");
}

// Ends the run with onEnd; the stream's call must then end OK. The answer is the
// number of buffers the run encoded, at least one and no more than the messages the
// call received since the run's own codec data at `runStart`.
std::string EndRun(const std::string &target, StreamCall &stream, size_t runStart,
                   const std::string &which) {
    const auto answered = CallEnd(target);
    if (!answered) {
        return "onEnd failed";
    }
    const auto status = stream.WaitForEnd(kWait);
    if (!status || !status->ok()) {
        return which + (status ? " ended with " + Describe(*status) : " is still open after onEnd");
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
std::string CheckMessages(const std::vector<Frame> &frames, size_t begin, size_t end, int width,
                          int height, const std::string &which) {
    const std::string part =
        which + " (messages " + std::to_string(begin) + ".." + std::to_string(end) + "): ";
    if (begin >= end || end > frames.size()) {
        return part + "no messages";
    }
    if (frames[begin].flags != kCodecData) {
        return part + "the first message has flags " + std::to_string(frames[begin].flags) +
               ", not the codec data";
    }
    std::vector<std::string> buffers;
    for (size_t i = begin; i < end; ++i) {
        if (!frames[i].allKeysPresent ||
            frames[i].len != static_cast<int64_t>(frames[i].data.size())) {
            return part + "message " + std::to_string(i) + " is malformed";
        }
        buffers.push_back(frames[i].data);
    }
    const std::string wrong = CheckPictures(DecodeBuffers(buffers), width, height, 1, false);
    return wrong.empty() ? wrong : part + wrong;
}

// The first non-empty failure of a sequence of checks.
template <typename... Checks>
std::string FirstFailure(Checks &&...checks) {
    std::string failure;
    ((failure.empty() ? (void)(failure = checks()) : (void)0), ...);
    return failure;
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
    ProcessResources resources;
    resources.threads = StatusField(status, "Threads:");
    resources.rssKb = StatusField(status, "VmRSS:");
    std::error_code ec;
    long descriptors = 0;
    for (std::filesystem::directory_iterator it(proc / "fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++descriptors;
    }
    resources.descriptors = ec ? -1 : descriptors;
    return resources;
}

std::string DescribeProcess(pid_t pid) {
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    std::map<std::string, int> byName;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(proc / "task", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string comm = ReadFile(it->path() / "comm");
        ++byName[comm.substr(0, comm.find('\n'))];
    }
    std::string text = "threads:";
    for (const auto &[name, count] : byName) {
        text += " " + std::to_string(count) + " " + name + ",";
    }
    text += "\ndescriptors:";
    for (std::filesystem::directory_iterator it(proc / "fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(it->path(), linkError);
        text += " " + it->path().filename().string() + " " +
                (linkError ? std::string("?") : target.string()) + ",";
    }
    return text;
}

SoakHost::SoakHost() {
    char dir[] = "/tmp/mirrax-soak-XXXXXX";
    if (mkdtemp(dir) != nullptr) {
        dir_ = dir;
    }
    host_ = std::make_unique<HostProcess>(
        std::vector<std::string>{"-scale", std::to_string(kScale), "-iFrameInterval", "3600000"},
        std::vector<std::string>{"--log", (dir_ / "host.log").string()});
}

SoakHost::~SoakHost() {
    host_.reset();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string SoakHost::LogTail(size_t lines) const {
    std::ifstream log(dir_ / "host.log");
    std::deque<std::string> tail;
    for (std::string line; std::getline(log, line);) {
        tail.push_back(line + "\n");
        if (tail.size() > lines) {
            tail.pop_front();
        }
    }
    std::string text;
    for (const auto &line : tail) {
        text += line;
    }
    return text;
}

SoakCycles::SoakCycles(HostProcess &host, uint32_t seed) : host_(host), random_(seed) {}

SoakCycle SoakCycles::Next() { return kSoakCycles[random_() % kSoakCycles.size()]; }

SoakCycles::Size SoakCycles::ExpectedSize() const {
    return rotated_ ? Size{kHeight, kWidth} : Size{kWidth, kHeight};
}

std::string SoakCycles::Run(SoakCycle kind) {
    switch (kind) {
        case SoakCycle::kStream:
            return PlainStream();
        case SoakCycle::kKeyFrame:
            return KeyFrame();
        case SoakCycle::kRotate:
            return Rotate();
        case SoakCycle::kTakeover:
            return Takeover();
        case SoakCycle::kFailedStart:
            return FailedStart();
        case SoakCycle::kEndWithoutRun: {
            const auto answered = CallEnd(host_.Target());
            return answered == 0 ? ""
                                 : "onEnd with no run answered " +
                                       (answered ? std::to_string(*answered) : "nothing");
        }
    }
    return "unknown cycle kind";
}

std::string SoakCycles::PlainStream() {
    const Size size = ExpectedSize();
    StreamCall stream(host_.Target());
    return FirstFailure([&] { return WaitForMessages(stream, kFewMessages, "the stream"); },
                        [&] { return EndRun(host_.Target(), stream, 0, "the stream"); },
                        [&] {
                            return CheckMessages(stream.Frames(), 0, stream.FrameCount(),
                                                 size.width, size.height, "the stream");
                        });
}

std::string SoakCycles::KeyFrame() {
    const std::string target = host_.Target();
    const Size size = ExpectedSize();
    StreamCall stream(target);
    size_t asked = 0;
    return FirstFailure(
        [&] { return WaitForMessages(stream, kFewMessages, "the stream"); },
        [&]() -> std::string {
            asked = stream.FrameCount();
            const auto answer = CallRequestIdr(target);
            return answer == 0 ? ""
                               : "onRequestIDRFrame answered " +
                                     (answer ? std::to_string(*answer) : "nothing");
        },
        [&]() -> std::string {
            // Periodic key frames are an hour apart: the one after the request is its.
            const auto key = stream.WaitForFrame(
                asked, [](const Frame &f) { return (f.flags & kSyncFrame) != 0; }, kWait);
            return key ? ""
                       : "no key frame among the " + std::to_string(stream.FrameCount() - asked) +
                             " messages after the request";
        },
        [&] { return EndRun(target, stream, 0, "the stream"); },
        [&] {
            return CheckMessages(stream.Frames(), 0, stream.FrameCount(), size.width, size.height,
                                 "the stream");
        });
}

std::string SoakCycles::Rotate() {
    const std::string target = host_.Target();
    const Size before = ExpectedSize();
    StreamCall stream(target);
    size_t asked = 0;
    size_t restart = 0;
    return FirstFailure(
        [&] { return WaitForMessages(stream, kFewMessages, "the stream"); },
        [&]() -> std::string {
            asked = stream.FrameCount();
            if (!host_.Control("rotate")) {
                return "the rotate command failed";
            }
            rotated_ = !rotated_;
            // The restarted capture's first message is its codec data.
            const auto config = stream.WaitForFrame(
                asked, [](const Frame &f) { return f.flags == kCodecData; }, kWait);
            restart = config.value_or(0);
            return config ? ""
                          : "no new codec data among the " +
                                std::to_string(stream.FrameCount() - asked) +
                                " messages after the rotation";
        },
        [&] { return WaitForMessages(stream, restart + kFewMessages, "the rotated stream"); },
        [&] { return EndRun(target, stream, restart, "the stream"); },
        [&] {
            return CheckMessages(stream.Frames(), 0, restart, before.width, before.height,
                                 "the stream before the rotation");
        },
        [&] {
            return CheckMessages(stream.Frames(), restart, stream.FrameCount(), before.height,
                                 before.width, "the stream after the rotation");
        });
}

std::string SoakCycles::Takeover() {
    const std::string target = host_.Target();
    const Size size = ExpectedSize();
    StreamCall first(target);
    std::unique_ptr<StreamCall> second;
    return FirstFailure(
        [&] { return WaitForMessages(first, kFewMessages, "the first stream"); },
        [&]() -> std::string {
            second = std::make_unique<StreamCall>(target);
            const auto status = first.WaitForEnd(kWait);
            if (!status || !status->ok()) {
                return status ? "the first stream ended with " + Describe(*status)
                              : "the first stream is still open after a second onStart";
            }
            return {};
        },
        [&] { return WaitForMessages(*second, kFewMessages, "the second stream"); },
        [&] { return EndRun(target, *second, 0, "the second stream"); },
        [&] {
            return CheckMessages(first.Frames(), 0, first.FrameCount(), size.width, size.height,
                                 "the first stream");
        },
        [&] {
            return CheckMessages(second->Frames(), 0, second->FrameCount(), size.width, size.height,
                                 "the second stream");
        });
}

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
            return "onStart with " + command + " ended with " +
                   (status ? Describe(*status) : "nothing") + " after " +
                   std::to_string(refused.FrameCount()) + " messages, expected INTERNAL naming \"" +
                   fault.cause + "\" and none";
        }
    }
    const std::string next = PlainStream();
    return next.empty() ? next : "after the failed start (" + command + "): " + next;
}

}  // namespace mirrax::test
