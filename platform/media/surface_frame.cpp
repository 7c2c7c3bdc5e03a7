#include "surface_frame.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

namespace mirrax::media {

bool SurfaceFrameLender::Lend(const OHOS::sptr<OHOS::Surface> &surface, OHOS::SurfaceBuffer *buffer,
                              AVFrame *frame) {
    av_frame_unref(frame);
    Loan *loan = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Loan &candidate : loans_) {
            if (!candidate.surface) {
                loan = &candidate;
                loan->lender = this;
                loan->surface = surface;
                loan->buffer = buffer;
                break;
            }
        }
    }
    if (loan == nullptr || buffer->format != OHOS::PixelFormat::kI420) {
        if (loan != nullptr) {
            Return(loan, nullptr);
        } else {
            surface->ReleaseBuffer(buffer);
        }
        return false;
    }
    frame->buf[0] = av_buffer_create(buffer->data.data(), buffer->data.size(), &Return, loan,
                                     AV_BUFFER_FLAG_READONLY);
    if (frame->buf[0] == nullptr) {
        Return(loan, nullptr);
        return false;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = buffer->width;
    frame->height = buffer->height;
    for (int plane = 0; plane < 3; ++plane) {
        frame->data[plane] = buffer->Plane(plane);
        frame->linesize[plane] = buffer->PlaneStride(plane);
    }
    return true;
}

size_t SurfaceFrameLender::Outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const Loan &loan : loans_) {
        count += loan.surface ? 1 : 0;
    }
    return count;
}

void SurfaceFrameLender::Return(void *opaque, unsigned char *) {
    auto *loan = static_cast<Loan *>(opaque);
    OHOS::sptr<OHOS::Surface> surface;
    OHOS::SurfaceBuffer *buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(loan->lender->mutex_);
        surface = std::move(loan->surface);
        loan->surface = nullptr;
        buffer = loan->buffer;
        loan->buffer = nullptr;
    }
    surface->ReleaseBuffer(buffer);
}

}  // namespace mirrax::media
