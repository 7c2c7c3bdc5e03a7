// snapshot: ask for a key frame and save the next picture as PNG.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "av_output.h"
#include "commands.h"
#include "h264_decoder.h"
#include "mirrax_media/av_handles.h"
#include "signal_watcher.h"
#include "stream_run.h"

namespace mirrax::client {

namespace {

av::FramePtr ToRgb(const AVFrame &picture, std::string *error) {
    av::SwsPtr sws(sws_getContext(
        picture.width, picture.height, static_cast<AVPixelFormat>(picture.format), picture.width,
        picture.height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    av::FramePtr rgb(av_frame_alloc());
    if (!sws || !rgb) {
        *error = "cannot convert the picture to RGB";
        return nullptr;
    }
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = picture.width;
    rgb->height = picture.height;
    const int rc = av_frame_get_buffer(rgb.get(), 0);
    if (rc < 0) {
        *error = "cannot allocate the RGB picture: " + av::AvError(rc);
        return nullptr;
    }
    sws_scale(sws.get(), picture.data, picture.linesize, 0, picture.height, rgb->data,
              rgb->linesize);
    return rgb;
}

bool WritePng(const AVFrame &picture, const std::string &path, std::string *error) {
    av::FramePtr rgb = ToRgb(picture, error);
    if (!rgb) {
        return false;
    }
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        *error = "this FFmpeg has no PNG encoder";
        return false;
    }
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    av::PacketPtr packet(av_packet_alloc());
    if (!context || !packet) {
        *error = "out of memory for the PNG encoder";
        return false;
    }
    context->width = rgb->width;
    context->height = rgb->height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    int rc = avcodec_open2(context.get(), codec, nullptr);
    if (rc >= 0) {
        rc = avcodec_send_frame(context.get(), rgb.get());
    }
    if (rc >= 0) {
        rc = avcodec_receive_packet(context.get(), packet.get());
    }
    if (rc < 0) {
        *error = "PNG encoding failed: " + av::AvError(rc);
        return false;
    }
    AvOutput file;
    const std::string_view bytes(reinterpret_cast<const char *>(packet->data),
                                 static_cast<size_t>(packet->size));
    rc = file.Open(nullptr, "file:" + path);
    if (rc >= 0) {
        rc = file.WriteBytes(bytes, true);  // closing reports no error of the write
    }
    rc = rc < 0 ? rc : file.Close();
    if (rc < 0) {
        *error = "cannot write " + path + ": " + av::AvError(rc);
        return false;
    }
    return true;
}

// The snapshot into a file that has been created.
int TakeSnapshot(const ClientOptions &options, sigset_t stopSignals) {
    FILE *human = stdout;
    std::string error;
    auto decoder = H264Decoder::Create(&error);
    if (!decoder) {
        return Fail(error);
    }
    auto session = RpcSession::Connect(options.server, kConnectTimeout, &error);
    if (!session) {
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
        return Fail(*failure);
    }
    if (!picture) {
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

}  // namespace

int RunSnapshot(const ClientOptions &options, sigset_t stopSignals) {
    // Find out now, not after the stream, that the picture cannot be saved.
    FILE *probe = fopen(options.output.c_str(), "wb");
    if (probe == nullptr) {
        return Fail("cannot create " + options.output + ": " + strerror(errno));
    }
    fclose(probe);
    const int status = TakeSnapshot(options, stopSignals);
    if (status != kExitOk) {
        std::remove(options.output.c_str());
    }
    return status;
}

}  // namespace mirrax::client
