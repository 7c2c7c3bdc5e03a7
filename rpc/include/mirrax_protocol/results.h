// What the numbers in ReplyEndMessage.result mean, for the server and its clients.
#ifndef MIRRAX_RPC_INCLUDE_MIRRAX_PROTOCOL_RESULTS_H
#define MIRRAX_RPC_INCLUDE_MIRRAX_PROTOCOL_RESULTS_H

#include <cstdint>

namespace mirrax::protocol {

// onRequestIDRFrame's result when no run is going (there is no encoder to ask).
inline constexpr int32_t kNoStreamRunning = 6;

}  // namespace mirrax::protocol

#endif  // MIRRAX_RPC_INCLUDE_MIRRAX_PROTOCOL_RESULTS_H
