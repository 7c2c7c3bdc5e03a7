// The stream copied to a media server through libavformat's own protocols and muxers:
// rtsp (the parameter sets go into the SDP's sprop-parameter-sets), mpegts over srt
// (parameter sets in-band before each key frame), flv over rtmp (an AVC sequence
// header). A thread of the sink owns the connection; the stream's reader only queues.
#include <dirent.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "av_output.h"
#include "client_log.h"
#include "frame_sink.h"
#include "monotonic_pts.h"
#include "name_lookup.h"
#include "retry_backoff.h"

namespace mirrax::client {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Back-off between connection attempts: doubled after every failed one, up to the cap.
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kMaxRetry{5000};
// A connection (the name lookup, the protocol's handshake and the muxer's header) and
// every later write give up after these (the interrupt callback's deadline); the
// protocols' own timeouts below are set to match where they have one. A receiver that
// acknowledges none of the data waiting for it for kWriteTimeout has stopped reading.
constexpr auto kOpenTimeout = 5s;
constexpr auto kWriteTimeout = 5s;
// Finish writes what is queued and the trailer within this, then abandons the output:
// Ctrl-C ends the client within a second whatever state the connection is in.
constexpr auto kFinishTimeout = 500ms;
// Over SRT a picture counts as taken once the connection has outlived it by this long:
// libsrt declares a peer that has sent nothing (no acknowledgement) for 5 s gone.
constexpr auto kSrtUnconfirmed = 6s;
// An SRT receiver holds each packet back for its latency (libsrt's default 120 ms) and
// drops what it still holds when the connection closes: a run's last pictures are
// given this long after their writing before the connection closes. There is no event
// to wait for: libsrt keeps its acknowledgements to itself.
constexpr auto kSrtLatency = 250ms;
// Messages queued for the sink's thread; beyond this the pictures are dropped and the
// output resumes at the next key frame (a server too slow for the stream).
constexpr size_t kMaxQueued = 120;
// The largest buffer libavformat may allocate while publishing (av_max_alloc).
constexpr size_t kMaxAllocation = 64u << 20;
// A connection still waiting for its first key frame asks again after this long.
constexpr auto kKeyFrameRepeat = 1s;

// Options with the names each protocol and muxer reads. Times in microseconds unless
// noted; entries a component does not know stay unused.
void SetOptions(PublishProtocol protocol, AVDictionary **protocolOptions,
                AVDictionary **muxerOptions) {
    const std::string writeUs = std::to_string(std::chrono::microseconds(kWriteTimeout).count());
    switch (protocol) {
        case PublishProtocol::kRtsp:
            // Interleaved on the RTSP connection: a server that goes away shows up as a
            // failed write, and no UDP ports need to be open between the two.
            // The muxer has no timeout of its own: the interrupt callback's deadlines
            // bound its connection and writes.
            av_dict_set(muxerOptions, "rtsp_transport", "tcp", 0);
            break;
        case PublishProtocol::kSrt:
            // Over UDP nothing refuses a connection: an attempt to reach a listener that
            // is not there lasts the whole handshake timeout, libsrt's usual 3 s.
            av_dict_set(protocolOptions, "connect_timeout", "3000", 0);
            av_dict_set(protocolOptions, "timeout", writeUs.c_str(), 0);
            av_dict_set(protocolOptions, "rw_timeout", writeUs.c_str(), 0);
            // No lingering on close: libsrt's takes a whole second even when nothing is
            // left to send, longer than Ctrl-C may take. The sink waits out the
            // receiver's latency window itself instead (kSrtLatency).
            av_dict_set(protocolOptions, "linger", "0", 0);
            break;
        case PublishProtocol::kRtmp:
            av_dict_set(protocolOptions, "rw_timeout", writeUs.c_str(), 0);
            // Nothing to go back to on a live connection.
            av_dict_set(muxerOptions, "flvflags", "no_duration_filesize", 0);
            break;
    }
}

// Errors that no retry repairs: this build of libavformat cannot publish this way.
bool Permanent(int rc) {
    return rc == AVERROR_PROTOCOL_NOT_FOUND || rc == AVERROR_MUXER_NOT_FOUND ||
           rc == AVERROR(ENOMEM) || rc == AVERROR(EINVAL);
}

// The TCP connection libavformat opened to `address` (numeric) and `port`, found by its
// peer among the process's sockets; -1 when there is none.
int FindConnection(const std::string &address, int port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *raw = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &raw) != 0) {
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> peer(raw, &freeaddrinfo);
    struct CloseDir {
        void operator()(DIR *dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, CloseDir> fds(opendir("/proc/self/fd"));
    if (!fds) {
        return -1;
    }
    while (const dirent *entry = readdir(fds.get())) {
        char *end = nullptr;
        const long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(fds.get())) {
            continue;
        }
        sockaddr_storage name{};
        socklen_t size = sizeof(name);
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&name), &size) != 0 ||
            name.ss_family != peer->ai_family) {
            continue;
        }
        bool same = false;
        if (name.ss_family == AF_INET) {
            const auto *a = reinterpret_cast<const sockaddr_in *>(&name);
            const auto *b = reinterpret_cast<const sockaddr_in *>(peer->ai_addr);
            same = a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
        } else if (name.ss_family == AF_INET6) {
            const auto *a = reinterpret_cast<const sockaddr_in6 *>(&name);
            const auto *b = reinterpret_cast<const sockaddr_in6 *>(peer->ai_addr);
            same = a->sin6_port == b->sin6_port &&
                   memcmp(&a->sin6_addr, &b->sin6_addr, sizeof(in6_addr)) == 0;
        }
        if (same) {
            return static_cast<int>(fd);
        }
    }
    return -1;
}

// Which of the pictures written on one connection the receiver has taken. Over TCP
// (RTSP, RTMP) a picture is taken once the receiver has acknowledged its last byte, read
// from the connection's socket (libavformat keeps the socket; this only reads its
// counters); a receiver that acknowledges nothing for kWriteTimeout while data waits has
// stopped reading. Without the socket (SRT: libsrt keeps its sockets to itself) a
// picture counts once the connection has outlived it by kSrtUnconfirmed.
class Delivery {
public:
    // A new connection; fd -1 when its socket is not known.
    void Start(int fd, Clock::time_point now) {
        fd_ = -1;
        pending_.clear();
        uint64_t outstanding = 0;
        if (fd >= 0 && Read(fd, &acked_, &outstanding)) {
            fd_ = fd;
        }
        progressAt_ = now;
    }

    void Written(Clock::time_point now) {
        uint64_t acked = 0;
        uint64_t outstanding = 0;
        // Everything written so far: acknowledged plus still queued.
        const uint64_t end = fd_ >= 0 && Read(fd_, &acked, &outstanding) ? acked + outstanding : 0;
        pending_.push_back(Picture{end, now});
    }

    // The number of pictures newly known taken; `stalled` when the receiver stopped
    // reading.
    uint64_t Confirm(Clock::time_point now, bool *stalled) {
        *stalled = false;
        uint64_t taken = 0;
        if (fd_ < 0) {
            while (!pending_.empty() && now - pending_.front().writtenAt >= kSrtUnconfirmed) {
                pending_.pop_front();
                ++taken;
            }
            return taken;
        }
        uint64_t acked = 0;
        uint64_t outstanding = 0;
        if (!Read(fd_, &acked, &outstanding)) {
            return 0;
        }
        if (acked != acked_ || outstanding == 0) {
            acked_ = acked;
            progressAt_ = now;
        }
        while (!pending_.empty() && pending_.front().end <= acked) {
            pending_.pop_front();
            ++taken;
        }
        *stalled = outstanding > 0 && now - progressAt_ >= kWriteTimeout;
        return taken;
    }

    // Ends the connection and forgets the pictures not known taken. Returns those
    // lost with a failed connection: its socket is made to close by reset, so that what
    // still waits in it never reaches the receiver. Of a connection closed in order,
    // those libsrt still delivers count as taken (`delivered`); over TCP only
    // acknowledged ones count.
    uint64_t End(bool failed, uint64_t *delivered) {
        const uint64_t left = pending_.size();
        pending_.clear();
        *delivered = fd_ < 0 && !failed ? left : 0;
        if (failed && fd_ >= 0) {
            const linger reset{1, 0};
            setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
        fd_ = -1;
        return failed ? left : 0;
    }

private:
    struct Picture {
        uint64_t end;  // bytes written on the connection up to the picture's end
        Clock::time_point writtenAt;
    };

    // The bytes the receiver acknowledged, and those still waiting, in that order of
    // reading so that their sum never falls short of what was written.
    static bool Read(int fd, uint64_t *acked, uint64_t *outstanding) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0) {
            return false;
        }
        tcp_info info{};
        socklen_t size = sizeof(info);
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
            size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof(info.tcpi_bytes_acked)) {
            return false;
        }
        *acked = info.tcpi_bytes_acked;
        *outstanding = static_cast<uint64_t>(queued);
        return true;
    }

    int fd_ = -1;
    uint64_t acked_ = 0;
    Clock::time_point progressAt_;
    std::deque<Picture> pending_;
};

class PublishSink : public FrameSink {
public:
    PublishSink(PublishUrl url, std::function<void()> requestKeyFrame)
        : url_(std::move(url)), requestKeyFrame_(std::move(requestKeyFrame)) {
        interrupt_.callback = &PublishSink::Interrupted;
        interrupt_.opaque = this;
        thread_ = std::thread([this] { Loop(); });
    }

    ~PublishSink() override {
        std::string ignored;
        Stop(&ignored);
    }

    bool Write(const FrameMessage &frame, std::string *error) override {
        if (!frame.IsCodecData() && !frame.IsPicture()) {
            return true;
        }
        bool askForKeyFrame = false;
        {
            std::lock_guard lock(mutex_);
            if (fatal_) {
                *error = fatalError_;
                return false;
            }
            if (frame.IsPicture() && skipToKeyFrame_) {
                if (!frame.IsKeyFrame()) {
                    ++dropped_;
                    return true;
                }
                skipToKeyFrame_ = false;
            }
            if (frame.IsPicture() && queuedPictures_ >= kMaxQueued) {
                // The output lags behind the stream: start over at a key frame.
                DropQueuedPictures();
                if (!frame.IsKeyFrame()) {
                    ++dropped_;
                    skipToKeyFrame_ = true;
                    askForKeyFrame = true;
                }
            }
            if (!skipToKeyFrame_ || frame.IsCodecData()) {
                queue_.push_back(Item{std::string(frame.data), frame.pts, frame.IsKeyFrame(),
                                      frame.IsCodecData()});
                queuedPictures_ += frame.IsPicture() ? 1 : 0;
            }
        }
        wake_.notify_all();
        if (askForKeyFrame) {
            requestKeyFrame_();
        }
        return true;
    }

    bool Finish(std::string *error) override { return Stop(error); }

    std::optional<PictureSize> Size() const override {
        std::lock_guard lock(mutex_);
        return publishedSize_;
    }

private:
    struct Item {
        std::string data;
        int64_t pts;
        bool key;
        bool codecData;
    };

    // --- the caller's side ------------------------------------------------------------

    bool Stop(std::string *error) {
        std::unique_lock lock(mutex_);
        if (!thread_.joinable()) {
            *error = stopError_;
            return stopError_.empty();
        }
        finishing_ = true;
        wake_.notify_all();
        // What is queued still goes out on a live connection; a retry wait, a name
        // lookup or an attempt to connect ends at once (the interrupt callback sees
        // finishing_).
        if (lookup_) {
            lookup_->Interrupt();
        }
        if (!wake_.wait_for(lock, kFinishTimeout, [this] { return loopDone_; })) {
            abort_ = true;
        }
        lock.unlock();
        thread_.join();
        lock.lock();
        // Only what a receiver took counts: a run whose receivers took nothing failed.
        if (sent_ == 0) {
            stopError_ = fatal_ ? fatalError_
                                : "nothing was published to " + url_.shown +
                                      (lastError_.empty() ? "" : " (" + lastError_ + ")");
            *error = stopError_;
            return false;
        }
        std::string lost;
        if (lost_ > 0) {
            lost = "; " + std::to_string(lost_) + " written but not taken by a receiver";
        }
        Say("publish: %llu pictures taken by %s over %d connection%s; %llu skipped waiting for a "
            "connection or a key frame%s",
            static_cast<unsigned long long>(sent_), url_.shown.c_str(), connections_,
            connections_ == 1 ? "" : "s", static_cast<unsigned long long>(dropped_), lost.c_str());
        *error = stopError_;
        return stopError_.empty();
    }

    // With mutex_ held.
    void DropQueuedPictures() {
        std::deque<Item> kept;
        for (auto &item : queue_) {
            if (item.codecData) {
                kept.push_back(std::move(item));
            } else {
                ++dropped_;
            }
        }
        queue_ = std::move(kept);
        queuedPictures_ = 0;
    }

    // --- the sink's thread --------------------------------------------------------------

    // Called by libavformat on the sink's thread, again and again while it waits for
    // the network. Once it has answered 1 the operation in progress was cut short,
    // whether or not libavformat reports it (its RTSP muxer drops its own write errors).
    static int Interrupted(void *opaque) {
        auto *self = static_cast<PublishSink *>(opaque);
        if (self->abort_.load() || (self->finishing_.load() && !self->connected_) ||
            Clock::now().time_since_epoch().count() > self->deadline_.load()) {
            self->interrupted_ = true;
            return 1;
        }
        return 0;
    }

    void SetDeadline(Clock::duration within) {
        deadline_ = (Clock::now() + within).time_since_epoch().count();
    }

    Clock::time_point Deadline() const {
        return Clock::time_point(Clock::duration(deadline_.load()));
    }

    void AskForKeyFrame() {
        keyFrameAskedAt_ = Clock::now();
        requestKeyFrame_();
    }

    bool CanConnect() const { return !gaveUp_ && !codecData_.empty() && size_.has_value(); }

    void Loop() {
        pthread_setname_np(pthread_self(), "client-publish");
        std::unique_lock lock(mutex_);
        while (true) {
            auto due = [this] {
                return finishing_ || abort_ || !queue_.empty() ||
                       (!connected_ && CanConnect() && Clock::now() >= retryAt_);
            };
            if (!connected_ && CanConnect()) {
                wake_.wait_until(lock, retryAt_, due);
            } else {
                wake_.wait(lock, due);
            }
            if (abort_ || (finishing_ && (!connected_ || queue_.empty()))) {
                break;
            }
            std::deque<Item> items;
            items.swap(queue_);
            queuedPictures_ = 0;
            const bool finishing = finishing_;
            lock.unlock();
            for (auto &item : items) {
                Handle(item);
            }
            if (!connected_ && CanConnect() && !finishing && Clock::now() >= retryAt_) {
                Connect();
            }
            lock.lock();
        }
        lock.unlock();
        if (connected_) {
            Close();
        }
        lock.lock();
        loopDone_ = true;
        wake_.notify_all();
    }

    void Handle(const Item &item) {
        if (item.codecData) {
            if (item.data == codecData_) {
                return;
            }
            codecData_ = item.data;
            probe_ = std::make_unique<PictureSizeProbe>();
            probe_->Feed(codecData_, true);
            size_.reset();
            if (connected_) {
                // New parameters (the screen was rotated or resized): the output's
                // header holds the old ones, so it is closed here and opened again with
                // the new ones once a picture has shown their size.
                Close();
                Say("publish: the stream's parameters changed; restarting the %s output",
                    PublishProtocolName(url_.protocol));
                retryAt_ = Clock::now();
                backoff_.Reset();
                restarting_ = true;
            }
            return;
        }
        if (!size_ && probe_ && probe_->Feed(item.data, false)) {
            size_ = probe_->Size();
        }
        if (!connected_) {
            if (everConnected_) {
                Count(&dropped_);
            }
            return;
        }
        bool stalled = false;
        Count(&sent_, delivery_.Confirm(Clock::now(), &stalled));
        if (stalled) {
            Lose("the receiver has taken nothing for " +
                 std::to_string(std::chrono::seconds(kWriteTimeout).count()) + " s");
            Count(&dropped_);
            return;
        }
        if (needKeyFrame_ && !item.key) {
            Count(&dropped_);
            if (Clock::now() >= keyFrameAskedAt_ + kKeyFrameRepeat) {
                AskForKeyFrame();  // the answer to the last request went missing
            }
            return;
        }
        needKeyFrame_ = false;
        std::string error;
        if (!WritePicture(item, &error)) {
            Lose(error);
            return;
        }
        lastWriteAt_ = Clock::now();
        delivery_.Written(lastWriteAt_);
    }

    void Lose(const std::string &error) {
        Close(true);
        lastError_ = error;
        Say("publish: lost the connection to %s: %s; reconnecting", url_.shown.c_str(),
            error.c_str());
        backoff_.Reset();
        retryAt_ = Clock::now() + backoff_.Next();
    }

    bool WritePicture(const Item &item, std::string *error) {
        SetDeadline(kWriteTimeout);
        interrupted_ = false;
        const int rc = output_.WritePicture(item.data, pts_.Next(item.pts), 0, item.key, true);
        if (interrupted_ && !finishing_) {
            *error = "a write did not complete within " +
                     std::to_string(std::chrono::seconds(kWriteTimeout).count()) + " s";
            return false;
        }
        if (rc < 0) {
            *error = av::AvError(rc);
            return false;
        }
        return true;
    }

    void Connect() {
        ++attempts_;
        // The name lookup, the connection and the header share one deadline.
        SetDeadline(kOpenTimeout);
        std::string error;
        std::string target;
        int rc = Resolve(&target, &error);
        if (rc >= 0) {
            rc = Open(target, &error);
        }
        if (rc >= 0) {
            const int port = url_.port != 0                            ? url_.port
                             : url_.protocol == PublishProtocol::kRtmp ? 1935
                                                                       : 554;
            delivery_.Start(
                url_.protocol == PublishProtocol::kSrt ? -1 : FindConnection(address_, port),
                Clock::now());
            connected_ = true;
            needKeyFrame_ = true;
            pts_ = MonotonicPts();
            {
                std::lock_guard lock(mutex_);
                ++connections_;
                publishedSize_ = size_;
            }
            if (restarting_) {
                Say("publish: publishing to %s at %dx%d again", url_.shown.c_str(), size_->width,
                    size_->height);
            } else if (everConnected_) {
                Say("publish: reconnected to %s (attempt %d)", url_.shown.c_str(), attempts_);
            } else {
                Say("publish: publishing to %s (%s, %dx%d)", url_.shown.c_str(),
                    PublishProtocolName(url_.protocol), size_->width, size_->height);
            }
            everConnected_ = true;
            restarting_ = false;
            attempts_ = 0;
            backoff_.Reset();
            // Pictures from before the connection are gone: start at a fresh key frame.
            AskForKeyFrame();
            return;
        }
        if (finishing_ || abort_) {
            return;
        }
        if (url_.protocol == PublishProtocol::kSrt && rc == AVERROR(EIO)) {
            // What libsrt reports when no listener answered the handshake.
            error = "no SRT listener answered";
        } else if (rc == AVERROR_EXIT) {
            error = "no answer within " +
                    std::to_string(std::chrono::seconds(kOpenTimeout).count()) + " s";
        }
        lastError_ = error;
        if (Permanent(rc)) {
            gaveUp_ = true;
            std::lock_guard lock(mutex_);
            fatal_ = true;
            fatalError_ = "cannot publish to " + url_.shown + ": " + error;
            return;
        }
        const auto wait = backoff_.Next();
        Say("publish: cannot reach %s: %s; attempt %d, next in %lld ms", url_.shown.c_str(),
            error.c_str(), attempts_, static_cast<long long>(wait.count()));
        retryAt_ = Clock::now() + wait;
    }

    // The URL for libavformat, with the host looked up here: libavformat's own lookup
    // blocks until the resolver gives up, deaf to the interrupt callback. Successive
    // attempts take the host's addresses in turn. A libavformat error code, with a
    // reason.
    int Resolve(std::string *target, std::string *error) {
        if (IsNumericHost(url_.host)) {
            address_ = url_.host;
            *target = url_.url;
            return 0;
        }
        std::string why;
        auto lookup = NameLookup::Start(
            url_.host, url_.protocol == PublishProtocol::kSrt ? SOCK_DGRAM : SOCK_STREAM, &why);
        if (!lookup) {
            *error = "cannot look up " + url_.host + ": " + why;
            return AVERROR(EAGAIN);
        }
        {
            std::lock_guard lock(mutex_);
            if (finishing_ || abort_) {
                return AVERROR_EXIT;
            }
            lookup_ = lookup;
        }
        const auto addresses = lookup->Wait(Deadline(), &why);
        {
            std::lock_guard lock(mutex_);
            lookup_.reset();
        }
        if (addresses.empty()) {
            *error = why;
            return AVERROR(EAGAIN);
        }
        address_ = addresses[static_cast<size_t>(attempts_ - 1) % addresses.size()];
        *target = UrlWithHost(url_, address_);
        return 0;
    }

    // One connection: the muxer set up for the current parameters, the protocol opened
    // and the header written. A libavformat error code, with a reason.
    int Open(const std::string &target, std::string *error) {
        AVDictionary *protocolOptions = nullptr;
        AVDictionary *muxerOptions = nullptr;
        SetOptions(url_.protocol, &protocolOptions, &muxerOptions);
        if (url_.protocol == PublishProtocol::kRtmp && target != url_.url) {
            // The server still sees the name it was given in the URL.
            av_dict_set(&protocolOptions, "rtmp_tcurl", RtmpTcUrl(url_).c_str(), 0);
        }
        av::DictionaryPtr muxerOwned(muxerOptions);
        const char *muxer = PublishMuxerName(url_.protocol);
        int rc = output_.Open(muxer, target, &interrupt_, av::DictionaryPtr(protocolOptions));
        if (rc >= 0) {
            rc = output_.WriteHeader(*size_, codecData_, std::move(muxerOwned));
        }
        if (rc < 0) {
            *error = output_.HasMuxer() ? av::AvError(rc)
                                        : std::string("no ") + muxer + " muxer: " + av::AvError(rc);
            output_.Close();
        }
        return rc;
    }

    // Ends the connection; the trailer also closes an RTSP session (TEARDOWN) and its
    // sockets, so it is written even after a failed write, within a short deadline (a
    // failed connection's none: nothing more is written to it, the sockets just close).
    // The pictures the receiver is not known to have taken are counted before the
    // sockets go.
    void Close(bool failed = false) {
        if (output_.HeaderWritten()) {
            if (!failed && url_.protocol == PublishProtocol::kSrt) {
                std::unique_lock lock(mutex_);
                wake_.wait_until(lock, lastWriteAt_ + kSrtLatency,
                                 [this] { return abort_.load(); });
            }
            bool stalled = false;
            Count(&sent_, delivery_.Confirm(Clock::now(), &stalled));
            uint64_t delivered = 0;
            Count(&lost_, delivery_.End(failed, &delivered));
            Count(&sent_, delivered);
            SetDeadline(failed ? 0s : 1s);
            output_.WriteTrailer();
        }
        output_.Close();
        connected_ = false;
    }

    void Count(uint64_t *counter, uint64_t n = 1) {
        std::lock_guard lock(mutex_);
        *counter += n;
    }

    const PublishUrl url_;
    const std::function<void()> requestKeyFrame_;  // any thread
    AVIOInterruptCB interrupt_{};

    // Shared with the caller's threads.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    size_t queuedPictures_ = 0;
    bool skipToKeyFrame_ = false;
    std::atomic<bool> finishing_{false};
    std::atomic<bool> abort_{false};
    bool loopDone_ = false;
    bool fatal_ = false;
    std::string fatalError_;
    std::string stopError_;
    std::optional<PictureSize> publishedSize_;
    std::shared_ptr<NameLookup> lookup_;  // while the sink's thread waits for one
    int connections_ = 0;
    uint64_t sent_ = 0;      // taken by a receiver
    uint64_t dropped_ = 0;   // never written: no connection, no key frame yet, or too slow
    uint64_t lost_ = 0;      // written, but the connection failed before the receiver took them
    std::string lastError_;  // written by the thread; read after it was joined

    // The sink's thread only (also read by the interrupt callback, on that thread).
    std::atomic<bool> connected_{false};
    std::atomic<Clock::rep> deadline_{0};
    bool interrupted_ = false;  // the callback cut an operation short
    std::string address_;       // the numeric address of the current connection
    Clock::time_point lastWriteAt_;
    Delivery delivery_;
    std::string codecData_;
    std::unique_ptr<PictureSizeProbe> probe_;
    std::optional<PictureSize> size_;
    AvOutput output_;
    MonotonicPts pts_;
    bool needKeyFrame_ = false;
    Clock::time_point keyFrameAskedAt_;
    bool everConnected_ = false;
    bool gaveUp_ = false;  // an error no retry repairs
    bool restarting_ = false;
    int attempts_ = 0;
    RetryBackoff backoff_{kFirstRetry, kMaxRetry};
    Clock::time_point retryAt_ = Clock::now();

    std::thread thread_;  // last: starts after everything above exists
};

}  // namespace

std::unique_ptr<FrameSink> OpenPublishSink(const PublishUrl &url,
                                           std::function<void()> requestKeyFrame) {
    // The sink reports every failure in its own line; libavformat's messages would
    // repeat each one, several times per attempt to connect.
    av_log_set_level(AV_LOG_FATAL);
    // A receiver decides the size of some of libavformat's buffers (an RTSP answer's
    // Content-Length, an RTMP message's length); none is taken on trust beyond this.
    // The largest honest one is a picture.
    av_max_alloc(kMaxAllocation);
    return std::make_unique<PublishSink>(url, std::move(requestKeyFrame));
}

}  // namespace mirrax::client
