// The encoder's callback thread: hands output buffers and errors to the user's
// callbacks one at a time, in order.
#include "media_log.h"
#include "video_encoder.h"

namespace mirrax::media {

void VideoEncoder::CallbackLoop() {
    SetThreadName("mirrax-venc-cb");
    while (true) {
        std::unique_lock<std::mutex> lock(mutex_);
        eventReady_.wait(lock, [this] { return stopping_ || !events_.empty(); });
        if (stopping_) {
            return;
        }
        const Event event = events_.front();
        events_.pop_front();
        const OH_AVCodecAsyncCallback callback = callback_;
        void *userData = userData_;
        OH_AVMemory *memory = nullptr;
        OH_AVCodecBufferAttr attr{};
        if (!event.isError) {
            OutputSlot &slot = slots_[event.index];
            slot.state = SlotState::kHeld;
            memory = &slot.memory;
            attr = slot.attr;
        }
        lock.unlock();
        if (event.isError) {
            if (callback.onError != nullptr) {
                callback.onError(handle_, event.errorCode, userData);
            }
        } else if (callback.onNeedOutputData != nullptr) {
            callback.onNeedOutputData(handle_, event.index, memory, &attr, userData);
        } else {
            FreeOutputData(event.index);  // nobody to hand it to
        }
    }
}

}  // namespace mirrax::media
