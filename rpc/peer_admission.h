// Loopback admission of the service methods.
#ifndef MIRRAX_RPC_PEER_ADMISSION_H
#define MIRRAX_RPC_PEER_ADMISSION_H

#include <string_view>

// A caller is admitted when its peer string (for example "ipv4:127.0.0.1:53122")
// contains "127.0.0.1" anywhere. It is a plain substring test: "ipv6:[::1]:…" is
// refused, "ipv6:[::ffff:127.0.0.1]:…" and "ipv4:127.0.0.12:…" are admitted.
inline bool IsLoopbackPeer(std::string_view peer) {
    return peer.find("127.0.0.1") != std::string_view::npos;
}

#endif  // MIRRAX_RPC_PEER_ADMISSION_H
