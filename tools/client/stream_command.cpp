// stream: the screen into a raw H.264 file, an MP4 file, standard output or a media
// server.
#include <unistd.h>

#include <cstdio>

#include "commands.h"
#include "frame_sink.h"
#include "signal_watcher.h"
#include "stream_run.h"
#include "summary_format.h"

namespace mirrax::client {

void PrintSummary(FILE *out, const Summary &summary, bool json) {
    const std::string text = json ? FormatSummaryJson(summary) : FormatSummaryLine(summary);
    fprintf(out, "%s\n", text.c_str());
    fflush(out);
}

int RunStream(const ClientOptions &options, sigset_t stopSignals) {
    // With the video on standard output, everything for people goes to stderr.
    FILE *human = options.outputKind == OutputKind::kStdout ? stderr : stdout;
    if (options.outputKind == OutputKind::kStdout && isatty(STDOUT_FILENO)) {
        Say("standard output is a terminal; pipe the video into a player (mirrax_client "
            "stream -o - | ffplay -f h264 -) or give -o FILE (see mirrax_client --help)");
        return kExitUsage;
    }
    std::string error;
    std::unique_ptr<FrameSink> sink;
    if (!options.publish) {
        // Raw H.264 unless the name or --format (only for standard output) asks for a
        // container.
        const char *muxer = options.outputKind == OutputKind::kMp4 ? "mp4" : nullptr;
        if (options.pipeFormat != PipeFormat::kRaw) {
            muxer = options.pipeFormat == PipeFormat::kNut ? "nut" : "mpegts";
        }
        sink = OpenFileSink(options.output, muxer, &error);
        if (!sink) {
            return Fail(error);
        }
    }
    auto session = RpcSession::Connect(options.server, kConnectTimeout, &error);
    if (!session) {
        std::string ignored;
        if (sink) {
            sink->Finish(&ignored);
        }
        if (sink && options.outputKind != OutputKind::kStdout) {
            std::remove(options.output.c_str());  // nothing was streamed into it
        }
        return Fail(error);
    }

    StreamRun::Settings settings;
    if (options.seconds) {
        settings.duration =
            std::chrono::milliseconds(static_cast<int64_t>(*options.seconds * 1000.0));
    }
    settings.progress = isatty(STDERR_FILENO) != 0;
    StreamRun run(*session, settings);
    if (options.publish) {
        // Finished (its thread joined) below, before the run goes.
        sink = OpenPublishSink(*options.publish, [&run] { run.RequestKeyFrame(); });
    }
    tools::SignalWatcher watcher("client-signals", stopSignals,
                                 [&run](int) { run.RequestEnd(EndReason::kInterrupt); });

    uint64_t pictures = 0;
    bool outputFailed = false;
    std::string outputError;
    const StreamRun::Outcome outcome = run.Run([&](const FrameMessage &frame) {
        if (outputFailed) {
            return;
        }
        if (!sink->Write(frame, &outputError)) {
            outputFailed = true;
            run.RequestEnd(EndReason::kOutput);
            return;
        }
        if (frame.IsPicture() && options.frames && ++pictures >= *options.frames) {
            run.RequestEnd(EndReason::kFrames);
        }
    });

    int status = kExitOk;
    const auto failure = StreamRun::Failure(outcome, options.server);
    if (failure) {
        status = Fail(*failure);
    }
    std::string finishError;
    const bool finished = sink->Finish(&finishError);
    if (outputFailed) {
        if (sink->ReaderGone()) {
            Say("%s; run ended", outputError.c_str());
        } else {
            status = Fail(outputError);
        }
    } else if (!finished && !failure) {
        status = Fail(finishError);
    }
    if (failure && outcome.stats.Frames() == 0) {
        return status;  // refused or broken before anything arrived: no summary
    }
    if (outcome.reason == EndReason::kServer && outcome.status.ok()) {
        constexpr const char *kWhy =
            "another client started or ended a run, or the server is not in stream mode";
        if ((options.frames || options.seconds) && status == kExitOk) {
            // The run asked for a limit it did not reach: the caller must not take the
            // short output for a complete one.
            status = Fail("the server ended the stream before the requested " +
                          std::string(options.frames ? "pictures" : "time") + " (" + kWhy + ")");
        } else {
            Say("the server ended the stream (%s)", kWhy);
        }
    }
    Summary summary;
    outcome.stats.FillSummary(&summary);
    summary.seconds = outcome.seconds;
    if (const auto size = sink->Size()) {
        summary.width = size->width;
        summary.height = size->height;
    }
    summary.endedBy = EndReasonName(outcome.reason);
    summary.output = options.publish ? options.publish->shown : options.output;
    PrintSummary(human, summary, options.json);
    return status;
}

}  // namespace mirrax::client
