#include "rpc/peer_admission.h"

#include <gtest/gtest.h>

namespace {

struct PeerCase {
    const char *peer;
    bool admitted;
};

void PrintTo(const PeerCase &c, std::ostream *os) { *os << c.peer; }

class PeerAdmission : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerAdmission, SubstringOfLoopbackAddress) {
    EXPECT_EQ(IsLoopbackPeer(GetParam().peer), GetParam().admitted) << GetParam().peer;
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerAdmission,
                         ::testing::Values(PeerCase{"ipv4:127.0.0.1:53122", true},
                                           PeerCase{"ipv4:127.0.0.1:1", true},
                                           PeerCase{"ipv6:[::1]:53122", false},
                                           PeerCase{"ipv6:[::ffff:127.0.0.1]:40000", true},
                                           PeerCase{"ipv4:127.0.0.12:40000", true},
                                           PeerCase{"ipv4:10.0.0.5:40000", false},
                                           PeerCase{"", false}),
                         [](const auto &info) { return "Peer" + std::to_string(info.index); });

}  // namespace
