// Loopback admission of the service methods.
#ifndef MIRRAX_RPC_PEER_ADMISSION_H
#define MIRRAX_RPC_PEER_ADMISSION_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <string_view>

namespace mirrax::rpc_detail {

// Splits "ADDR:PORT" at its last colon and checks that PORT is a decimal port number.
// Returns the ADDR part, or an empty view when the text is not of that form.
inline std::string_view AddressBeforePort(std::string_view hostPort) {
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return {};
    }
    const std::string_view port = hostPort.substr(colon + 1);
    if (port.empty() || port.size() > 5) {
        return {};
    }
    uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return {};
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) {
        return {};
    }
    return hostPort.substr(0, colon);
}

// Whether `text` starts with `prefix`, ignoring the case of ASCII letters.
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; };
        if (upper(text[i]) != upper(prefix[i])) {
            return false;
        }
    }
    return true;
}

// Strips the brackets around an IPv6 address, written plainly ("[ADDR]") or
// URI-escaped ("%5BADDR%5D", the form gRPC 1.51 prints in its peer strings). Returns
// an empty view when the text is not bracketed.
inline std::string_view Unbracketed(std::string_view text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        return text.substr(1, text.size() - 2);
    }
    constexpr std::string_view kOpen = "%5B";
    constexpr std::string_view kClose = "%5D";
    if (text.size() > kOpen.size() + kClose.size() && StartsWithNoCase(text, kOpen) &&
        StartsWithNoCase(text.substr(text.size() - kClose.size()), kClose)) {
        return text.substr(kOpen.size(), text.size() - kOpen.size() - kClose.size());
    }
    return {};
}

// inet_pton needs a terminated string: texts longer than any address, or with a NUL
// inside (inet_pton would stop there), fail.
template <int Family, typename Out>
bool ParseAddress(std::string_view text, Out *out) {
    char buffer[INET6_ADDRSTRLEN + 1] = {};
    if (text.empty() || text.size() >= sizeof(buffer) ||
        text.find('\0') != std::string_view::npos) {
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    return inet_pton(Family, buffer, out) == 1;
}

// An IPv4 address (network byte order) in 127.0.0.0/8, written with "127.0.0.1" in
// its text: 127.0.0.1 itself and 127.0.0.1x / 127.0.0.1xx, but not 127.0.0.2.
inline bool IsAdmittedIpv4(const uint8_t (&octets)[4], std::string_view text) {
    return octets[0] == 127 && text.find("127.0.0.1") != std::string_view::npos;
}

}  // namespace mirrax::rpc_detail

// Whether a caller, given by its gRPC peer string, may use the service. Admitted are
// exactly the loopback callers whose address is written with "127.0.0.1" in it:
//   "ipv4:A.B.C.D:PORT"                 A.B.C.D in 127.0.0.0/8, e.g. 127.0.0.1, 127.0.0.12
//   "ipv6:[::ffff:A.B.C.D]:PORT"        the IPv4-mapped form of such an address, also
//   "ipv6:%5B::ffff:A.B.C.D%5D:PORT"    with URI-escaped brackets
// Everything else is refused: the IPv6 loopback [::1], IPv4-compatible addresses such
// as [::127.0.0.1] (not loopback), other IPv4 loopback addresses (127.0.0.2), non-
// loopback addresses that merely contain the text (10.127.0.1), unix sockets, and
// anything that does not parse.
inline bool IsLoopbackPeer(std::string_view peer) {
    using namespace mirrax::rpc_detail;
    constexpr std::string_view kIpv4 = "ipv4:";
    constexpr std::string_view kIpv6 = "ipv6:";
    if (peer.substr(0, kIpv4.size()) == kIpv4) {
        const std::string_view address = AddressBeforePort(peer.substr(kIpv4.size()));
        in_addr v4{};
        if (!ParseAddress<AF_INET>(address, &v4)) {
            return false;
        }
        uint8_t octets[4];
        std::memcpy(octets, &v4, sizeof(octets));
        return IsAdmittedIpv4(octets, address);
    }
    if (peer.substr(0, kIpv6.size()) == kIpv6) {
        const std::string_view address = Unbracketed(AddressBeforePort(peer.substr(kIpv6.size())));
        in6_addr v6{};
        if (!ParseAddress<AF_INET6>(address, &v6) || !IN6_IS_ADDR_V4MAPPED(&v6)) {
            return false;
        }
        uint8_t octets[4];
        std::memcpy(octets, &v6.s6_addr[12], sizeof(octets));
        return IsAdmittedIpv4(octets, address);
    }
    return false;
}

#endif  // MIRRAX_RPC_PEER_ADMISSION_H
