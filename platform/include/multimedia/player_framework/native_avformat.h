// OH_AVFormat: a typed key/value description of a media format.
#ifndef NATIVE_AVFORMAT_H
#define NATIVE_AVFORMAT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OH_AVFormat OH_AVFormat;

typedef enum OH_AVPixelFormat {
    AV_PIXEL_FORMAT_YUVI420 = 1,
    AV_PIXEL_FORMAT_NV12 = 2,
    AV_PIXEL_FORMAT_NV21 = 3,
    AV_PIXEL_FORMAT_SURFACE_FORMAT = 4,  // whatever the input surface carries
    AV_PIXEL_FORMAT_RGBA = 5,
    AV_PIXEL_FORMAT_RGBA1010102 = 6,
} OH_AVPixelFormat;

struct OH_AVFormat *OH_AVFormat_Create(void);
struct OH_AVFormat *OH_AVFormat_CreateVideoFormat(const char *mimeType, int32_t width,
                                                  int32_t height);
struct OH_AVFormat *OH_AVFormat_CreateAudioFormat(const char *mimeType, int32_t sampleRate,
                                                  int32_t channelCount);
void OH_AVFormat_Destroy(struct OH_AVFormat *format);
bool OH_AVFormat_Copy(struct OH_AVFormat *to, struct OH_AVFormat *from);

// Setters fail on a null format, key or value, and when the key already holds a value
// of another type.
bool OH_AVFormat_SetIntValue(struct OH_AVFormat *format, const char *key, int32_t value);
bool OH_AVFormat_SetLongValue(struct OH_AVFormat *format, const char *key, int64_t value);
bool OH_AVFormat_SetFloatValue(struct OH_AVFormat *format, const char *key, float value);
bool OH_AVFormat_SetDoubleValue(struct OH_AVFormat *format, const char *key, double value);
bool OH_AVFormat_SetStringValue(struct OH_AVFormat *format, const char *key, const char *value);
bool OH_AVFormat_SetBuffer(struct OH_AVFormat *format, const char *key, const uint8_t *addr,
                           size_t size);

// Getters fail on a null argument, an absent key or a value of another type.
bool OH_AVFormat_GetIntValue(struct OH_AVFormat *format, const char *key, int32_t *out);
bool OH_AVFormat_GetLongValue(struct OH_AVFormat *format, const char *key, int64_t *out);
bool OH_AVFormat_GetFloatValue(struct OH_AVFormat *format, const char *key, float *out);
bool OH_AVFormat_GetDoubleValue(struct OH_AVFormat *format, const char *key, double *out);
// *out stays valid as long as the format and the key's value.
bool OH_AVFormat_GetStringValue(struct OH_AVFormat *format, const char *key, const char **out);
bool OH_AVFormat_GetBuffer(struct OH_AVFormat *format, const char *key, uint8_t **addr,
                           size_t *size);
// A readable dump of every key, owned by the format.
const char *OH_AVFormat_DumpInfo(struct OH_AVFormat *format);

#ifdef __cplusplus
}
#endif

#endif  // NATIVE_AVFORMAT_H
