#include "server/store/audit_log.h"

#include "server/engine/sql.h"
#include "server/engine/store_time.h"

namespace pelvoran::server {

void AuditLog::append(const std::string& action, const std::string& detail,
                      const std::string& source, const std::string& address) {
    Statement s(connection_, "INSERT INTO audit_log (time, action, detail, source, address) "
                             "VALUES (?, ?, ?, ?, ?)");
    s.bind(1, secondsNow());
    s.bind(2, action);
    s.bind(3, detail);
    s.bind(4, source);
    s.bind(5, address);
    s.step();
}

AuditPage AuditLog::page(std::int64_t offset, std::int64_t limit) {
    AuditPage page;
    {
        Statement s(connection_, "SELECT count(*) FROM audit_log");
        s.step();
        page.total = s.integer(0);
    }
    Statement s(connection_, "SELECT id, time, action, detail, source, address FROM audit_log "
                             "ORDER BY id DESC LIMIT ? OFFSET ?");
    s.bind(1, limit);
    s.bind(2, offset);
    while (s.step())
        page.entries.push_back(
            {s.integer(0), s.seconds(1), s.text(2), s.text(3), s.text(4), s.text(5)});
    return page;
}

} // namespace pelvoran::server
