#include "x11_source.h"

#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
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

int64_t ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A System V shared-memory segment attached to this process and to the X server.
// Marked for removal at once, so it disappears when both detach.
class ShmSegment {
public:
    static std::unique_ptr<ShmSegment> Create(xcb_connection_t *connection, size_t bytes,
                                              std::string *error) {
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0) {
            *error = "shmget failed: " + std::string(std::strerror(errno));
            return nullptr;
        }
        void *address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void *>(-1)) {
            *error = "shmat failed: " + std::string(std::strerror(errno));
            shmctl(id, IPC_RMID, nullptr);
            return nullptr;
        }
        std::unique_ptr<ShmSegment> segment(
            new ShmSegment(connection, static_cast<uint8_t *>(address), bytes));
        const xcb_shm_seg_t seg = xcb_generate_id(connection);
        Reply<xcb_generic_error_t> attachError(xcb_request_check(
            connection, xcb_shm_attach_checked(connection, seg, static_cast<uint32_t>(id), 0)));
        shmctl(id, IPC_RMID, nullptr);
        if (attachError) {
            *error = "the X server refused the shared-memory segment";
            return nullptr;
        }
        segment->seg_ = seg;
        segment->attached_ = true;
        return segment;
    }

    ~ShmSegment() {
        if (attached_) {
            xcb_shm_detach(connection_, seg_);
            xcb_flush(connection_);
        }
        shmdt(data_);
    }
    ShmSegment(const ShmSegment &) = delete;
    ShmSegment &operator=(const ShmSegment &) = delete;

    xcb_shm_seg_t Seg() const { return seg_; }
    const uint8_t *Data() const { return data_; }
    size_t Size() const { return size_; }

private:
    ShmSegment(xcb_connection_t *connection, uint8_t *data, size_t size)
        : connection_(connection), data_(data), size_(size) {}

    xcb_connection_t *connection_;
    uint8_t *data_;
    size_t size_;
    xcb_shm_seg_t seg_ = 0;
    bool attached_ = false;
};

// What one read of the screen came to.
enum class CaptureOutcome {
    kRead,       // the screen was read; a picture that differs was published
    kNoSegment,  // no segment is attached (a re-attach failed): attach before reading
    kFailed,     // the X server did not answer the read
};

class X11Source final : public DisplaySource {
public:
    X11Source(Connection connection, xcb_window_t root, std::string name,
              std::shared_ptr<ScreenCanvas> canvas, SourceObserver *observer, int randrEventBase)
        : connection_(std::move(connection)),
          root_(root),
          name_(std::move(name)),
          canvas_(std::move(canvas)),
          observer_(observer),
          randrEventBase_(randrEventBase) {}

    ~X11Source() override {
        thread_.request_stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        segment_.reset();  // detaches before the connection closes
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
        segment_.reset();
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, root_), nullptr));
        if (!geometry) {
            *error = "cannot query the geometry of X display '" + name_ + "'";
            return false;
        }
        const int width = geometry->width;
        const int height = geometry->height;
        const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
        segment_ = ShmSegment::Create(c, bytes, error);
        if (!segment_) {
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

    // Reads the screen into the segment and publishes it when it differs from the
    // current picture.
    CaptureOutcome Capture() {
        if (!segment_) {
            return CaptureOutcome::kNoSegment;
        }
        xcb_connection_t *c = connection_.get();
        const SourceGeometry geometry = Geometry();
        Reply<xcb_generic_error_t> error;
        xcb_generic_error_t *rawError = nullptr;
        Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            c,
            xcb_shm_get_image(c, root_, 0, 0, static_cast<uint16_t>(geometry.width),
                              static_cast<uint16_t>(geometry.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->Seg(), 0),
            &rawError));
        error.reset(rawError);
        if (!image) {
            return CaptureOutcome::kFailed;
        }
        const uint8_t *source = segment_->Data();
        const int width = geometry.width;
        const int height = geometry.height;
        const size_t rowBytes = static_cast<size_t>(width) * 4;
        canvas_->Update([&](Picture &picture, uint64_t) {
            bool changed = false;
            if (picture.width != width || picture.height != height) {
                ResizePicture(picture, width, height);
                picture.secureWindows.clear();
                changed = true;
            }
            // Copies only the rows that differ; an unchanged screen is no new frame.
            for (int y = 0; y < height; ++y) {
                const uint8_t *from = source + rowBytes * static_cast<size_t>(y);
                uint8_t *to = picture.Row(y);
                if (changed || std::memcmp(from, to, rowBytes) != 0) {
                    std::memcpy(to, from, rowBytes);
                    changed = true;
                }
            }
            return changed;
        });
        return CaptureOutcome::kRead;
    }

    // Handles queued X events; true when the screen size changed.
    bool DrainEvents() {
        bool resized = false;
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_.get())}) {
            const int type = event->response_type & 0x7F;
            if (randrEventBase_ >= 0 && type == randrEventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
                resized = true;
            }
        }
        return resized;
    }

    void Run(std::stop_token stop) {
        pthread_setname_np(pthread_self(), "x11-capture");
        using Clock = std::chrono::steady_clock;
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / kCaptureFps;
        Clock::time_point next = Clock::now() + period;
        std::mutex waitMutex;
        std::condition_variable_any wake;
        while (!stop.stop_requested()) {
            {
                std::unique_lock lock(waitMutex);
                wake.wait_until(lock, stop, next, [] { return false; });
            }
            if (stop.stop_requested()) {
                break;
            }
            next += period;
            if (Clock::now() > next) {
                next = Clock::now() + period;
            }
            if (xcb_connection_has_error(connection_.get()) != 0) {
                HiLogPrint(LOG_CORE, LOG_ERROR, kLogDomain, kLogTag,
                           "X display '%{public}s' connection lost; capture stopped",
                           name_.c_str());
                std::unique_lock lock(waitMutex);
                wake.wait(lock, stop, [] { return false; });
                break;
            }
            const int64_t cpu0 = ThreadCpuNs();
            // A size change needs a segment of the new size; a segment that could not
            // be attached is tried again at every capture until it can.
            if (DrainEvents() || Capture() == CaptureOutcome::kNoSegment) {
                const SourceGeometry before = Geometry();
                if (!Reattach()) {
                    continue;
                }
                Capture();
                const SourceGeometry after = Geometry();
                if (!(before == after) && observer_ != nullptr) {
                    observer_->OnSourceGeometry(after);
                }
            }
            std::lock_guard lock(stateMutex_);
            cpuNs_ += static_cast<double>(ThreadCpuNs() - cpu0);
            ++frames_;
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
    std::unique_ptr<ShmSegment> segment_;  // capture thread only (after Start); may be null
    bool reattachFailing_ = false;         // capture thread only

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
    const xcb_window_t root = screen->root;
    auto source = std::make_unique<X11Source>(std::move(connection), root, shown, std::move(canvas),
                                              observer, randrEventBase);
    message.clear();
    if (!source->Start(&message)) {
        return nullptr;
    }
    return source;
}

}  // namespace mirrax::platform::display
