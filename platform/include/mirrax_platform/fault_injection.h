// Test-only fault switch: "the next N calls of X return code C". Compiled into the
// platform library; the library and the tools never call the setters.
#ifndef MIRRAX_PLATFORM_FAULT_INJECTION_H
#define MIRRAX_PLATFORM_FAULT_INJECTION_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mirrax::platform {

// Arms a fault for the platform call named `call` (the SDK name, for example
// "OH_VideoEncoder_Configure" or "ScreenManager::MakeMirror"). The next `times` calls
// return `code` instead of doing their work; calls that return a handle or an object
// return null instead. `times` < 0 arms the fault until cleared.
void InjectFault(std::string_view call, int64_t code, int times = 1);

// Makes the next call of `call` take `delay` longer: it waits in the calling thread,
// then does its work (or takes an armed fault).
void InjectDelay(std::string_view call, std::chrono::milliseconds delay);

// Disarms every fault and delay.
void ClearFaults();

// Used by the platform implementation: waits out an armed delay of `call`, then
// consumes one armed fault of it, if any.
std::optional<int64_t> TakeFault(std::string_view call);

}  // namespace mirrax::platform

#endif  // MIRRAX_PLATFORM_FAULT_INJECTION_H
