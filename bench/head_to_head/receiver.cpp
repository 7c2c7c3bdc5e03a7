// h2h_receiver: decodes a framed H.264 stream (NUT or MPEG-TS) as each packet arrives
// and logs, per picture, its frame stamp and when it arrived and was decoded.
//
//   h2h_receiver --log FILE [--format nut|mpegts] (--stdin | --listen PORT)
//                [--accept-timeout S]
//
// --stdin reads standard output of a sender; --listen binds 127.0.0.1:PORT (0: any
// free port), prints "listening PORT" on standard output and takes one TCP connection.
// The demuxer is asked not to buffer or probe (the container header describes the
// stream), and the decoder runs in low-delay mode on one thread, so a picture is
// decoded as soon as its packet is complete.
//
// Log lines: "SEQUENCE ARRIVAL_US DECODED_US BYTES KEY", times on CLOCK_MONOTONIC in
// microseconds (the frame stamp's clock); SEQUENCE is -1 when a picture carries no
// readable stamp. A last line "# first_byte_us T" gives when the first byte came.
// Exit status 0 when at least one picture was decoded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "mirrax_media/av_handles.h"
#include "mirrax_platform/frame_stamp.h"
#include "monotonic_us.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace mirrax::h2h {
namespace {

struct Options {
    std::string log;
    std::string format = "nut";
    bool fromStdin = false;
    int listenPort = -1;
    double acceptTimeout = 20;
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--stdin") {
            o->fromStdin = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--log") {
            o->log = value;
        } else if (arg == "--format") {
            o->format = value;
        } else if (arg == "--listen") {
            o->listenPort = std::atoi(value.c_str());
        } else if (arg == "--accept-timeout") {
            o->acceptTimeout = std::atof(value.c_str());
        } else {
            return false;
        }
    }
    return !o->log.empty() && (o->format == "nut" || o->format == "mpegts") &&
           (o->fromStdin != (o->listenPort >= 0)) && o->listenPort <= 65535;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) {
                close(fd_);
            }
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int Get() const { return fd_; }

private:
    int fd_;
};

// Listens on 127.0.0.1:port, announces the port and takes one connection.
Fd AcceptOne(int port, double timeoutSeconds, std::string *error) {
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.Get() < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    const int one = 1;
    setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener.Get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(listener.Get(), 1) != 0 ||
        getsockname(listener.Get(), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return Fd();
    }
    printf("listening %d\n", ntohs(address.sin_port));
    fflush(stdout);
    pollfd p{listener.Get(), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(timeoutSeconds * 1000));
    if (ready <= 0) {
        *error = "no connection within " + std::to_string(timeoutSeconds) + " s";
        return Fd();
    }
    Fd connection(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.Get() < 0) {
        *error = std::string("accept: ") + std::strerror(errno);
    }
    return connection;
}

// The byte source of the demuxer: a plain read() of a pipe or socket, which returns
// whatever has arrived, so a packet is handed on as soon as its last byte is here.
struct Source {
    int fd;
    int64_t firstByteUs = 0;
};

int ReadSource(void *opaque, uint8_t *buffer, int size) {
    auto *source = static_cast<Source *>(opaque);
    while (true) {
        const ssize_t n = read(source->fd, buffer, static_cast<size_t>(size));
        if (n > 0) {
            if (source->firstByteUs == 0) {
                source->firstByteUs = NowUs();
            }
            return static_cast<int>(n);
        }
        if (n == 0) {
            return AVERROR_EOF;
        }
        if (errno != EINTR) {
            return AVERROR(errno);
        }
    }
}

class Receiver {
public:
    explicit Receiver(FILE *log) : log_(log) {}

    int Run(int fd, const std::string &formatName) {
        source_.fd = fd;
        constexpr int kBufferSize = 64 * 1024;
        auto *buffer = static_cast<uint8_t *>(av_malloc(kBufferSize));
        if (buffer == nullptr) {
            return Fail("out of memory");
        }
        io_.reset(
            avio_alloc_context(buffer, kBufferSize, 0, &source_, ReadSource, nullptr, nullptr));
        if (!io_) {
            av_free(buffer);
            return Fail("out of memory");
        }
        AVFormatContext *raw = avformat_alloc_context();
        if (raw == nullptr) {
            return Fail("out of memory");
        }
        raw->pb = io_.get();
        AVDictionary *rawOptions = nullptr;
        av_dict_set(&rawOptions, "probesize", "32", 0);
        av_dict_set(&rawOptions, "analyzeduration", "0", 0);
        av_dict_set(&rawOptions, "fflags", "nobuffer", 0);
        av::DictionaryPtr options(rawOptions);
        const AVInputFormat *format = av_find_input_format(formatName.c_str());
        AVDictionary *optionsIn = options.release();
        int rc = avformat_open_input(&raw, nullptr, format, &optionsIn);
        options.reset(optionsIn);
        if (rc < 0) {
            return Fail("cannot open the stream: " + av::AvError(rc));  // `raw` is freed
        }
        input_.reset(raw);
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!frame_ || !packet_) {
            return Fail("out of memory");
        }
        while ((rc = av_read_frame(input_.get(), packet_.get())) >= 0) {
            const int64_t arrivalUs = NowUs();
            const int index = packet_->stream_index;
            if (streamIndex_ < 0 && index < static_cast<int>(input_->nb_streams) &&
                input_->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                if (!OpenDecoder(input_->streams[index]->codecpar)) {
                    return 1;
                }
                streamIndex_ = index;
            }
            if (index == streamIndex_) {
                const int bytes = packet_->size;
                const bool key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
                rc = avcodec_send_packet(decoder_.get(), packet_.get());
                if (rc < 0 && rc != AVERROR(EAGAIN)) {
                    fprintf(stderr, "h2h_receiver: a packet did not decode: %s\n",
                            av::AvError(rc).c_str());
                }
                Drain(arrivalUs, bytes, key);
            }
            av_packet_unref(packet_.get());
        }
        if (rc != AVERROR_EOF) {
            fprintf(stderr, "h2h_receiver: the stream ended with %s\n", av::AvError(rc).c_str());
        }
        if (decoder_) {
            avcodec_send_packet(decoder_.get(), nullptr);
            Drain(NowUs(), 0, false);
        }
        fprintf(log_, "# first_byte_us %lld\n", static_cast<long long>(source_.firstByteUs));
        fprintf(stderr, "h2h_receiver: %llu pictures (%llu with a stamp), %llu bytes\n",
                static_cast<unsigned long long>(pictures_),
                static_cast<unsigned long long>(stamped_), static_cast<unsigned long long>(bytes_));
        return pictures_ > 0 ? 0 : 1;
    }

private:
    int Fail(const std::string &message) {
        fprintf(stderr, "h2h_receiver: %s\n", message.c_str());
        return 1;
    }

    bool OpenDecoder(const AVCodecParameters *parameters) {
        const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
        if (codec == nullptr) {
            Fail("no decoder for the stream's codec");
            return false;
        }
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), parameters) < 0) {
            Fail("cannot set the decoder up");
            return false;
        }
        decoder_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        decoder_->thread_count = 1;
        const int rc = avcodec_open2(decoder_.get(), codec, nullptr);
        if (rc < 0) {
            Fail("cannot open the decoder: " + av::AvError(rc));
            return false;
        }
        return true;
    }

    void Drain(int64_t arrivalUs, int bytes, bool key) {
        while (avcodec_receive_frame(decoder_.get(), frame_.get()) == 0) {
            const int64_t decodedUs = NowUs();
            const auto stamp = stamp::ReadLuma(frame_->data[0], frame_->width, frame_->height,
                                               frame_->linesize[0]);
            ++pictures_;
            bytes_ += static_cast<uint64_t>(bytes);
            long long sequence = -1;
            if (stamp) {
                ++stamped_;
                sequence = stamp->sequence;
            }
            fprintf(log_, "%lld %lld %lld %d %d\n", sequence, static_cast<long long>(arrivalUs),
                    static_cast<long long>(decodedUs), bytes, key ? 1 : 0);
            av_frame_unref(frame_.get());
        }
    }

    FILE *log_;
    Source source_{};
    av::CustomIoContextPtr io_;
    av::InputContextPtr input_;
    av::CodecContextPtr decoder_;
    av::FramePtr frame_;
    av::PacketPtr packet_;
    int streamIndex_ = -1;
    uint64_t pictures_ = 0;
    uint64_t stamped_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace
}  // namespace mirrax::h2h

int main(int argc, char **argv) {
    using namespace mirrax::h2h;
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: h2h_receiver --log FILE [--format nut|mpegts] (--stdin | --listen "
                "PORT) [--accept-timeout S]\n");
        return 2;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> log(fopen(options.log.c_str(), "w"), fclose);
    if (!log) {
        fprintf(stderr, "h2h_receiver: cannot write %s: %s\n", options.log.c_str(),
                std::strerror(errno));
        return 1;
    }
    Fd connection;
    int fd = STDIN_FILENO;
    if (!options.fromStdin) {
        std::string error;
        connection = AcceptOne(options.listenPort, options.acceptTimeout, &error);
        if (connection.Get() < 0) {
            fprintf(stderr, "h2h_receiver: %s\n", error.c_str());
            return 1;
        }
        fd = connection.Get();
    }
    av_log_set_level(AV_LOG_ERROR);
    Receiver receiver(log.get());
    return receiver.Run(fd, options.format);
}
