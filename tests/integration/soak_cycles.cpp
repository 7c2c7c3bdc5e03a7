#include "soak_cycles.h"

#include <stdlib.h>

#include "stream_client.h"
#include "support/h264_decoder.h"

namespace mirrax::test {

namespace {

using namespace std::chrono_literals;

// The codec data and three pictures: enough to decode, few enough to keep cycles short.
constexpr size_t kFewMessages = 4;
// Generous for a loaded machine; a healthy cycle takes a fraction of a second.
constexpr auto kWait = 10s;

// Messages [from, to) start with the codec data and decode without errors at the size.
bool Decodes(const StreamCall &stream, size_t from, size_t to, int width, int height) {
    return from < to && stream.Frames()[from].flags == kCodecData &&
           CheckPictures(DecodeBuffers(stream.Buffers(from, to)), width, height, 1, false).empty();
}

long StatusField(const std::string &text, const std::string &key) {
    const size_t at = text.find("\n" + key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size() + 1);
}

}  // namespace

const char *SoakCycleName(SoakCycle kind) {
    constexpr const char *kNames[] = {"stream", "key-frame", "rotate", "takeover", "failed-start"};
    return kNames[static_cast<size_t>(kind)];
}

ProcessResources ReadProcessResources(pid_t pid) {
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    // Each key starts a line after the name line, so every key follows a '\n'.
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

std::string SoakCycles::Run(SoakCycle kind) {
    const std::string target = host_.Target();
    // The synthetic 1080x2340 screen at scale 4 (heights rounded up to even).
    const int width = rotated_ ? 586 : 270;
    const int height = rotated_ ? 270 : 586;
    if (kind == SoakCycle::kFailedStart) {
        if (!host_.Control("fault ScreenManager::MakeMirror 130")) {
            return "the fault command failed";
        }
        StreamCall refused(target);
        const auto status = refused.WaitForEnd(kWait);
        if (!status || status->error_code() != grpc::StatusCode::INTERNAL ||
            status->error_message().find("create virtual screen failed.") == std::string::npos ||
            refused.FrameCount() != 0) {
            return "the start with a fault did not fail with its cause";
        }
    }
    std::unique_ptr<StreamCall> displaced;
    if (kind == SoakCycle::kTakeover) {
        displaced = std::make_unique<StreamCall>(target);
        if (!displaced->WaitForFrames(kFewMessages, kWait)) {
            return "the first stream sent too few messages";
        }
    }
    StreamCall stream(target);
    if (displaced) {
        const auto status = displaced->WaitForEnd(kWait);
        if (!status || !status->ok() ||
            !Decodes(*displaced, 0, displaced->FrameCount(), width, height)) {
            return "the displaced stream did not end OK with its pictures";
        }
    }
    if (!stream.WaitForFrames(kFewMessages, kWait)) {
        return "the stream sent too few messages";
    }
    const size_t asked = stream.FrameCount();
    size_t restart = 0;
    if (kind == SoakCycle::kKeyFrame &&
        (CallRequestIdr(target) != 0 ||
         !stream.WaitForFrame(
             asked, [](const Frame &f) { return (f.flags & kSyncFrame) != 0; }, kWait))) {
        return "no key frame after the request";
    }
    if (kind == SoakCycle::kRotate) {
        if (!host_.Control("rotate")) {
            return "the rotate command failed";
        }
        rotated_ = !rotated_;
        const auto config = stream.WaitForFrame(
            asked, [](const Frame &f) { return f.flags == kCodecData; }, kWait);
        if (!config || !stream.WaitForFrames(*config + kFewMessages, kWait) ||
            !Decodes(stream, 0, *config, width, height)) {
            return "no new stream after the rotation";
        }
        restart = *config;
    }
    // onEnd answers the buffers the run encoded: at least one, no more than were sent.
    const auto answer = stream.End();
    if (!answer || *answer < 1 || static_cast<size_t>(*answer) > stream.FrameCount() - restart) {
        return "onEnd answered " + std::to_string(answer.value_or(-1));
    }
    const bool swapped = restart != 0;
    return Decodes(stream, restart, stream.FrameCount(), swapped ? height : width,
                   swapped ? width : height)
               ? ""
               : "the stream does not decode at the screen's size";
}

}  // namespace mirrax::test
