// What the head-to-head animator and bare loop share: an X connection to one screen,
// and System V shared-memory segments attached to the X server (MIT-SHM) that own
// their mapping.
#ifndef MIRRAX_BENCH_HEAD_TO_HEAD_X11_SHM_H
#define MIRRAX_BENCH_HEAD_TO_HEAD_X11_SHM_H

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "monotonic_us.h"

namespace mirrax::h2h {

struct ConnectionDeleter {
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// A connected X display with a 24- or 32-bit screen at 4 bytes per pixel and MIT-SHM.
struct Display {
    Connection connection;
    xcb_window_t root = 0;
    uint8_t depth = 0;
    int width = 0;
    int height = 0;
};

// Opens `name` (":N"); on failure returns false and says why in `error`.
bool OpenDisplay(const std::string &name, Display *display, std::string *error);

// A segment of `bytes`, mapped here and attached to the X server. It is marked for
// removal at once, so it disappears when both sides detach, even after a crash.
class ShmSegment {
public:
    static std::unique_ptr<ShmSegment> Create(xcb_connection_t *connection, size_t bytes,
                                              std::string *error);
    ~ShmSegment();
    ShmSegment(const ShmSegment &) = delete;
    ShmSegment &operator=(const ShmSegment &) = delete;

    uint32_t Seg() const { return seg_; }
    uint8_t *Data() const { return data_; }
    size_t Size() const { return size_; }

private:
    ShmSegment(xcb_connection_t *connection, uint8_t *data, size_t size)
        : connection_(connection), data_(data), size_(size) {}

    xcb_connection_t *connection_;
    uint8_t *data_;
    size_t size_;
    uint32_t seg_ = 0;
    bool attached_ = false;
};

// Waits until the X server has handled every request sent before (one round trip).
bool RoundTrip(xcb_connection_t *connection);

}  // namespace mirrax::h2h

#endif  // MIRRAX_BENCH_HEAD_TO_HEAD_X11_SHM_H
