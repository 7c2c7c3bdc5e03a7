// Hands a surface's I420 picture to libavcodec without copying it: the AVFrame
// references the buffer's planes, and the buffer goes back to its surface when the
// last reference to the frame's data is dropped (by the encoder replacing its
// current picture, or by libavcodec once x264 has taken its own copy).
#ifndef MIRRAX_PLATFORM_MEDIA_SURFACE_FRAME_H
#define MIRRAX_PLATFORM_MEDIA_SURFACE_FRAME_H

#include <array>
#include <mutex>

#include "surface.h"

struct AVFrame;

namespace mirrax::media {

class SurfaceFrameLender {
public:
    SurfaceFrameLender() = default;
    // Every frame lent must have been released (its references dropped) first.
    ~SurfaceFrameLender() = default;
    SurfaceFrameLender(const SurfaceFrameLender &) = delete;
    SurfaceFrameLender &operator=(const SurfaceFrameLender &) = delete;

    // Makes `frame` (unreferenced first) an I420 picture that references `buffer`,
    // acquired from `surface`. On failure the buffer is released at once and false
    // returned.
    bool Lend(const OHOS::sptr<OHOS::Surface> &surface, OHOS::SurfaceBuffer *buffer,
              AVFrame *frame);

    // Buffers lent and not yet back in their surface.
    size_t Outstanding() const;

private:
    struct Loan {
        SurfaceFrameLender *lender = nullptr;
        OHOS::sptr<OHOS::Surface> surface;  // null: the loan is free
        OHOS::SurfaceBuffer *buffer = nullptr;
    };
    static void Return(void *opaque, unsigned char *data);

    // More than a surface has buffers: a loan is never what runs out.
    mutable std::mutex mutex_;
    std::array<Loan, 8> loans_{};
};

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_SURFACE_FRAME_H
