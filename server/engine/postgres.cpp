#include "server/engine/postgres.h"

#include "server/engine/engine_texts.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <limits>
#include <memory>
#include <poll.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace pelvoran::server {
namespace {

// Type numbers of PostgreSQL's catalogue (pg_type.oid), fixed for good.
constexpr Oid kBool = 16;
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kText = 25;

using Steady = std::chrono::steady_clock;

/// No deadline, in PgConnection::deadline_.
constexpr Steady::rep kNoDeadline = std::numeric_limits<Steady::rep>::max();

Steady::rep ticks(Deadline until) {
    return until ? until->time_since_epoch().count() : kNoDeadline;
}

// SQLSTATEs the publisher is told of in words of their own.
constexpr std::string_view kQueryCanceled = "57014";
constexpr std::string_view kLockNotAvailable = "55P03";

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct OptionsDeleter {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

/// Text PostgreSQL takes: valid UTF-8 without NUL, which it cannot hold.
/// Anything else becomes U+FFFD, as the SQLite store reads such bytes back.
std::string storable(const std::string& v) {
    const bool clean = v.find('\0') == std::string::npos && fromUtf8(v).has_value();
    if (clean)
        return v;
    Text t = fromUtf8Lenient(v);
    std::replace(t.begin(), t.end(), u'\0', u'\uFFFD');
    return toUtf8(t);
}

/// A bytea column's bytes, from its text form.
std::string unescaped(const char* v) {
    std::size_t length = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(v), &length);
    if (bytes == nullptr)
        throw StoreError(engine_text::kOutOfMemory);
    std::string out(reinterpret_cast<const char*>(bytes), length);
    PQfreemem(bytes);
    return out;
}

class PgStatement final : public StatementImpl {
public:
    PgStatement(const PgConnection& connection, const std::string& sql)
        : connection_(const_cast<PgConnection&>(connection)),
          sql_(postgresPlaceholders(sql, parameters_)) {}

    void bind(int i, std::int64_t v) override { set(i, std::to_string(v), kInt8, 0); }
    void bind(int i, const std::string& v) override { set(i, storable(v), kText, 0); }
    void bindBlob(int i, const std::string& v) override { set(i, v, kBytea, 1); }

    bool step() override {
        if (!result_)
            run();
        return ++row_ < PQntuples(result_.get());
    }
    void reset() override {
        result_.reset();
        row_ = -1;
        values_.clear();
        bound_.clear();
        types_.clear();
        formats_.clear();
    }
    std::int64_t integer(int col) override {
        if (PQgetisnull(result_.get(), row_, col))
            return 0;
        const char* v = PQgetvalue(result_.get(), row_, col);
        if (PQftype(result_.get(), col) == kBool)
            return v[0] == 't' ? 1 : 0;
        std::int64_t n = 0;
        std::from_chars(v, v + PQgetlength(result_.get(), row_, col), n);
        return n;
    }
    std::string text(int col) override {
        const char* v = PQgetvalue(result_.get(), row_, col);
        const int length = PQgetlength(result_.get(), row_, col);
        if (PQftype(result_.get(), col) == kBytea)
            return unescaped(v);
        return std::string(v, static_cast<std::size_t>(length));
    }

private:
    void set(int i, std::string v, Oid type, int format) {
        const auto at = static_cast<std::size_t>(i - 1);
        if (values_.size() <= at) {
            values_.resize(at + 1);
            bound_.resize(at + 1, false);
            types_.resize(at + 1, 0);
            formats_.resize(at + 1, 0);
        }
        values_[at] = std::move(v);
        bound_[at] = true;
        types_[at] = type;
        formats_[at] = format;
    }

    void run() {
        // Parameters the statement names and nothing bound are NULL, as in SQLite.
        const std::size_t n = std::max(values_.size(), parameters_);
        values_.resize(n);
        bound_.resize(n, false);
        types_.resize(n, 0);
        formats_.resize(n, 0);
        std::vector<const char*> pointers(n);
        std::vector<int> lengths(n);
        for (std::size_t i = 0; i < n; ++i) {
            pointers[i] = bound_[i] ? values_[i].c_str() : nullptr;
            lengths[i] = static_cast<int>(values_[i].size());
        }
        const PgConnection::Parameters parameters{static_cast<int>(n), types_.data(),
                                                  pointers.data(), lengths.data(), formats_.data()};
        Result result(connection_.roundTrip(sql_, &parameters));
        connection_.accept(result.get());
        result_ = std::move(result);
        row_ = -1;
    }

    PgConnection& connection_;
    std::size_t parameters_ = 0; // the highest $N of sql_, set as sql_ is made
    std::string sql_;
    std::vector<std::string> values_;
    std::vector<bool> bound_;
    std::vector<Oid> types_;
    std::vector<int> formats_;
    Result result_;
    int row_ = -1;
};

/// libpq's message without its trailing newline.
std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

/// `location` as libpq reads it, or null (with why in `error`, when libpq
/// says) when it cannot.
std::unique_ptr<PQconninfoOption, OptionsDeleter> parsed(const std::string& location,
                                                         std::string* error = nullptr) {
    char* why = nullptr;
    std::unique_ptr<PQconninfoOption, OptionsDeleter> options(
        PQconninfoParse(location.c_str(), &why));
    if (why != nullptr && error != nullptr)
        *error = trimmed(why);
    PQfreemem(why);
    return options;
}

/// The parts of `list`, a libpq list of hosts or ports ("a,b").
std::vector<std::string> listed(const std::string& list) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= list.size()) {
        const auto comma = std::min(list.find(',', at), list.size());
        parts.push_back(list.substr(at, comma - at));
        at = comma + 1;
    }
    return parts;
}

/// The URI's user, hosts with their ports, database and service, as
/// libpq pairs them (one port for every host, or one each): what tells the
/// publisher which server and which database. Never a password or an option.
std::string shownFrom(const PQconninfoOption* options) {
    std::string host, hostaddr, port, dbname, user, service;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        const std::string_view key = o->keyword;
        const std::string value = o->val ? o->val : "";
        if (key == "host")
            host = value;
        else if (key == "hostaddr")
            hostaddr = value;
        else if (key == "port")
            port = value;
        else if (key == "dbname")
            dbname = value;
        else if (key == "user")
            user = value;
        else if (key == "service")
            service = value;
    }
    const std::vector<std::string> hosts = listed(host.empty() ? hostaddr : host);
    const std::vector<std::string> ports = listed(port);
    std::string where;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        std::string h = hosts[i];
        if (h.empty())
            h = engine_text::kDefaultSocket;
        else if (h.find(':') != std::string::npos && h.front() != '/')
            h = "[" + h + "]"; // an IPv6 address
        const std::string& p = ports.size() == hosts.size() ? ports[i] : ports.front();
        where += (i > 0 ? "," : "") + h + (p.empty() ? "" : ":" + p);
    }
    std::string shown = "postgresql://" + (user.empty() ? "" : user + "@") + where + "/" +
                        (dbname.empty() ? std::string(engine_text::kDefaultDatabase) : dbname);
    if (!service.empty())
        shown += engine_text::service(service);
    return shown;
}

/// A connection to `location`, made at once (its hosts tried in turn, each
/// for connect_timeout), or null when there is no memory.
PGconn* makeConnection(const std::string& location) {
    // A dead primary is noticed within seconds, not the system's two hours:
    // keepalives, and a limit on data sent and not acknowledged. What the
    // publisher's URI says comes after, and wins.
    const char* keywords[] = {"connect_timeout",  "keepalives",
                              "keepalives_idle",  "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout",
                              "application_name", "client_encoding",
                              "dbname",           nullptr};
    const char* values[] = {
        "5", "1", "10", "5", "3", "15000", "pelvoran-server", "UTF8", location.c_str(), nullptr};
    return PQconnectdbParams(keywords, values, 1);
}

/// Reads, without waiting, what the server sent to `conn` while it was
/// idle: a server that ended the session (a restart, a failover) left its
/// goodbye and the end of the stream there, and libpq then marks the
/// connection bad.
void readWhatCame(PGconn* conn) {
    // An idle session is sent nothing else but the odd notice: a few reads
    // at most.
    for (int i = 0; i < 4 && PQstatus(conn) == CONNECTION_OK; ++i) {
        pollfd pfd{PQsocket(conn), POLLIN, 0};
        if (pfd.fd < 0 || ::poll(&pfd, 1, 0) <= 0 || PQconsumeInput(conn) == 0)
            return;
        PQisBusy(conn); // parses it: an error of an idle session goes to the notice processor
    }
}

} // namespace

/// "SELECT function(key)" for the advisory lock `lock`.
std::string lockCall(const char* function, AdvisoryLock lock) {
    return std::string("SELECT ") + function + "(" +
           std::to_string(static_cast<std::int64_t>(lock)) + ")";
}

std::string shownPostgres(const std::string& location) {
    const auto options = parsed(location);
    return options ? shownFrom(options.get()) : engine_text::kUnparsableLocation;
}

std::string postgresPlaceholders(const std::string& sql, std::size_t& parameters) {
    std::string out;
    out.reserve(sql.size() + 8);
    int highest = 0;
    const auto copyUntil = [&](std::size_t& i, std::string_view end) {
        const auto at = sql.find(end, i);
        const auto stop = at == std::string::npos ? sql.size() : at + end.size();
        out.append(sql, i, stop - i);
        i = stop;
    };
    const auto word = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (c & 0x80) != 0;
    };
    for (std::size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
        if (c == '\'' || c == '"') {
            // A quote doubled within ('it''s') ends one text and begins the
            // next: what lies between changes neither way. In E'...' a
            // backslash escapes the character after it.
            const bool escapes = c == '\'' && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                                 (i < 2 || !word(sql[i - 2]));
            out += c;
            for (++i; i < sql.size(); ++i) {
                out += sql[i];
                if (escapes && sql[i] == '\\' && i + 1 < sql.size())
                    out += sql[++i];
                else if (sql[i] == c) {
                    ++i;
                    break;
                }
            }
            continue;
        }
        if (c == '-' && next == '-') {
            copyUntil(i, "\n");
            continue;
        }
        if (c == '/' && next == '*') {
            copyUntil(i, "*/");
            continue;
        }
        if (c == '$' && (i == 0 || !word(sql[i - 1]))) {
            // A dollar-quoted body: $$ or $tag$, up to the same again.
            std::size_t end = i + 1;
            while (end < sql.size() &&
                   (word(sql[end]) ||
                    (end > i + 1 && std::isdigit(static_cast<unsigned char>(sql[end])))))
                ++end;
            if (end < sql.size() && sql[end] == '$') {
                const std::string tag = sql.substr(i, end + 1 - i);
                out += tag;
                i = end + 1;
                copyUntil(i, tag);
                continue;
            }
        }
        if (c != '?') {
            out += c;
            ++i;
            continue;
        }
        int n = 0;
        bool numbered = false;
        while (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
            n = n * 10 + (sql[++i] - '0');
            numbered = true;
        }
        ++i;
        if (!numbered)
            n = highest + 1;
        highest = std::max(highest, n);
        out += '$' + std::to_string(n);
    }
    parameters = static_cast<std::size_t>(highest);
    return out;
}

/// A connection made on a thread of its own, past the deadline of whoever
/// began it: the next call takes it up. Shared with that thread.
struct PgConnection::PendingConnect {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;      // the attempt ended, with `conn`
    bool abandoned = false; // the PgConnection went: the thread closes what it made
    PGconn* conn = nullptr;
};

/// Whether a cancel request is under way. Shared with its thread.
struct PgConnection::CancelState {
    std::mutex mutex;
    std::condition_variable delivered;
    bool running = false;
};

PgConnection::PgConnection(const std::string& location, std::chrono::milliseconds busyTimeout,
                           Deadline deadline)
    : location_(location), busyTimeout_(busyTimeout), deadline_(ticks(deadline)),
      cancelling_(std::make_shared<CancelState>()) {
    std::string why = engine_text::kCannotParse;
    const auto options = parsed(location, &why);
    if (!options)
        throw LocationRefused(LocationRefused::Reason::Unparsable, engine_text::badLocation(why));
    shown_ = shownFrom(options.get());
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o)
        if (std::string_view(o->keyword) == "password" && o->val != nullptr && *o->val != '\0')
            throw LocationRefused(LocationRefused::Reason::Password,
                                  engine_text::passwordInLocation(shown_), shown_);
    connect();
}

PgConnection::~PgConnection() {
    if (pending_) {
        const std::lock_guard lock(pending_->mutex);
        pending_->abandoned = true;
        PQfinish(std::exchange(pending_->conn, nullptr)); // made, and never taken up
    }
    PQfinish(conn_);
}

void PgConnection::setDeadline(Deadline until) {
    deadline_ = ticks(until);
}

Deadline PgConnection::deadline() const {
    const Steady::rep until = deadline_;
    if (until == kNoDeadline)
        return std::nullopt;
    return Steady::time_point(Steady::duration(until));
}

void PgConnection::connect() {
    const Deadline until = deadline();
    if (!until) {
        adopt(makeConnection(location_));
        return;
    }
    // libpq's own attempt (each host of the URI in turn, each for
    // connect_timeout), on a thread: a host that takes the connection and
    // never answers holds up that thread, not the deadline.
    if (!pending_) {
        auto pending = std::make_shared<PendingConnect>();
        try {
            std::thread([pending, location = location_] {
                PGconn* conn = makeConnection(location);
                const std::lock_guard lock(pending->mutex);
                if (pending->abandoned) {
                    PQfinish(conn);
                    return;
                }
                pending->conn = conn;
                pending->done = true;
                pending->finished.notify_all();
            }).detach();
        } catch (const std::system_error& e) {
            throw StoreError(engine_text::cannotStartThread(e.what()), engine_text::kCannotConnect);
        }
        pending_ = std::move(pending);
    }
    PGconn* conn = nullptr;
    {
        std::unique_lock lock(pending_->mutex);
        if (!pending_->finished.wait_until(lock, *until, [&] { return pending_->done; }))
            throw StoreError(engine_text::stillConnecting(shown_), engine_text::kNoAnswer);
        conn = std::exchange(pending_->conn, nullptr);
    }
    pending_.reset();
    adopt(conn);
}

void PgConnection::adopt(PGconn* conn) {
    if (conn == nullptr)
        throw StoreError(engine_text::kOutOfMemory);
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string why = trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        throw StoreError(engine_text::cannotConnect(shown_, why), engine_text::kCannotConnect);
    }
    {
        std::lock_guard lock(cancelMutex_);
        cancel_ = std::shared_ptr<PGcancel>(PQgetCancel(conn), PQfreeCancel);
    }
    // PostgreSQL's notices (a cancelled wait for the standby, a ROLLBACK
    // outside a transaction) would go to standard error in English: what
    // they mean is said in the errors raised here.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    // Nothing sent waits for the server's reading: a round trip polls.
    PQsetnonblocking(conn, 1);
    PQfinish(conn_);
    conn_ = conn;
    session_ = PQbackendPID(conn);
    try {
        setUpSession();
    } catch (...) {
        giveUp(); // not to be used without its settings
        throw;
    }
}

void PgConnection::setUpSession() {
    // A comment is answered only once the commit returned: at least "on",
    // so that it returns once a synchronous standby has it too; stronger
    // settings of the cluster stay.
    exec("SELECT set_config('synchronous_commit', 'on', false) WHERE current_setting("
         "'synchronous_commit') NOT IN ('on', 'remote_apply')");
    exec("SET lock_timeout = " + std::to_string(std::max<std::int64_t>(1, busyTimeout_.count())));
    if (held_)
        exec(lockCall("pg_advisory_lock_shared", *held_));
}

void PgConnection::holdShared(AdvisoryLock lock) {
    exec(lockCall("pg_advisory_lock_shared", lock));
    held_ = lock;
}

PGconn* PgConnection::live() {
    // Between transactions, a connection the server closed meanwhile is
    // found so before anything is sent on it.
    if (conn_ != nullptr && !inTransaction_ && PQtransactionStatus(conn_) == PQTRANS_IDLE)
        readWhatCame(conn_);
    if (conn_ != nullptr && PQstatus(conn_) != CONNECTION_BAD)
        return conn_;
    // Within a transaction, what ran on the lost connection is gone: the
    // rest must not run on a new one, each statement committed on its own.
    if (inTransaction_)
        throw StoreError(engine_text::lostInTransaction(shown_), engine_text::kLost);
    connect();
    return conn_;
}

void PgConnection::giveUp() noexcept {
    PQfinish(conn_); // sends its goodbye without waiting
    conn_ = nullptr;
    const std::lock_guard lock(cancelMutex_);
    cancel_.reset();
}

StoreError PgConnection::failure(const std::string& libpqMessage, const char* sqlState) const {
    const std::string message = trimmed(libpqMessage);
    const std::string_view state = sqlState ? sqlState : "";
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_BAD)
        return {engine_text::lost(shown_, message), engine_text::kLost};
    if (state == kQueryCanceled)
        return {engine_text::cancelled(message), engine_text::kTooSlow};
    if (state == kLockNotAvailable)
        return {engine_text::withDetail(engine_text::kLockedTryLater, message),
                engine_text::kLocked};
    return {engine_text::failed(message), engine_text::kFailed};
}

void PgConnection::exec(const std::string& sql) {
    live(); // a transaction's lost connection is not made again
    const bool commit = sql == "COMMIT";
    if (commit || sql == "ROLLBACK")
        inTransaction_ = false; // whatever the outcome
    Result r(roundTrip(sql));
    if (commit && r == nullptr && conn_ == nullptr) // given up: whether it committed is unknown
        throw UncertainCommit(engine_text::commitUnanswered(shown_), engine_text::kNoAnswer,
                              session_);
    accept(r.get());
    if (commit) {
        // A transaction that failed earlier ends in ROLLBACK, which COMMIT
        // reports without an error.
        if (std::string_view(PQcmdStatus(r.get())) == "ROLLBACK")
            throw StoreError(engine_text::kRolledBackEarlier, engine_text::kRolledBack);
        // A commit cancelled while it waited for the synchronous standby
        // is kept on this machine only, and PostgreSQL says so in a
        // warning, not an error: it has not returned as a commit should.
        if (cancelled_)
            throw UncertainCommit(engine_text::kCommitNotConfirmed, engine_text::kUnconfirmed);
    }
}

void PgConnection::accept(const PGresult* r) {
    if (r == nullptr && conn_ == nullptr)
        throw StoreError(engine_text::statementUnanswered(shown_), engine_text::kNoAnswer);
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw failure(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_),
                      r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr);
    const char* changed = PQcmdTuples(const_cast<PGresult*>(r));
    changes_ = 0;
    std::from_chars(changed, changed + std::char_traits<char>::length(changed), changes_);
}

PGresult* PgConnection::roundTrip(const std::string& sql, const Parameters* p) {
    PGconn* conn = live();
    // Nothing more is sent once the time is up: past the deadline, only the
    // statement under way then may still be waited for.
    if (const Deadline until = deadline(); until && Steady::now() >= *until)
        throw StoreError(engine_text::restNotSent(shown_), engine_text::kNoAnswer);
    const bool commit = sql == "COMMIT";
    cancelled_ = false;
    // A primary whose synchronous standby is gone waits for it without
    // end: a commit is given the busy timeout at most, then cancelled.
    const Deadline own =
        commit ? Deadline(Steady::now() + storeDeadline(busyTimeout_)) : std::nullopt;
    const int sent = p != nullptr ? PQsendQueryParams(conn, sql.c_str(), p->count, p->types,
                                                      p->values, p->lengths, p->formats, 0)
                                  : PQsendQuery(conn, sql.c_str());
    if (sent == 0)
        return nullptr; // not sent: the connection says why
    // Lost once sent: a commit's outcome is unknown, and the connection no
    // longer to be trusted.
    const auto lost = [&]() -> PGresult* {
        if (commit)
            giveUp();
        return nullptr;
    };
    Result last;
    Deadline giveUpAt; // once the cancel was asked for
    for (;;) {
        const int flushed = PQflush(conn);
        if (flushed < 0)
            return lost();
        const bool writing = flushed == 1;
        if (!writing) {
            if (PQconsumeInput(conn) == 0)
                return lost();
            // Each result as it is whole: PQgetResult blocks for one that is not.
            bool ended = false;
            while (!ended && PQisBusy(conn) == 0) {
                PGresult* next = PQgetResult(conn);
                if (next == nullptr)
                    ended = true;
                else
                    last.reset(next);
            }
            if (ended) {
                // A cancel that has not reached the server may yet end the
                // next statement: the connection goes first.
                if (giveUpAt && !cancelDelivered(*giveUpAt))
                    giveUp();
                return last.release();
            }
        }
        const auto now = Steady::now();
        Deadline until = deadline(); // another thread may have changed it
        if (own)
            until = until ? std::min(*until, *own) : own;
        if (until && !giveUpAt && now >= *until) {
            cancel();
            giveUpAt = now + kCancelAnswer;
        }
        if (giveUpAt && now >= *giveUpAt) {
            giveUp();
            return nullptr;
        }
        if (PQsocket(conn) < 0)
            return lost();
        // Not longer than kLookAgain: a deadline changed meanwhile is taken up.
        const Deadline next = giveUpAt ? giveUpAt : until;
        const auto wait =
            next ? std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*next - now),
                              std::chrono::milliseconds(0), kLookAgain)
                 : kLookAgain;
        pollfd pfd{PQsocket(conn), static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        // Input that arrives while a long statement is still being sent is
        // read, so that the server, answering, never waits for us.
        if (::poll(&pfd, 1, static_cast<int>(wait.count())) > 0 && writing &&
            (pfd.revents & POLLIN) != 0 && PQconsumeInput(conn) == 0)
            return lost();
    }
}

bool PgConnection::sessionAlive(std::int64_t session) {
    // Not this connection's own process, which may have been given the
    // number of one that ended.
    Statement s(*this, "SELECT count(*) FROM pg_stat_activity WHERE pid = ? AND pid <> "
                       "pg_backend_pid()");
    s.bind(1, session);
    s.step();
    return s.integer(0) > 0;
}

std::unique_ptr<StatementImpl> PgConnection::prepare(const std::string& sql) const {
    return std::make_unique<PgStatement>(*this, sql);
}

void PgConnection::beginWrite() {
    // Nothing of the transaction has run before BEGIN is answered: a
    // connection the server closed until then (a restart, a failover) is
    // made again, once, and BEGIN sent anew, within the deadline. Never a
    // later statement: a COMMIT sent on a lost connection may have
    // committed (exec: UncertainCommit).
    for (bool again = false;; again = true) {
        live(); // connected again first, when lost between transactions
        inTransaction_ = true;
        try {
            // One round trip for both.
            exec("BEGIN; " + lockCall("pg_advisory_xact_lock", AdvisoryLock::writer));
            return;
        } catch (const StoreError&) {
            // Not one given up at the deadline (conn_ null): its server may hang.
            const bool lost = conn_ != nullptr && PQstatus(conn_) == CONNECTION_BAD;
            rollbackQuietly();
            if (!lost || again)
                throw;
        } catch (...) {
            rollbackQuietly();
            throw;
        }
    }
}

void PgConnection::rollbackQuietly() noexcept {
    inTransaction_ = false;
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK ||
        PQtransactionStatus(conn_) == PQTRANS_IDLE)
        return;
    // Past the deadline the server may not answer: a closed connection ends
    // the transaction as surely.
    if (const Deadline until = deadline(); until && Steady::now() >= *until) {
        giveUp();
        return;
    }
    try {
        PQclear(roundTrip("ROLLBACK"));
    } catch (const StoreError&) {
        // Nothing to say: the transaction ends with the connection.
    }
}

void PgConnection::lockSession(AdvisoryLock lock, std::chrono::milliseconds wait) {
    exec("SET lock_timeout = " + std::to_string(std::max<std::int64_t>(1, wait.count())));
    try {
        exec(lockCall("pg_advisory_lock", lock));
    } catch (...) {
        setUpSession();
        throw;
    }
    setUpSession();
}

void PgConnection::unlockSession(AdvisoryLock lock) noexcept {
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK)
        return; // the lock went with the connection
    try {
        PQclear(roundTrip(lockCall("pg_advisory_unlock", lock)));
    } catch (const StoreError&) {
        // Not connected: the lock went with the connection.
    }
}

void PgConnection::cancel() noexcept {
    std::shared_ptr<PGcancel> handle;
    {
        std::lock_guard lock(cancelMutex_);
        cancelled_ = true;
        handle = cancel_;
    }
    if (handle == nullptr)
        return;
    // PQcancel waits for the server to close the request's connection,
    // which a postmaster that hangs never does: it runs on a thread of its
    // own, one at a time, and whoever asked does not wait for it.
    const std::shared_ptr<CancelState> state = cancelling_;
    {
        const std::lock_guard lock(state->mutex);
        if (state->running)
            return;
        state->running = true;
    }
    try {
        std::thread([handle, state] {
            char why[256];
            PQcancel(handle.get(), why, sizeof why);
            const std::lock_guard lock(state->mutex);
            state->running = false;
            state->delivered.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        const std::lock_guard lock(state->mutex);
        state->running = false; // not asked: the deadline gives the connection up
    }
}

bool PgConnection::cancelDelivered(Steady::time_point until) {
    std::unique_lock lock(cancelling_->mutex);
    return cancelling_->delivered.wait_until(lock, until, [&] { return !cancelling_->running; });
}

} // namespace pelvoran::server
