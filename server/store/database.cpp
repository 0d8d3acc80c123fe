#include "server/store/database.h"

#include "server/engine/transaction.h"

namespace pelvoran::server {

Database::Database(const std::string& location, std::chrono::milliseconds busyTimeout,
                   Deadline deadline)
    : connection_(openConnection(location, busyTimeout, deadline)), audit_(*connection_),
      comments_(*connection_, audit_), answers_(*connection_, audit_), outbox_(*connection_),
      releases_(*connection_, audit_), sessions_(*connection_), field_(*connection_),
      downloads_(*connection_) {
    migrate();
}

Database::~Database() = default;

int Database::schemaVersion() {
    return connection_->schemaVersion();
}

void Database::migrate() {
    connection_->migrate();
}

std::optional<SynchronousStandbys> Database::synchronousStandbys() {
    return connection_->synchronousStandbys();
}

ServerPeers& Database::peers() {
    return connection_->peers();
}

bool Database::takesDeadlines() const {
    return connection_->takesDeadlines();
}

bool Database::mendsItself() const {
    return connection_->mendsItself();
}

std::optional<std::int64_t> Database::serverBytes() {
    return connection_->serverBytes();
}

std::int64_t Database::dataVersion() {
    return connection_->changeCounter();
}

void Database::tryWrite() {
    Transaction transaction(*connection_);
    transaction.rollback();
}

void Database::setDeadline(Deadline until) {
    connection_->setDeadline(until);
}

bool Database::sessionAlive(std::int64_t session) {
    return connection_->sessionAlive(session);
}

void Database::copyInto(const std::string& path) {
    connection_->copyInto(path);
}

void Database::keepNumbersAbove(const std::map<std::string, std::int64_t>& numbers) {
    Transaction transaction(*connection_);
    connection_->keepNumbersAbove(numbers);
    transaction.commit();
}

std::vector<std::string> Database::integrityProblems() {
    return connection_->integrityProblems();
}

bool Database::rebuildIndexes() {
    return connection_->rebuildIndexes();
}

void Database::interrupt() {
    connection_->interrupt();
}

} // namespace pelvoran::server
