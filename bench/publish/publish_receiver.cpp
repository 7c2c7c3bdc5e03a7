// publish_receiver: takes one stream as a media server would (RTSP in listen mode, an
// SRT listener, an RTMP listener) or a framed stream on standard input, decodes every
// picture as soon as its packet arrives and measures, from the synthetic screen's frame
// stamp, the time from drawing to decoded picture.
//
//   publish_receiver --input URL|- [--pictures N] [--skip N] [--timeout S]
//
// "-" reads NUT from standard input (mirrax_client stream -o - --format nut), the
// direct stream the protocols are compared with. The first --skip pictures (the
// connection's start, the demuxer's probing) are not counted. Prints one line:
//   "pictures N median_ms M p90_ms P max_ms X arrival_median_ms A first_sequence S"
// where M, P and X are drawing to decoded picture and A drawing to the arrival of the
// picture's packet (before decoding).
// and exits 0 when N pictures were measured.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "mirrax_media/av_handles.h"
#include "mirrax_platform/frame_stamp.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace {

struct Options {
    std::string input;
    int pictures = 300;
    int skip = 30;
    double timeout = 30;
};

bool Parse(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char *value = argv[i + 1];
        if (arg == "--input") {
            o->input = value;
        } else if (arg == "--pictures") {
            o->pictures = std::atoi(value);
        } else if (arg == "--skip") {
            o->skip = std::atoi(value);
        } else if (arg == "--timeout") {
            o->timeout = std::atof(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !o->input.empty() && o->pictures > 0 && o->skip >= 0;
}

double NowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double g_deadline = 0;

int Interrupted(void *) { return NowSeconds() > g_deadline ? 1 : 0; }

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        fprintf(stderr,
                "usage: publish_receiver --input URL|- [--pictures N] [--skip N] "
                "[--timeout S]\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    g_deadline = NowSeconds() + options.timeout;

    AVDictionary *dict = nullptr;
    const AVInputFormat *format = nullptr;
    std::string url = options.input;
    if (url == "-") {
        url = "pipe:0";
        format = av_find_input_format("nut");
    } else if (url.rfind("rtsp://", 0) == 0) {
        av_dict_set(&dict, "rtsp_flags", "listen", 0);
        av_dict_set(&dict, "rtsp_transport", "tcp", 0);
    } else if (url.rfind("rtmp://", 0) == 0) {
        av_dict_set(&dict, "listen", "1", 0);
    } else if (url.rfind("srt://", 0) == 0) {
        url += url.find('?') == std::string::npos ? "?mode=listener" : "&mode=listener";
    }
    // No buffering in the demuxer; the stream's parameters come from the first packets.
    av_dict_set(&dict, "fflags", "nobuffer", 0);
    av_dict_set(&dict, "analyzeduration", "500000", 0);

    AVFormatContext *raw = avformat_alloc_context();
    raw->interrupt_callback = {&Interrupted, nullptr};
    int rc = avformat_open_input(&raw, url.c_str(), format, &dict);  // frees `raw` on failure
    const mirrax::av::DictionaryPtr unused(dict);                    // the options nobody took
    if (rc < 0) {
        fprintf(stderr, "publish_receiver: cannot open %s\n", url.c_str());
        return 1;
    }
    const mirrax::av::InputContextPtr inputOwner(raw);
    AVFormatContext *input = inputOwner.get();
    rc = avformat_find_stream_info(input, nullptr);
    const int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (rc < 0 || index < 0) {
        fprintf(stderr, "publish_receiver: no video in %s\n", url.c_str());
        return 1;
    }
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    const mirrax::av::CodecContextPtr decoderOwner(avcodec_alloc_context3(codec));
    AVCodecContext *decoder = decoderOwner.get();
    avcodec_parameters_to_context(decoder, input->streams[index]->codecpar);
    decoder->thread_count = 1;
    decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
    avcodec_open2(decoder, codec, nullptr);

    const mirrax::av::PacketPtr packetOwner(av_packet_alloc());
    const mirrax::av::FramePtr frameOwner(av_frame_alloc());
    AVPacket *packet = packetOwner.get();
    AVFrame *frame = frameOwner.get();
    std::vector<double> latencies;
    std::vector<double> arrivals;
    // When each packet was read, by its timestamp, for the picture decoded from it.
    std::map<int64_t, uint32_t> readAt;
    int seen = 0;
    long firstSequence = -1;
    while (static_cast<int>(latencies.size()) < options.pictures &&
           av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == index) {
            readAt[packet->pts] = mirrax::stamp::NowUs();
        }
        if (packet->stream_index == index && avcodec_send_packet(decoder, packet) >= 0) {
            while (avcodec_receive_frame(decoder, frame) == 0) {
                const uint32_t now = mirrax::stamp::NowUs();
                const auto stamp = mirrax::stamp::ReadLuma(frame->data[0], frame->width,
                                                           frame->height, frame->linesize[0]);
                const auto read = readAt.find(frame->pts);
                if (stamp && ++seen > options.skip && read != readAt.end()) {
                    if (firstSequence < 0) {
                        firstSequence = stamp->sequence;
                    }
                    latencies.push_back(mirrax::stamp::ElapsedUs(stamp->drawTimeUs, now) / 1000.0);
                    arrivals.push_back(mirrax::stamp::ElapsedUs(stamp->drawTimeUs, read->second) /
                                       1000.0);
                }
                if (read != readAt.end()) {
                    readAt.erase(readAt.begin(), std::next(read));
                }
                av_frame_unref(frame);
            }
        }
        av_packet_unref(packet);
    }
    if (latencies.empty()) {
        fprintf(stderr, "publish_receiver: no stamped picture from %s\n", url.c_str());
        return 1;
    }
    printf(
        "pictures %zu median_ms %.1f p90_ms %.1f max_ms %.1f arrival_median_ms %.1f "
        "first_sequence %ld\n",
        latencies.size(), Percentile(latencies, 0.5), Percentile(latencies, 0.9),
        *std::max_element(latencies.begin(), latencies.end()), Percentile(arrivals, 0.5),
        firstSequence);
    return static_cast<int>(latencies.size()) >= options.pictures ? 0 : 1;
}
