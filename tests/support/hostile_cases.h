#pragma once

#include "tests/support/loopback_server.h"

#include <ostream>
#include <string>
#include <vector>

namespace pelvoran::test {

/// One way for the publisher's server to misbehave, on the update and the
/// comment path alike.
struct HostileCase {
    std::string name;
    bool refuse = false;       // nothing listens: connections are refused
    ServerBehaviour behaviour; // otherwise: how the server answers
    bool offersUpdate = false; // the one case where an offer is due
    /// The comment arrives (an answer from 200 to 399): thanks and the
    /// window closes. Otherwise the failure box, and the window keeps its text.
    bool commentDelivered = false;
    /// The request component has to wait for its time limit (5 s); every
    /// other case must end at once.
    bool waitsForTheLimit = false;
};

inline void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

/// Every case of the hostile-server suite.
std::vector<HostileCase> hostileCases();

} // namespace pelvoran::test
