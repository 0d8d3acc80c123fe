#pragma once

#include "server/store/store_texts.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvoran::server {

class Connection;

/// Where a publisher's action was taken, as the release history and the
/// audit log name it (store_text holds the words).
using store_text::kByCommandLine;
using store_text::kByPages;

/// One line of the audit log.
struct AuditEntry {
    std::int64_t id = 0;
    std::chrono::sys_seconds time{};
    std::string action; // what was done, as the publisher reads it
    std::string detail;
    std::string source;  // kByCommandLine or kByPages
    std::string address; // the admin's own address, on logins only
};

struct AuditPage {
    std::vector<AuditEntry> entries;
    std::int64_t total = 0;
};

/// The publisher's acts, a log that only grows (its triggers refuse any
/// change or deletion). The stores log their own acts here, in the
/// transaction of the act.
class AuditLog {
public:
    explicit AuditLog(Connection& connection) : connection_(connection) {}

    /// Appends one entry, at now. `address` only for a login: no other
    /// client address is kept.
    void append(const std::string& action, const std::string& detail, const std::string& source,
                const std::string& address = "");
    /// Entries, newest first.
    AuditPage page(std::int64_t offset, std::int64_t limit);

private:
    Connection& connection_;
};

} // namespace pelvoran::server
