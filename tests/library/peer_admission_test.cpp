#include "rpc/peer_admission.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One row per class. gRPC prints a caller on [::1] as "ipv6:%5B::1%5D:45318", and IPv4
// callers of a dual-stack listener as "ipv4:127.0.0.1:…".
TEST(PeerAdmission, AdmitsOnlyLoopbackWrittenWith127001) {
    const struct {
        std::string peer;
        bool admitted;
    } cases[] = {
        {"ipv4:127.0.0.1:53122", true},
        {"ipv4:127.0.0.2:40000", false},  // other 127/8 text
        {"ipv6:%5B::ffff:127.0.0.1%5D:40000", true},
        {"ipv6:%5B::1%5D:45318", false},
        {"ipv6:[::127.0.0.1]:40000", false},  // IPv4-compatible, not mapped
        {"ipv4:10.127.0.1:5", false},         // other hosts
        {"ipv6:[64:ff9b::127.0.0.1]:40000", false},
        {"unix:/tmp/127.0.0.1.sock", false},
        {"ipv4:127.0.0.1:65536", false},  // malformed
        {std::string("ipv4:127.0.0.1\0:80", 18), false},
        {"ipv6:[::ffff:127.0.0.1%25lo]:40000", false},
        {"", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(IsLoopbackPeer(c.peer), c.admitted) << '"' << c.peer << '"';
    }
}

}  // namespace
