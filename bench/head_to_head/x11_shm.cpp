#include "x11_shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <cerrno>
#include <cstring>

namespace mirrax::h2h {

bool OpenDisplay(const std::string &name, Display *display, std::string *error) {
    int screenNumber = 0;
    Connection connection(xcb_connect(name.c_str(), &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get()) != 0) {
        *error = "cannot open X display '" + name + "'";
        return false;
    }
    xcb_connection_t *c = connection.get();
    const xcb_setup_t *setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        *error = "X display '" + name + "' has no screen " + std::to_string(screenNumber);
        return false;
    }
    const xcb_screen_t *screen = it.data;
    bool fourBytes = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
        if (f.data->depth == screen->root_depth && f.data->bits_per_pixel == 32) {
            fourBytes = true;
        }
    }
    if ((screen->root_depth != 24 && screen->root_depth != 32) || !fourBytes) {
        *error = "X display '" + name + "' has depth " + std::to_string(screen->root_depth) +
                 "; 24 or 32 at 4 bytes per pixel is needed";
        return false;
    }
    Reply<xcb_shm_query_version_reply_t> shm(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    if (!shm) {
        *error = "X display '" + name + "' has no MIT-SHM extension";
        return false;
    }
    display->root = screen->root;
    display->depth = screen->root_depth;
    display->width = screen->width_in_pixels;
    display->height = screen->height_in_pixels;
    display->connection = std::move(connection);
    return true;
}

std::unique_ptr<ShmSegment> ShmSegment::Create(xcb_connection_t *connection, size_t bytes,
                                               std::string *error) {
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
        *error = "shmget of " + std::to_string(bytes) + " bytes failed: " + std::strerror(errno);
        return nullptr;
    }
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        *error = std::string("shmat failed: ") + std::strerror(errno);
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
        *error = "the X server refused a shared-memory segment";
        return nullptr;
    }
    segment->seg_ = seg;
    segment->attached_ = true;
    return segment;
}

ShmSegment::~ShmSegment() {
    if (attached_) {
        xcb_shm_detach(connection_, seg_);
        xcb_flush(connection_);
    }
    shmdt(data_);
}

bool RoundTrip(xcb_connection_t *connection) {
    Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    return reply != nullptr;
}

}  // namespace mirrax::h2h
