// A block of memory handed between the application and a codec or muxer.
#ifndef NATIVE_AVMEMORY_H
#define NATIVE_AVMEMORY_H

#include <stdint.h>

#include "native_averrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OH_AVMemory OH_AVMemory;

// A new block of `size` bytes owned by the caller; NULL when size <= 0.
OH_AVMemory *OH_AVMemory_Create(int32_t size);
// Start of the block's bytes; NULL for an invalid block.
uint8_t *OH_AVMemory_GetAddr(struct OH_AVMemory *mem);
// Capacity in bytes; -1 for an invalid block.
int32_t OH_AVMemory_GetSize(struct OH_AVMemory *mem);
// Frees a block made by OH_AVMemory_Create. A codec's own buffers are refused with
// AV_ERR_INVALID_VAL.
OH_AVErrCode OH_AVMemory_Destroy(struct OH_AVMemory *mem);

#ifdef __cplusplus
}
#endif

#endif  // NATIVE_AVMEMORY_H
