// The native window structure behind OHNativeWindow: a handle carrying a surface.
#ifndef OHOS_NATIVE_WINDOW_INNER_H
#define OHOS_NATIVE_WINDOW_INNER_H

#ifdef __cplusplus
#include "refbase.h"
#include "surface.h"

struct NativeWindow {
    OHOS::sptr<OHOS::Surface> surface;
};
#endif

#endif  // OHOS_NATIVE_WINDOW_INNER_H
