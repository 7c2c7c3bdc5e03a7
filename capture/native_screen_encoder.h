// Control surface of the capture pipeline.
#ifndef MIRRAX_CAPTURE_NATIVE_SCREEN_ENCODER_H
#define MIRRAX_CAPTURE_NATIVE_SCREEN_ENCODER_H

#include <cstdint>

#include "common/mirrax_log.h"

// Starts a mirroring run; in stream mode returns only when the run has been stopped
// with notification.
MIRRAX_EXPORT void NativeStartScreenCopy();
// Stops the current run; returns its frame count, 0 when none was current.
MIRRAX_EXPORT int32_t NativeStopScreenCopy();
// Asks the current encoder for a key frame; 6 when none is current.
MIRRAX_EXPORT int32_t RequestIDRFrame();

#endif  // MIRRAX_CAPTURE_NATIVE_SCREEN_ENCODER_H
