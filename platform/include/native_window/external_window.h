// Native window handles.
#ifndef NDK_INCLUDE_EXTERNAL_NATIVE_WINDOW_H_
#define NDK_INCLUDE_EXTERNAL_NATIVE_WINDOW_H_

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NativeWindow OHNativeWindow;

// `pSurface` points to an OHOS::sptr<OHOS::Surface>.
OHNativeWindow *OH_NativeWindow_CreateNativeWindow(void *pSurface);
// Frees the handle; the surface it carries lives on while others hold it.
void OH_NativeWindow_DestroyNativeWindow(OHNativeWindow *window);

#ifdef __cplusplus
}
#endif

#endif  // NDK_INCLUDE_EXTERNAL_NATIVE_WINDOW_H_
