// snapshot: ask for a key frame and save the next picture as PNG.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "h264_decoder.h"
#include "mirrax_media/av_handles.h"
#include "png_writer.h"
#include "signal_watcher.h"
#include "stream_run.h"

namespace mirrax::client {

int RunSnapshot(const ClientOptions &options, sigset_t stopSignals) {
    FILE *human = stdout;
    std::string error;
    {
        // Find out now, not after the stream, that the picture cannot be saved.
        FILE *probe = fopen(options.output.c_str(), "wb");
        if (probe == nullptr) {
            return Fail("cannot create " + options.output + ": " + strerror(errno));
        }
        fclose(probe);
    }
    auto removeOutput = [&options] { std::remove(options.output.c_str()); };
    auto decoder = H264Decoder::Create(&error);
    if (!decoder) {
        removeOutput();
        return Fail(error);
    }
    auto session = RpcSession::Connect(options.server, kConnectTimeout, &error);
    if (!session) {
        removeOutput();
        return Fail(error);
    }

    StreamRun::Settings settings;
    settings.duration =
        std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000.0));
    StreamRun run(*session, settings);
    tools::SignalWatcher watcher("client-signals", stopSignals,
                                 [&run](int) { run.RequestEnd(EndReason::kInterrupt); });

    // Decoding starts with the codec data; the picture kept is the first one that
    // comes out of a buffer received after the key-frame request went out.
    bool requested = false;
    av::FramePtr picture;
    bool warnedDecode = false;
    const StreamRun::Outcome outcome = run.Run([&](const FrameMessage &frame) {
        if (picture) {
            return;
        }
        const bool afterRequest = run.KeyFrameRequestSent();
        if (!requested) {
            requested = true;
            run.RequestKeyFrame();
        }
        std::string decodeError;
        const bool decoded = decoder->Decode(
            frame.data, frame.IsCodecData(),
            [&](const AVFrame &decodedPicture) {
                if (afterRequest && !picture) {
                    picture.reset(av_frame_clone(&decodedPicture));
                    run.RequestEnd(EndReason::kSnapshot);
                }
            },
            &decodeError);
        if (!decoded && !warnedDecode) {
            warnedDecode = true;
            Warn("%s", decodeError.c_str());
        }
    });

    if (const auto failure = StreamRun::Failure(outcome, options.server)) {
        removeOutput();
        return Fail(*failure);
    }
    if (!picture) {
        removeOutput();
        switch (outcome.reason) {
            case EndReason::kSeconds:
                return Fail("no picture arrived within " + std::to_string(options.timeoutSeconds) +
                            " s; the server may not be streaming (see its log)");
            case EndReason::kInterrupt:
                return Fail("interrupted before a picture arrived");
            default:
                return Fail("the server ended the stream before a picture arrived");
        }
    }
    if (!WritePng(*picture, options.output, &error)) {
        removeOutput();
        return Fail(error);
    }
    if (options.json) {
        Summary summary;
        outcome.stats.FillSummary(&summary);
        summary.seconds = outcome.seconds;
        summary.width = picture->width;
        summary.height = picture->height;
        summary.endedBy = EndReasonName(outcome.reason);
        summary.output = options.output;
        PrintSummary(human, summary, true);
    } else {
        fprintf(human, "snapshot: %dx%d written to %s\n", picture->width, picture->height,
                options.output.c_str());
    }
    return kExitOk;
}

}  // namespace mirrax::client
