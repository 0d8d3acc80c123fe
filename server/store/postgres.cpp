#include "server/store/postgres.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <poll.h>
#include <vector>

namespace pelvoran::server {
namespace {

// Type numbers of PostgreSQL's catalogue (pg_type.oid), fixed for good.
constexpr Oid kBool = 16;
constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr Oid kText = 25;

/// The least a commit is given, whatever the busy timeout (which may be 0:
/// take no lock that another holds).
constexpr std::chrono::milliseconds kShortestCommitWait(500);

/// How long a cancelled commit's answer may take before the connection is
/// given up.
constexpr std::chrono::seconds kCancelAnswer(5);

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
        throw StoreError("内存不够");
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
        PGconn* conn = connection_.live();
        Result result(PQexecParams(conn, sql_.c_str(), static_cast<int>(n), types_.data(),
                                   pointers.data(), lengths.data(), formats_.data(), 0));
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

std::string shownFrom(const PQconninfoOption* options) {
    std::string host, port, dbname;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        const std::string_view key = o->keyword;
        const std::string value = o->val ? o->val : "";
        if (key == "host")
            host = value;
        else if (key == "port")
            port = value;
        else if (key == "dbname")
            dbname = value;
    }
    std::string shown = "postgresql://" + host;
    if (!port.empty())
        shown += " 端口 " + port;
    return shown + " 数据库 " + (dbname.empty() ? "（默认）" : dbname);
}

} // namespace

/// "SELECT function(key)" for the advisory lock `lock`.
std::string lockCall(const char* function, AdvisoryLock lock) {
    return std::string("SELECT ") + function + "(" +
           std::to_string(static_cast<std::int64_t>(lock)) + ")";
}

std::string shownPostgres(const std::string& location) {
    const auto options = parsed(location);
    return options ? shownFrom(options.get()) : "postgresql://…（连接串无法解析）";
}

std::string postgresPlaceholders(const std::string& sql, std::size_t& parameters) {
    std::string out;
    out.reserve(sql.size() + 8);
    int highest = 0;
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote != 0) {
            out += c;
            if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            out += c;
            continue;
        }
        if (c != '?') {
            out += c;
            continue;
        }
        int n = 0;
        bool numbered = false;
        while (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
            n = n * 10 + (sql[++i] - '0');
            numbered = true;
        }
        if (!numbered)
            n = highest + 1;
        highest = std::max(highest, n);
        out += '$' + std::to_string(n);
    }
    parameters = static_cast<std::size_t>(highest);
    return out;
}

PgConnection::PgConnection(const std::string& location, std::chrono::milliseconds busyTimeout)
    : location_(location), busyTimeout_(busyTimeout) {
    std::string why = "无法解析";
    const auto options = parsed(location, &why);
    if (!options)
        throw StoreError("PostgreSQL 连接串有误（" + why +
                         "）：请写成 "
                         "postgresql://用户@主机:端口/数据库 的形式。");
    shown_ = shownFrom(options.get());
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o)
        if (std::string_view(o->keyword) == "password" && o->val != nullptr && *o->val != '\0')
            throw StoreError(
                "连接串 " + shown_ +
                " 含有密码：命令行上的密码，本机任何用户都能用 ps 看到。请把它从连接串中"
                "去掉，写进 libpq 的服务文件（Debian 上是 /etc/postgresql-common/"
                "pg_service.conf，只让 root 和服务器的用户可读），在连接串中用 service= "
                "指明；或写进 PGPASSFILE 指向的密码文件。");
    connect();
}

PgConnection::~PgConnection() {
    {
        std::lock_guard lock(cancelMutex_);
        if (cancel_ != nullptr)
            PQfreeCancel(cancel_);
        cancel_ = nullptr;
    }
    PQfinish(conn_);
}

void PgConnection::connect() {
    // A dead primary is noticed within seconds, not the system's two hours:
    // keepalives, and a limit on data sent and not acknowledged. What the
    // publisher's URI says comes after, and wins.
    const char* keywords[] = {"connect_timeout",  "keepalives",
                              "keepalives_idle",  "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout",
                              "application_name", "client_encoding",
                              "dbname",           nullptr};
    const char* values[] = {
        "5", "1", "10", "5", "3", "15000", "pelvoran-server", "UTF8", location_.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (conn == nullptr)
        throw StoreError("内存不够");
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string why = trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        throw StoreError("无法连接 PostgreSQL 数据库 " + shown_ + "（" + why + "）");
    }
    {
        std::lock_guard lock(cancelMutex_);
        if (cancel_ != nullptr)
            PQfreeCancel(cancel_);
        cancel_ = PQgetCancel(conn);
    }
    // PostgreSQL's notices (a cancelled wait for the standby, a ROLLBACK
    // outside a transaction) would go to standard error in English: what
    // they mean is said in the errors raised here.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    PQfinish(conn_);
    conn_ = conn;
    setUpSession();
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
    if (conn_ != nullptr && PQstatus(conn_) != CONNECTION_BAD)
        return conn_;
    // Within a transaction, what ran on the lost connection is gone: the
    // rest must not run on a new one, each statement committed on its own.
    if (inTransaction_)
        throw StoreError("与 PostgreSQL 数据库 " + shown_ +
                         " 的连接在事务中断了：这次的改动没有提交，下次会重新连接");
    connect();
    return conn_;
}

std::string PgConnection::errorText(const std::string& libpqMessage, const char* sqlState) const {
    const std::string message = trimmed(libpqMessage);
    const std::string_view state = sqlState ? sqlState : "";
    if (conn_ == nullptr)
        return "PostgreSQL 没有答复提交，也没有答复取消：连接已放弃，下次会重新连接";
    if (PQstatus(conn_) == CONNECTION_BAD)
        return "与 PostgreSQL 数据库 " + shown_ + " 的连接断了，下次会重新连接（" + message + "）";
    if (state == kQueryCanceled)
        return "PostgreSQL 没有在限时内完成，已取消（" + message + "）";
    if (state == kLockNotAvailable)
        return "数据库被另一个进程锁住，请稍后重试（" + message + "）";
    return "PostgreSQL 出错（" + message + "）";
}

void PgConnection::exec(const std::string& sql) {
    PGconn* conn = live();
    if (sql == "COMMIT" || sql == "ROLLBACK")
        inTransaction_ = false; // whatever the outcome
    cancelled_ = false;
    Result r(sql == "COMMIT" ? commitWithinDeadline(conn) : PQexec(conn, sql.c_str()));
    if (conn_ == nullptr) // given up, with conn: whether it committed is unknown
        throw UncertainCommit(errorText("", nullptr));
    accept(r.get());
    if (sql == "COMMIT") {
        // A transaction that failed earlier ends in ROLLBACK, which COMMIT
        // reports without an error.
        if (std::string_view(PQcmdStatus(r.get())) == "ROLLBACK")
            throw StoreError("PostgreSQL 回滚了这次事务（之前的一条语句失败了），没有保存任何内容");
        // A commit cancelled while it waited for the synchronous standby
        // is kept on this machine only, and PostgreSQL says so in a
        // warning, not an error: it has not returned as a commit should.
        if (cancelled_)
            throw UncertainCommit(
                "提交没有在 " +
                std::to_string(std::max(busyTimeout_, kShortestCommitWait).count()) +
                " 毫秒内返回，已取消：同步备机没有确认（已在主机本地提交）");
    }
}

void PgConnection::accept(const PGresult* r) {
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw StoreError(errorText(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_),
                                   r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr));
    const char* changed = PQcmdTuples(const_cast<PGresult*>(r));
    changes_ = 0;
    std::from_chars(changed, changed + std::char_traits<char>::length(changed), changes_);
}

PGresult* PgConnection::commitWithinDeadline(PGconn* conn) {
    // A primary whose synchronous standby is gone waits for it without
    // end: the commit is given the busy timeout, then cancelled; the
    // answer to the cancel comes at once, or the connection is given up.
    if (PQsendQuery(conn, "COMMIT") == 0)
        return nullptr;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::max(busyTimeout_, kShortestCommitWait);
    const auto giveUp = deadline + kCancelAnswer;
    bool asked = false;
    while (true) {
        if (PQconsumeInput(conn) == 0)
            break;
        if (PQisBusy(conn) == 0) {
            PGresult* last = nullptr;
            while (PGresult* next = PQgetResult(conn)) {
                PQclear(last);
                last = next;
            }
            return last;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!asked && now >= deadline) {
            cancel();
            asked = true;
        }
        if (now >= giveUp)
            break;
        const auto until = asked ? giveUp : deadline;
        pollfd pfd{PQsocket(conn), POLLIN, 0};
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        ::poll(&pfd, 1, static_cast<int>(std::min<std::int64_t>(wait, 1000)));
    }
    // No answer: the connection cannot be trusted; the next use makes another.
    PQfinish(conn_);
    conn_ = nullptr;
    cancelled_ = true;
    return nullptr;
}

std::unique_ptr<StatementImpl> PgConnection::prepare(const std::string& sql) const {
    return std::make_unique<PgStatement>(*this, sql);
}

void PgConnection::beginWrite() {
    live(); // connected again first, when lost between transactions
    inTransaction_ = true;
    try {
        // One round trip for both.
        exec("BEGIN; " + lockCall("pg_advisory_xact_lock", AdvisoryLock::writer));
    } catch (...) {
        rollbackQuietly();
        throw;
    }
}

void PgConnection::rollbackQuietly() noexcept {
    inTransaction_ = false;
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK)
        PQclear(PQexec(conn_, "ROLLBACK"));
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
    if (conn_ == nullptr)
        return; // the lock went with the connection
    PQclear(PQexec(conn_, lockCall("pg_advisory_unlock", lock).c_str()));
}

void PgConnection::cancel() noexcept {
    std::lock_guard lock(cancelMutex_);
    cancelled_ = true;
    if (cancel_ != nullptr) {
        char why[256];
        PQcancel(cancel_, why, sizeof why);
    }
}

} // namespace pelvoran::server
