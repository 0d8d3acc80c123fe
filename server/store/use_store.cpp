#include "server/store/use_store.h"

#include "server/store/sqlite_support.h"
#include "server/store/transaction.h"

namespace pelvoran::server {

void UseStore::add(const UseCounts& checksPerDay) {
    Transaction transaction(connection_);
    Statement s(connection_, "INSERT INTO use (day, checks) VALUES (?, ?) "
                             "ON CONFLICT (day) DO UPDATE SET checks = checks + excluded.checks");
    for (const auto& [day, checks] : checksPerDay) {
        s.bind(1, day);
        s.bind(2, checks);
        s.step();
        s.reset();
    }
    transaction.commit();
}

UseCounts UseStore::since(std::chrono::local_days from) {
    Statement s(connection_, "SELECT day, checks FROM use WHERE day >= ?");
    s.bind(1, from);
    UseCounts out;
    while (s.step())
        out[s.day(0)] = s.integer(1);
    return out;
}

} // namespace pelvoran::server
