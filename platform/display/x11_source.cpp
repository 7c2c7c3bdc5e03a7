#include "x11_source.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "hilog/log.h"

namespace mirrax::platform::display {
namespace {

constexpr unsigned int kLogDomain = 0xD003900;
constexpr const char *kLogTag = "x11_source";
constexpr int kCaptureFps = 60;

struct ConnectionDeleter {
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

struct FreeDeleter {
    void operator()(void *reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// A file descriptor closed with its owner.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A System V shared-memory segment mapped into this process. Marked for removal at
// once, so it disappears when every process has detached it. A picture published
// from it holds it through a shared_ptr, so it may outlive the X connection.
class ShmMapping {
public:
    static std::shared_ptr<ShmMapping> Create(size_t bytes, int *id, std::string *error) {
        *id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (*id < 0) {
            *error = "shmget failed: " + std::string(std::strerror(errno));
            return nullptr;
        }
        void *address = shmat(*id, nullptr, 0);
        if (address == reinterpret_cast<void *>(-1)) {
            *error = "shmat failed: " + std::string(std::strerror(errno));
            shmctl(*id, IPC_RMID, nullptr);
            return nullptr;
        }
        return std::shared_ptr<ShmMapping>(new ShmMapping(static_cast<uint8_t *>(address), bytes));
    }

    ~ShmMapping() { shmdt(data_); }
    ShmMapping(const ShmMapping &) = delete;
    ShmMapping &operator=(const ShmMapping &) = delete;

    uint8_t *Data() const { return data_; }
    size_t Size() const { return size_; }

private:
    ShmMapping(uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t *data_;
    size_t size_;
};

// A mapping the X server has attached too, so it can write a screen read into it.
// Detaching needs the connection: the owner of the connection destroys the segment
// before closing it, while the mapping may live on in a published picture.
class ShmSegment {
public:
    static std::unique_ptr<ShmSegment> Create(xcb_connection_t *connection, size_t bytes,
                                              std::string *error) {
        int id = -1;
        std::shared_ptr<ShmMapping> mapping = ShmMapping::Create(bytes, &id, error);
        if (!mapping) {
            return nullptr;
        }
        const xcb_shm_seg_t seg = xcb_generate_id(connection);
        Reply<xcb_generic_error_t> attachError(xcb_request_check(
            connection, xcb_shm_attach_checked(connection, seg, static_cast<uint32_t>(id), 0)));
        shmctl(id, IPC_RMID, nullptr);
        if (attachError) {
            *error = "the X server refused the shared-memory segment";
            return nullptr;
        }
        return std::unique_ptr<ShmSegment>(new ShmSegment(connection, seg, std::move(mapping)));
    }

    ~ShmSegment() {
        xcb_shm_detach(connection_, seg_);
        xcb_flush(connection_);
    }
    ShmSegment(const ShmSegment &) = delete;
    ShmSegment &operator=(const ShmSegment &) = delete;

    xcb_shm_seg_t Seg() const { return seg_; }
    uint8_t *Data() const { return mapping_->Data(); }
    size_t Size() const { return mapping_->Size(); }
    const std::shared_ptr<ShmMapping> &Mapping() const { return mapping_; }

private:
    ShmSegment(xcb_connection_t *connection, xcb_shm_seg_t seg, std::shared_ptr<ShmMapping> mapping)
        : connection_(connection), seg_(seg), mapping_(std::move(mapping)) {}

    xcb_connection_t *connection_;
    xcb_shm_seg_t seg_;
    std::shared_ptr<ShmMapping> mapping_;
};

// What one read of the screen came to.
enum class CaptureOutcome {
    kRead,       // the screen was read; a picture that differs was published
    kNoSegment,  // no segment is attached (a re-attach failed): attach before reading
    kFailed,     // the X server did not answer the read
};

class X11Source final : public DisplaySource {
public:
    // `damage` (0: none) reports drawing on the root window; without it the screen is
    // read at every capture period.
    X11Source(Connection connection, xcb_window_t root, std::string name,
              std::shared_ptr<ScreenCanvas> canvas, SourceObserver *observer, int randrEventBase,
              xcb_damage_damage_t damage, int damageEventBase)
        : connection_(std::move(connection)),
          root_(root),
          name_(std::move(name)),
          canvas_(std::move(canvas)),
          observer_(observer),
          randrEventBase_(randrEventBase),
          damage_(damage),
          damageEventBase_(damageEventBase) {}

    ~X11Source() override {
        thread_.request_stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        // Detached before the connection closes; the published picture keeps its
        // mapping.
        segments_[0].reset();
        segments_[1].reset();
        if (damage_ != 0) {
            xcb_damage_destroy(connection_.get(), damage_);
            xcb_flush(connection_.get());
        }
    }

    // Reads the geometry and the first picture; then starts the capture thread.
    bool Start(std::string *error) {
        if (!Reconfigure(error) || Capture() != CaptureOutcome::kRead) {
            if (error->empty()) {
                *error = "cannot read the screen of X display '" + name_ + "'";
            }
            return false;
        }
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
        return true;
    }

    std::string_view Kind() const override { return "x11"; }

    SourceGeometry Geometry() const override {
        std::lock_guard lock(stateMutex_);
        return geometry_;
    }

    double CpuUsPerFrame() const override {
        std::lock_guard lock(stateMutex_);
        return frames_ == 0 ? 0.0 : cpuNs_ / 1000.0 / static_cast<double>(frames_);
    }

private:
    // Queries the root window's size and (re)creates the shared-memory segment. On
    // failure no segment is left attached (the old one no longer fits the screen) and
    // the geometry stays the last one read, so a later call can try again.
    bool Reconfigure(std::string *error) {
        xcb_connection_t *c = connection_.get();
        segments_[0].reset();
        segments_[1].reset();
        front_ = -1;
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, root_), nullptr));
        if (!geometry) {
            *error = "cannot query the geometry of X display '" + name_ + "'";
            return false;
        }
        const int width = geometry->width;
        const int height = geometry->height;
        const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
        segments_[0] = ShmSegment::Create(c, bytes, error);
        if (segments_[0]) {
            segments_[1] = ShmSegment::Create(c, bytes, error);
        }
        if (!segments_[1]) {
            segments_[0].reset();
            *error = "X display '" + name_ + "' at " + std::to_string(width) + "x" +
                     std::to_string(height) + ": " + *error;
            return false;
        }
        std::lock_guard lock(stateMutex_);
        geometry_.width = width;
        geometry_.height = height;
        geometry_.refreshRate = kCaptureFps;
        return true;
    }

    // Reads the screen into the segment that is not published, and publishes that
    // segment as the new picture when it differs from the published one: the
    // picture is never copied, and an unchanged screen is no new frame. The
    // published segment is only read (by the comparison here and by the canvas's
    // readers), so it is safe to read without the canvas lock.
    CaptureOutcome Capture() {
        if (!segments_[0]) {
            return CaptureOutcome::kNoSegment;
        }
        xcb_connection_t *c = connection_.get();
        const SourceGeometry geometry = Geometry();
        const int back = front_ == 0 ? 1 : 0;
        ShmSegment &segment = *segments_[back];
        Reply<xcb_generic_error_t> error;
        xcb_generic_error_t *rawError = nullptr;
        Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            c,
            xcb_shm_get_image(c, root_, 0, 0, static_cast<uint16_t>(geometry.width),
                              static_cast<uint16_t>(geometry.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment.Seg(), 0),
            &rawError));
        error.reset(rawError);
        if (!image) {
            return CaptureOutcome::kFailed;
        }
        const size_t bytes =
            static_cast<size_t>(geometry.width) * static_cast<size_t>(geometry.height) * 4;
        if (front_ >= 0 && std::memcmp(segment.Data(), segments_[front_]->Data(), bytes) == 0) {
            return CaptureOutcome::kRead;
        }
        canvas_->Update([&](Picture &picture, uint64_t) {
            AdoptPixels(picture, geometry.width, geometry.height, segment.Data(),
                        segment.Mapping());
            picture.secureWindows.clear();
            return true;
        });
        front_ = back;
        return CaptureOutcome::kRead;
    }

    struct Events {
        bool resized = false;
        bool damaged = false;
    };

    // Handles the X events read so far.
    Events DrainEvents() {
        Events events;
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_.get())}) {
            const int type = event->response_type & 0x7F;
            if (randrEventBase_ >= 0 && type == randrEventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
                events.resized = true;
            } else if (damageEventBase_ >= 0 && type == damageEventBase_ + XCB_DAMAGE_NOTIFY) {
                events.damaged = true;
            }
        }
        return events;
    }

    // With damage reports the screen is read as soon as something was drawn on it (at
    // most twice per capture period, so a burst of drawing costs little):
    // a picture waits for no polling tick, and a still screen costs nothing. Without
    // them it is read at every period. The damage is cleared before each read, so
    // drawing during the read is reported again.
    void Run(std::stop_token stop) {
        pthread_setname_np(pthread_self(), "x11-capture");
        using Clock = std::chrono::steady_clock;
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / kCaptureFps;
        xcb_connection_t *c = connection_.get();
        const UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        const std::stop_callback onStop(stop, [&wake] {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = write(wake.get(), &one, sizeof(one));
        });
        Clock::time_point next = Clock::now() + period;  // the earliest next read
        bool due = false;                                // a read waits for `next`
        bool reattach = false;                           // a size change to apply
        while (!stop.stop_requested()) {
            const Events events = DrainEvents();
            due = due || events.damaged || damage_ == 0;
            reattach = reattach || events.resized || !segments_[0];
            if (xcb_connection_has_error(c) != 0) {
                HiLogPrint(LOG_CORE, LOG_ERROR, kLogDomain, kLogTag,
                           "X display '%{public}s' connection lost; capture stopped",
                           name_.c_str());
                pollfd stopped{wake.get(), POLLIN, 0};
                while (!stop.stop_requested() && poll(&stopped, 1, -1) < 0 && errno == EINTR) {
                }
                break;
            }
            const Clock::time_point now = Clock::now();
            if ((due || reattach) && now >= next) {
                // With damage reports the reads keep half a period apart, not a whole
                // one: paced a whole period from the last read, a read that came late
                // would make every later one late until a picture was skipped.
                next = damage_ != 0          ? now + period / 2
                       : now > next + period ? now + period
                                             : next + period;
                const int64_t cpu0 = ThreadCpuNs();
                if (damage_ != 0) {
                    xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
                }
                if (reattach) {
                    // A segment that could not be attached is tried again every period.
                    const SourceGeometry before = Geometry();
                    if (!Reattach()) {
                        continue;
                    }
                    reattach = false;
                    Capture();
                    const SourceGeometry after = Geometry();
                    if (!(before == after) && observer_ != nullptr) {
                        observer_->OnSourceGeometry(after);
                    }
                } else if (Capture() == CaptureOutcome::kNoSegment) {
                    reattach = true;
                }
                due = false;
                std::lock_guard lock(stateMutex_);
                cpuNs_ += static_cast<double>(ThreadCpuNs() - cpu0);
                ++frames_;
                continue;
            }
            // Sleeps until the next read is allowed, or (nothing due) until X sends an
            // event; a stop request wakes it at once.
            int timeoutMs = -1;
            if (due || reattach) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now);
                timeoutMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
            }
            xcb_flush(c);
            pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake.get(), POLLIN, 0}};
            poll(fds, 2, timeoutMs);
        }
    }

    // Reconfigure on the capture thread. A failure is logged once, not at every
    // retry; the first success after it says so.
    bool Reattach() {
        std::string error;
        if (!Reconfigure(&error)) {
            if (!reattachFailing_) {
                HiLogPrint(LOG_CORE, LOG_ERROR, kLogDomain, kLogTag,
                           "%{public}s; retrying at every capture", error.c_str());
                reattachFailing_ = true;
            }
            return false;
        }
        if (reattachFailing_) {
            const SourceGeometry geometry = Geometry();
            HiLogPrint(LOG_CORE, LOG_INFO, kLogDomain, kLogTag,
                       "X display '%{public}s' readable again at %{public}dx%{public}d",
                       name_.c_str(), geometry.width, geometry.height);
            reattachFailing_ = false;
        }
        return true;
    }

    Connection connection_;
    const xcb_window_t root_;
    const std::string name_;
    const std::shared_ptr<ScreenCanvas> canvas_;
    SourceObserver *const observer_;
    const int randrEventBase_;
    const xcb_damage_damage_t damage_;
    const int damageEventBase_;
    // Capture thread only (after Start). Both null, or both of the screen's size;
    // `front_` is the one published last (-1: none of them yet).
    std::unique_ptr<ShmSegment> segments_[2];
    int front_ = -1;
    bool reattachFailing_ = false;  // capture thread only

    mutable std::mutex stateMutex_;
    SourceGeometry geometry_;
    double cpuNs_ = 0;
    uint64_t frames_ = 0;

    std::jthread thread_;
};

}  // namespace

std::unique_ptr<DisplaySource> CreateX11Source(std::string_view name,
                                               std::shared_ptr<ScreenCanvas> canvas,
                                               SourceObserver *observer, std::string *error) {
    std::string scratch;
    std::string &message = error != nullptr ? *error : scratch;
    const std::string displayName(name);
    const std::string shown =
        displayName.empty() ? std::string(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "")
                            : displayName;
    int screenNumber = 0;
    Connection connection(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get()) != 0) {
        message = "cannot open X display '" + shown + "'";
        return nullptr;
    }
    xcb_connection_t *c = connection.get();
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        message = "X display '" + shown + "' has no screen " + std::to_string(screenNumber);
        return nullptr;
    }
    const xcb_screen_t *screen = it.data;
    bool fourBytesPerPixel = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
        if (f.data->depth == screen->root_depth && f.data->bits_per_pixel == 32) {
            fourBytesPerPixel = true;
        }
    }
    if ((screen->root_depth != 24 && screen->root_depth != 32) || !fourBytesPerPixel) {
        message = "X display '" + shown + "' has an unsupported depth " +
                  std::to_string(screen->root_depth);
        return nullptr;
    }
    Reply<xcb_shm_query_version_reply_t> shm(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    if (!shm) {
        message = "X display '" + shown + "' has no MIT-SHM extension";
        return nullptr;
    }
    int randrEventBase = -1;
    const xcb_query_extension_reply_t *randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr != nullptr && randr->present) {
        randrEventBase = randr->first_event;
        xcb_randr_select_input(c, screen->root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
        xcb_flush(c);
    }
    // Damage reports, when the server has them, say when the screen was drawn on.
    int damageEventBase = -1;
    xcb_damage_damage_t damage = 0;
    const xcb_query_extension_reply_t *damageExtension = xcb_get_extension_data(c, &xcb_damage_id);
    if (damageExtension != nullptr && damageExtension->present) {
        Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
            c, xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
            nullptr));
        if (version) {
            damage = xcb_generate_id(c);
            xcb_damage_create(c, damage, screen->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
            damageEventBase = damageExtension->first_event;
            xcb_flush(c);
        }
    }
    const xcb_window_t root = screen->root;
    auto source = std::make_unique<X11Source>(std::move(connection), root, shown, std::move(canvas),
                                              observer, randrEventBase, damage, damageEventBase);
    message.clear();
    if (!source->Start(&message)) {
        return nullptr;
    }
    return source;
}

}  // namespace mirrax::platform::display
