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
};

inline void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

/// Every case of the hostile-server suite.
std::vector<HostileCase> hostileCases();

} // namespace pelvoran::test
