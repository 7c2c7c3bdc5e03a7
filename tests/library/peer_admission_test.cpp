#include "rpc/peer_admission.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PeerCase {
    const char *name;
    std::string peer;
    bool admitted;
};

void PrintTo(const PeerCase &c, std::ostream *os) { *os << '"' << c.peer << '"'; }

class PeerAdmission : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerAdmission, OnlyLoopbackAddressesWrittenWith127001) {
    EXPECT_EQ(IsLoopbackPeer(GetParam().peer), GetParam().admitted) << GetParam().peer;
}

// The IPv6 rows use both bracket forms: gRPC 1.51 prints "ipv6:%5B::1%5D:45318" for a
// caller on [::1], and IPv4 callers of a dual-stack listener as "ipv4:127.0.0.1:…".
INSTANTIATE_TEST_SUITE_P(
    Peers, PeerAdmission,
    ::testing::Values(
        // IPv4 loopback written with 127.0.0.1.
        PeerCase{"V4Loopback", "ipv4:127.0.0.1:53122", true},
        PeerCase{"V4LoopbackLowPort", "ipv4:127.0.0.1:1", true},
        PeerCase{"V4LoopbackHighPort", "ipv4:127.0.0.1:65535", true},
        PeerCase{"V4Loopback12", "ipv4:127.0.0.12:40000", true},
        PeerCase{"V4Loopback199", "ipv4:127.0.0.199:40000", true},
        // Other loopback addresses: the text lacks 127.0.0.1.
        PeerCase{"V4Loopback2", "ipv4:127.0.0.2:40000", false},
        PeerCase{"V4Loopback127_127", "ipv4:127.127.0.1:40000", false},
        // Not loopback: near addresses, and texts that contain 127.0.0.1 but no address.
        PeerCase{"V4Near", "ipv4:10.127.0.1:5", false},
        PeerCase{"V4Elsewhere", "ipv4:10.0.0.5:40000", false},
        PeerCase{"V4Prefixed", "ipv4:1127.0.0.1:5", false},
        PeerCase{"V4ExtraOctet", "ipv4:127.0.0.1.5:5", false},
        PeerCase{"V4LeadingZero", "ipv4:127.0.0.01:5", false},
        // IPv4 peer strings that do not parse.
        PeerCase{"V4NoPort", "ipv4:127.0.0.1", false},
        PeerCase{"V4EmptyPort", "ipv4:127.0.0.1:", false},
        PeerCase{"V4PortTooBig", "ipv4:127.0.0.1:65536", false},
        PeerCase{"V4PortNotNumber", "ipv4:127.0.0.1:http", false},
        PeerCase{"V4PortSigned", "ipv4:127.0.0.1:+80", false},
        PeerCase{"V4Trailer", "ipv4:127.0.0.1:80 x", false},
        PeerCase{"V4NoAddress", "ipv4::80", false},
        PeerCase{"V4Bracketed", "ipv4:[127.0.0.1]:80", false},
        PeerCase{"V4NulInside", std::string("ipv4:127.0.0.1\0:80", 18), false},
        // IPv4-mapped IPv6 under the same rule, in both bracket forms.
        PeerCase{"MappedLoopback", "ipv6:[::ffff:127.0.0.1]:40000", true},
        PeerCase{"MappedLoopbackEscaped", "ipv6:%5B::ffff:127.0.0.1%5D:40000", true},
        PeerCase{"MappedLoopbackEscapedLower", "ipv6:%5b::ffff:127.0.0.1%5d:40000", true},
        PeerCase{"MappedLoopbackUpperHex", "ipv6:[::FFFF:127.0.0.1]:40000", true},
        PeerCase{"MappedLoopbackLongForm", "ipv6:[0:0:0:0:0:ffff:127.0.0.1]:40000", true},
        PeerCase{"MappedLoopback12", "ipv6:[::ffff:127.0.0.12]:40000", true},
        PeerCase{"MappedLoopback2", "ipv6:[::ffff:127.0.0.2]:40000", false},
        PeerCase{"MappedLoopbackHex", "ipv6:[::ffff:7f00:1]:40000", false},
        PeerCase{"MappedElsewhere", "ipv6:[::ffff:10.127.0.1]:40000", false},
        // IPv6 addresses that are not IPv4-mapped.
        PeerCase{"V6Loopback", "ipv6:[::1]:53122", false},
        PeerCase{"V6LoopbackEscaped", "ipv6:%5B::1%5D:45318", false},
        PeerCase{"V4Compatible", "ipv6:[::127.0.0.1]:40000", false},
        PeerCase{"V4CompatibleEscaped", "ipv6:%5B::127.0.0.1%5D:40000", false},
        PeerCase{"Nat64", "ipv6:[64:ff9b::127.0.0.1]:40000", false},
        PeerCase{"V6Global", "ipv6:[2001:db8::127.0.0.1]:40000", false},
        // IPv6 peer strings that do not parse.
        PeerCase{"MappedUnbracketed", "ipv6:::ffff:127.0.0.1:40000", false},
        PeerCase{"MappedNoPort", "ipv6:[::ffff:127.0.0.1]", false},
        PeerCase{"MappedHalfEscaped", "ipv6:%5B::ffff:127.0.0.1]:40000", false},
        PeerCase{"MappedWithZone", "ipv6:[::ffff:127.0.0.1%25lo]:40000", false},
        PeerCase{"V6EmptyBrackets", "ipv6:[]:40000", false},
        // Other transports and garbage.
        PeerCase{"Unix", "unix:/tmp/127.0.0.1.sock", false},
        PeerCase{"UnixAbstract", "unix-abstract:127.0.0.1", false},
        PeerCase{"NoScheme", "127.0.0.1:5000", false},
        PeerCase{"UpperScheme", "IPV4:127.0.0.1:5000", false},
        PeerCase{"SchemeOnly", "ipv4:", false}, PeerCase{"Text", "127.0.0.1", false},
        PeerCase{"Empty", "", false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
