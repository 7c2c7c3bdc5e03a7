// OHNativeWindow handles: each carries a strong reference to a surface.
#include <new>

#include "handle_registry.h"
#include "native_window/external_window.h"
#include "window.h"

namespace {

mirrax::media::HandleSet<NativeWindow> &Windows() {
    static mirrax::media::HandleSet<NativeWindow> windows;
    return windows;
}

}  // namespace

namespace mirrax::media {

OHNativeWindow *MakeNativeWindow(OHOS::sptr<OHOS::Surface> surface) {
    auto *window = new (std::nothrow) NativeWindow{std::move(surface)};
    if (window != nullptr) {
        Windows().Add(window);
    }
    return window;
}

}  // namespace mirrax::media

extern "C" {

OHNativeWindow *OH_NativeWindow_CreateNativeWindow(void *pSurface) {
    if (pSurface == nullptr) {
        return nullptr;
    }
    auto *surface = static_cast<OHOS::sptr<OHOS::Surface> *>(pSurface);
    return mirrax::media::MakeNativeWindow(*surface);
}

void OH_NativeWindow_DestroyNativeWindow(OHNativeWindow *window) {
    if (window == nullptr || !Windows().Remove(window)) {
        return;
    }
    delete window;
}

}  // extern "C"
