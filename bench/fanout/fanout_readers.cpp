// fanout_readers: COUNT readers of one stream URL (RTMP from a media server) in one
// process, each on a thread of its own, reading every packet and discarding it: the
// viewers of the fan-out benchmark (run.py), lighter than as many ffmpeg processes.
//
//   fanout_readers URL COUNT
//
// Every 250 ms prints "pictures P opened O": the video packets the first reader has
// read and the readers whose stream is open. Ends, closing every connection, when its
// standard input closes; exits 1 when a reader could not open the stream.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mirrax_media/av_handles.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace {

std::atomic<bool> stopping{false};

int Interrupted(void *) { return stopping.load() ? 1 : 0; }

struct Reader {
    std::atomic<long> pictures{0};
    std::atomic<bool> opened{false};
    std::atomic<bool> failed{false};
    std::thread thread;
};

void Read(const std::string &url, Reader &reader) {
    AVFormatContext *raw = avformat_alloc_context();
    raw->interrupt_callback = {Interrupted, nullptr};
    AVDictionary *options = nullptr;
    // The stream's parameters are all in its first packets: no probing on.
    av_dict_set(&options, "probesize", "32", 0);
    av_dict_set(&options, "analyzeduration", "0", 0);
    const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    mirrax::av::DictionaryPtr left(options);
    if (opened < 0) {
        reader.failed = !stopping;
        return;
    }
    mirrax::av::InputContextPtr input(raw);
    reader.opened = true;
    mirrax::av::PacketPtr packet(av_packet_alloc());
    while (!stopping && av_read_frame(input.get(), packet.get()) >= 0) {
        reader.pictures +=
            input->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        av_packet_unref(packet.get());
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 || std::atoi(argv[2]) < 1) {
        std::fprintf(stderr, "usage: fanout_readers URL COUNT\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    avformat_network_init();
    const std::string url = argv[1];
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < std::atoi(argv[2]); ++i) {
        readers.push_back(std::make_unique<Reader>());
        readers.back()->thread = std::thread(Read, url, std::ref(*readers.back()));
        pthread_setname_np(readers.back()->thread.native_handle(), "fanout-reader");
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::thread reporter([&] {
        pthread_setname_np(pthread_self(), "fanout-report");
        std::unique_lock lock(mutex);
        while (!changed.wait_for(lock, std::chrono::milliseconds(250),
                                 [] { return stopping.load(); })) {
            int opened = 0;
            for (const auto &reader : readers) {
                opened += reader->opened;
            }
            std::printf("pictures %ld opened %d\n", readers[0]->pictures.load(), opened);
            std::fflush(stdout);
        }
    });

    char buffer[256];
    while (read(STDIN_FILENO, buffer, sizeof(buffer)) > 0) {
    }
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    reporter.join();
    bool failed = false;
    for (auto &reader : readers) {
        reader->thread.join();
        failed = failed || reader->failed;
    }
    return failed ? 1 : 0;
}
