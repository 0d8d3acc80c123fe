#include "server/serve.h"

#include "server/admin_site.h"
#include "server/comment_decoding.h"
#include "server/public_site.h"
#include "server/release.h"
#include "server/store.h"
#include "server/use_counter.h"
#include "server/web.h"

#include "net/comment_post.h"

#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace pelvoran::server {

namespace fs = std::filesystem;

namespace {

constexpr char kUpdatePath[] = "/Canon/LensCheck.asp";
constexpr char kCommentPath[] = "/Canon/comment.asp";

void logError(const std::string& what) {
    std::fprintf(stderr, "pelvoran-server: %s\n", what.c_str());
}

std::string databasePath(const std::string& stateDir) {
    return (fs::path(stateDir) / kDatabaseFile).string();
}

/// Comments one address may still send: a bucket of `perHour` that refills
/// evenly over the hour. Kept in memory only.
class RateLimiter {
public:
    explicit RateLimiter(unsigned perHour) : perHour_(perHour) {}

    bool allow(const std::string& address) {
        if (perHour_ == 0)
            return true;
        const auto now = std::chrono::steady_clock::now();
        const std::lock_guard lock(mutex_);
        if (buckets_.size() > kMaxAddresses)
            forgetFullBuckets(now);
        auto [it, fresh] = buckets_.try_emplace(address, Bucket{double(perHour_), now});
        Bucket& b = it->second;
        if (!fresh)
            b.tokens = refilled(b, now);
        b.last = now;
        if (b.tokens < 1)
            return false;
        b.tokens -= 1;
        return true;
    }

private:
    struct Bucket {
        double tokens;
        std::chrono::steady_clock::time_point last;
    };
    static constexpr std::size_t kMaxAddresses = 100000;

    double refilled(const Bucket& b, std::chrono::steady_clock::time_point now) const {
        const double hours = std::chrono::duration<double>(now - b.last).count() / 3600;
        return std::min(double(perHour_), b.tokens + hours * perHour_);
    }
    /// Keeps the table bounded: addresses that could send a whole hour's
    /// worth again are forgotten; should that not be enough, every one is.
    void forgetFullBuckets(std::chrono::steady_clock::time_point now) {
        std::erase_if(buckets_, [&](const auto& e) { return refilled(e.second, now) >= perHour_; });
        if (buckets_.size() > kMaxAddresses / 2)
            buckets_.clear();
    }

    const unsigned perHour_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

/// Commits comments on a thread of its own. Comments that arrive while a
/// commit runs are committed together in the next transaction, so a burst
/// costs one sync to disk rather than one each. `done` learns whether the
/// comment is durable.
class CommentWriter {
public:
    using Done = std::function<void(bool stored)>;

    explicit CommentWriter(const std::string& path) : db_(path), thread_([this] { run(); }) {}

    ~CommentWriter() {
        close();
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    /// False once closed: then `done` is never called.
    bool submit(NewComment comment, Done done) {
        {
            const std::lock_guard lock(mutex_);
            if (closed_)
                return false;
            queue_.push_back({std::move(comment), std::move(done)});
        }
        wake_.notify_one();
        return true;
    }

    /// Takes no more comments and returns once every one taken is answered.
    void close() {
        std::unique_lock lock(mutex_);
        closed_ = true;
        idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
    }

private:
    struct Item {
        NewComment comment;
        Done done;
    };
    static constexpr std::size_t kMaxBatch = 512;

    void run() {
        for (;;) {
            std::vector<Item> batch;
            {
                std::unique_lock lock(mutex_);
                busy_ = false;
                idle_.notify_all();
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty())
                    return; // stopping, nothing left
                busy_ = true;
                while (!queue_.empty() && batch.size() < kMaxBatch) {
                    batch.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
            }
            std::vector<NewComment> comments;
            comments.reserve(batch.size());
            for (auto& item : batch)
                comments.push_back(std::move(item.comment));
            bool stored = true;
            try {
                db_.insert(comments);
            } catch (const StoreError& e) {
                stored = false;
                logError("留言未能保存（" + std::to_string(comments.size()) + " 条）：" + e.what());
            }
            for (auto& item : batch)
                item.done(stored);
        }
    }

    Database db_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Item> queue_;
    bool busy_ = true; // until the thread first waits
    bool closed_ = false;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the rest is ready
};

/// The update check's reply, rebuilt when the published release changes.
class ReleaseReply {
public:
    std::shared_ptr<const std::string> body() const {
        const std::lock_guard lock(mutex_);
        return body_;
    }
    void set(const std::optional<Release>& release) {
        auto body = std::make_shared<const std::string>(release ? replyBody(*release) : "");
        const std::lock_guard lock(mutex_);
        body_ = std::move(body);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> body_ = std::make_shared<const std::string>();
};

/// What the handler keeps for one request.
struct Request {
    enum class Kind {
        UpdateCheck,
        UpdateCheckMethod,
        Comment,
        CommentMethod,
        WebComment, // the lookup page's comment form
        Page,       // any other page
    };
    Kind kind = Kind::Page;
    std::string body;
    bool tooLarge = false;
    bool submitted = false;
    std::atomic<int> stored{-1}; // set by the writer: 1 durable, 0 not
    WebResponse storedPage;      // the web form's answer once stored
};

/// The days of update checks, counted without a clock call per request.
std::int64_t today(std::int64_t now) {
    thread_local std::int64_t second = -1;
    thread_local std::int64_t day = 0;
    if (now != second) {
        second = now;
        day = localDay(now);
    }
    return day;
}

class Server {
public:
    Server(const ServeOptions& options, UseCounter& use, AdminSite& admin)
        : options_(options), use_(use), admin_(admin), limiter_(options.commentsPerHour),
          writer_(databasePath(options.stateDir)) {}

    ReleaseReply& reply() { return reply_; }

    /// Answers every comment taken; those that come later get 503.
    void closeWriter() { writer_.close(); }

    /// What a listener hands each request to.
    struct Listener {
        Server* server;
        bool admin;
    };

    static MHD_Result handle(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* uploadSize, void** state) {
        const auto* listener = static_cast<Listener*>(cls);
        return listener->server->handle(c, url, method, upload, uploadSize, state, listener->admin);
    }

    static void completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        delete static_cast<Request*>(*state);
        *state = nullptr;
    }

private:
    MHD_Result handle(MHD_Connection* c, const char* url, const char* method, const char* upload,
                      size_t* uploadSize, void** state, bool admin) {
        auto* r = static_cast<Request*>(*state);
        if (r == nullptr) {
            r = new Request;
            *state = r;
            return start(c, url, method, *r, admin);
        }
        if (*uploadSize > 0) {
            if (r->body.size() + *uploadSize > kMaxBody)
                r->tooLarge = true;
            else if (!r->tooLarge)
                r->body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        return answer(c, url, method, *r, admin);
    }

    /// Sorts the request by its path and method, once its head has arrived.
    /// Only a body announced too large is answered now: the connection then
    /// closes without reading it.
    static MHD_Result start(MHD_Connection* c, const char* url, const char* method, Request& r,
                            bool admin) {
        const std::string_view path = url;
        const std::string_view m = method;
        if (admin)
            r.kind = Request::Kind::Page;
        else if (path == kUpdatePath)
            r.kind = m == MHD_HTTP_METHOD_GET || m == MHD_HTTP_METHOD_HEAD
                         ? Request::Kind::UpdateCheck
                         : Request::Kind::UpdateCheckMethod;
        else if (path == kCommentPath)
            r.kind =
                m == MHD_HTTP_METHOD_POST ? Request::Kind::Comment : Request::Kind::CommentMethod;
        else if (path == "/comment" && m == MHD_HTTP_METHOD_POST)
            r.kind = Request::Kind::WebComment;
        const char* length =
            MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxBody)
            return tooLarge(c, r);
        return MHD_YES;
    }

    /// Answers once the whole request has arrived.
    MHD_Result answer(MHD_Connection* c, const char* url, const char* method, Request& r,
                      bool admin) {
        switch (r.kind) {
        case Request::Kind::UpdateCheck:
            if (method == std::string_view(MHD_HTTP_METHOD_GET))
                use_.count(today(std::time(nullptr)));
            return respond(c, MHD_HTTP_OK, *reply_.body(), "text/plain");
        case Request::Kind::UpdateCheckMethod: return notAllowed(c, "GET, HEAD");
        case Request::Kind::CommentMethod: return notAllowed(c, "POST");
        case Request::Kind::Comment:
        case Request::Kind::WebComment: break;
        case Request::Kind::Page:
            if (r.tooLarge)
                return tooLarge(c, r);
            return send(c, admin ? admin_.handle(webRequest(c, url, method, r))
                                 : publicPage(c, url, method, r));
        }
        if (r.stored >= 0)
            return finished(c, r);
        if (r.submitted)
            return MHD_YES; // still waiting for the writer
        return r.kind == Request::Kind::Comment ? desktopComment(c, r)
                                                : webComment(c, url, method, r);
    }

    WebResponse publicPage(MHD_Connection* c, const char* url, const char* method, Request& r) {
        const std::string_view path = url;
        const bool get = method == std::string_view(MHD_HTTP_METHOD_GET) ||
                         method == std::string_view(MHD_HTTP_METHOD_HEAD);
        if (path == "/" && get)
            return lookupPage(webRequest(c, url, method, r));
        if (path == "/style.css" && get)
            return styleSheet();
        if (path == "/help.png" && get)
            return helpPhoto();
        WebResponse notFound;
        notFound.status = get ? MHD_HTTP_NOT_FOUND : MHD_HTTP_METHOD_NOT_ALLOWED;
        notFound.type = "text/plain; charset=utf-8";
        notFound.body = get ? "没有这个页面。\n" : "不支持这个请求方法。\n";
        if (!get)
            notFound.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        return notFound;
    }

    MHD_Result desktopComment(MHD_Connection* c, Request& r) {
        if (r.tooLarge)
            return tooLarge(c, r);
        const auto comment = decodeDesktopComment(r.body);
        if (!comment)
            return text(c, MHD_HTTP_BAD_REQUEST, "请求须以“CommentText=”开头。\n");
        if (isBlankComment(*comment))
            return text(c, MHD_HTTP_BAD_REQUEST, "留言为空。\n");
        if (!limiter_.allow(clientAddress(c)))
            return text(c, MHD_HTTP_TOO_MANY_REQUESTS, "留言太频繁，请稍后再试。\n");
        return store(c, r, {*comment, r.body, kFromDesktop, std::time(nullptr)});
    }

    MHD_Result webComment(MHD_Connection* c, const char* url, const char* method, Request& r) {
        const WebRequest request = webRequest(c, url, method, r);
        if (r.tooLarge)
            return send(
                c, webCommentFailed(request, MHD_HTTP_CONTENT_TOO_LARGE, "留言太长，最多 1 MiB。"));
        WebComment outcome = server::webComment(request, std::time(nullptr));
        if (!outcome.store)
            return send(c, outcome.page);
        if (!limiter_.allow(clientAddress(c)))
            return send(c, webCommentFailed(request, MHD_HTTP_TOO_MANY_REQUESTS,
                                            "留言太频繁，请稍后再试。您的留言还在下面。"));
        r.storedPage = std::move(outcome.page);
        return store(c, r, std::move(*outcome.store));
    }

    /// Hands the comment to the writer; the connection waits, suspended,
    /// until it is durable or has failed.
    MHD_Result store(MHD_Connection* c, Request& r, NewComment comment) {
        r.submitted = true;
        // Suspended first: the writer may answer before submit returns.
        MHD_suspend_connection(c);
        const bool taken = writer_.submit(std::move(comment), [c, &r](bool stored) {
            r.stored = stored ? 1 : 0;
            MHD_resume_connection(c);
        });
        if (!taken) { // stopping: the comment is not stored, and the client hears so
            r.stored = 0;
            MHD_resume_connection(c);
        }
        return MHD_YES;
    }

    MHD_Result finished(MHD_Connection* c, Request& r) {
        if (r.kind == Request::Kind::WebComment) {
            if (r.stored == 1)
                return send(c, r.storedPage);
            WebRequest request;
            request.body = r.body;
            return send(c, webCommentFailed(request, MHD_HTTP_SERVICE_UNAVAILABLE,
                                            "留言未能保存，请稍后重试。您的留言还在下面。"));
        }
        return r.stored == 1
                   ? text(c, MHD_HTTP_OK, "留言已收到。\n")
                   : text(c, MHD_HTTP_SERVICE_UNAVAILABLE, "留言未能保存，请稍后重试。\n");
    }

    static WebRequest webRequest(MHD_Connection* c, const char* url, const char* method,
                                 const Request& r) {
        WebRequest w;
        w.method = method;
        w.path = url;
        MHD_get_connection_values(
            c, MHD_GET_ARGUMENT_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                static_cast<WebRequest*>(cls)->query.emplace(key, value ? value : "");
                return MHD_YES;
            },
            &w);
        auto header = [c](const char* name) {
            const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
            return std::string(v ? v : "");
        };
        w.cookie = header(MHD_HTTP_HEADER_COOKIE);
        w.origin = header(MHD_HTTP_HEADER_ORIGIN);
        w.host = header(MHD_HTTP_HEADER_HOST);
        w.body = r.body;
        return w;
    }

    std::string clientAddress(MHD_Connection* c) const {
        const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        std::string peer = "?";
        if (info != nullptr && info->client_addr != nullptr) {
            const sockaddr* sa = info->client_addr;
            const socklen_t len =
                sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            char host[NI_MAXHOST];
            if (getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
                peer = host;
        }
        if (!options_.trustedProxy || peer != *options_.trustedProxy)
            return peer;
        const char* forwarded = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "X-Forwarded-For");
        if (forwarded == nullptr)
            return peer;
        // The proxy appends the address it saw; earlier entries are the client's word.
        std::string_view last = forwarded;
        if (const auto comma = last.rfind(','); comma != std::string_view::npos)
            last.remove_prefix(comma + 1);
        while (!last.empty() && (last.front() == ' ' || last.front() == '\t'))
            last.remove_prefix(1);
        while (!last.empty() && (last.back() == ' ' || last.back() == '\t'))
            last.remove_suffix(1);
        return last.empty() ? peer : std::string(last);
    }

    static MHD_Result send(MHD_Connection* c, const WebResponse& w) {
        MHD_Response* response = MHD_create_response_from_buffer(
            w.body.size(), const_cast<char*>(w.body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, w.type.c_str());
        for (const auto& [name, value] : w.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        const MHD_Result result = MHD_queue_response(c, w.status, response);
        MHD_destroy_response(response);
        return result;
    }
    static MHD_Result respond(MHD_Connection* c, unsigned status, std::string body,
                              const char* type) {
        return send(c, {status, type, std::move(body), {}});
    }
    static MHD_Result text(MHD_Connection* c, unsigned status, const std::string& body) {
        return respond(c, status, body, "text/plain; charset=utf-8");
    }
    static MHD_Result notAllowed(MHD_Connection* c, const char* allow) {
        return send(c, {MHD_HTTP_METHOD_NOT_ALLOWED,
                        "text/plain; charset=utf-8",
                        "不支持这个请求方法。\n",
                        {{MHD_HTTP_HEADER_ALLOW, allow}}});
    }
    static MHD_Result tooLarge(MHD_Connection* c, const Request& r) {
        if (r.kind == Request::Kind::WebComment) {
            WebRequest request;
            return send(
                c, webCommentFailed(request, MHD_HTTP_CONTENT_TOO_LARGE, "留言太长，最多 1 MiB。"));
        }
        return text(c, MHD_HTTP_CONTENT_TOO_LARGE, "请求太大，最多 1 MiB。\n");
    }

    const ServeOptions& options_;
    UseCounter& use_;
    AdminSite& admin_;
    RateLimiter limiter_;
    ReleaseReply reply_;
    CommentWriter writer_;
};

/// The listening address, resolved.
struct Bound {
    sockaddr_storage addr{};
    bool v6 = false;
};

std::optional<Bound> resolve(const Endpoint& e) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(e.port);
    if (getaddrinfo(e.host.c_str(), port.c_str(), &hints, &list) != 0 || list == nullptr)
        return std::nullopt;
    Bound b;
    std::memcpy(&b.addr, list->ai_addr, list->ai_addrlen);
    b.v6 = list->ai_family == AF_INET6;
    freeaddrinfo(list);
    return b;
}

std::string backupDay() {
    return std::to_string(std::time(nullptr) / 86400);
}

/// Writes all of `bytes` to `fd` and syncs it; throws StoreError otherwise.
void writeAndSync(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw StoreError(std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        throw StoreError(std::strerror(errno));
}

/// Writes `bytes` to `path` through a temporary file, synced, so that a
/// backup file is either whole or absent.
void writeWhole(const fs::path& path, const std::string& bytes) {
    const fs::path temp = path.string() + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw StoreError(temp.string() + ": " + std::strerror(errno));
    try {
        writeAndSync(fd, bytes);
    } catch (const StoreError& e) {
        ::close(fd);
        fs::remove(temp);
        throw StoreError(temp.string() + ": " + e.what());
    }
    ::close(fd);
    fs::rename(temp, path);
}

/// Keeps one backup a day in the state directory, the last seven days.
void dailyBackup(const std::string& stateDir, Database& db) {
    constexpr std::size_t kKeep = 7;
    const fs::path dir = fs::path(stateDir) / "backups";
    char name[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(name, sizeof name, "comments-%Y-%m-%d.sqlite", &tm);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (fs::exists(dir / name))
        return;
    writeWhole(dir / name, db.snapshot());
    std::vector<fs::path> backups;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".sqlite")
            backups.push_back(entry.path());
    std::sort(backups.begin(), backups.end());
    for (std::size_t i = 0; i + kKeep < backups.size(); ++i)
        fs::remove(backups[i], ec);
}

std::string shownEndpoint(const Endpoint& e, std::uint16_t port) {
    const bool v6 = e.host.find(':') != std::string::npos;
    return (v6 ? "[" + e.host + "]" : e.host) + ":" + std::to_string(port);
}

} // namespace

std::optional<Endpoint> parseEndpoint(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return std::nullopt;
    return Endpoint{std::string(host), static_cast<std::uint16_t>(value)};
}

void backupToFile(const std::string& stateDir, int fd) {
    Database db(databasePath(stateDir));
    writeAndSync(fd, db.snapshot());
}

namespace {

/// One listener of the server, started on `at`.
class Daemon {
public:
    Daemon(const Endpoint& at, const ServeOptions& options, Server::Listener& listener,
           bool admin) {
        const auto bound = resolve(at);
        if (!bound)
            throw std::runtime_error("无法解析地址 " + at.host);
        const unsigned threads =
            admin ? 1 : std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
        unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
        if (bound->v6)
            flags |= MHD_USE_IPv6;
        // Behind a proxy every connection comes from the proxy: no per-address cap then.
        const unsigned perAddress = options.trustedProxy ? 0 : options.connectionsPerAddress;
        daemon_ = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &Server::handle, &listener, MHD_OPTION_SOCK_ADDR,
            reinterpret_cast<const sockaddr*>(&bound->addr), MHD_OPTION_THREAD_POOL_SIZE, threads,
            MHD_OPTION_CONNECTION_LIMIT, admin ? 64u : options.maxConnections,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddress, MHD_OPTION_CONNECTION_TIMEOUT,
            options.idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t{32 * 1024},
            MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_NOTIFY_COMPLETED, &Server::completed,
            nullptr, MHD_OPTION_END);
        if (daemon_ == nullptr)
            throw std::runtime_error("无法在 " + shownEndpoint(at, at.port) +
                                     " 上监听（端口已被占用或没有权限）");
        const auto* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
        shown_ = shownEndpoint(at, info ? info->port : at.port);
    }
    ~Daemon() { stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    const std::string& address() const { return shown_; }

    /// Takes no new connection; those open may finish.
    void quiesce() {
        if (daemon_ != nullptr && listener_ == MHD_INVALID_SOCKET)
            listener_ = MHD_quiesce_daemon(daemon_);
    }
    unsigned connections() const {
        const auto* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
        return info ? info->num_connections : 0;
    }
    void stop() {
        if (daemon_ == nullptr)
            return;
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
        if (listener_ != MHD_INVALID_SOCKET)
            ::close(listener_);
    }

private:
    MHD_Daemon* daemon_ = nullptr;
    MHD_socket listener_ = MHD_INVALID_SOCKET;
    std::string shown_;
};

void flushUse(UseCounter& use, Database& db) {
    for (const auto& [day, checks] : use.take())
        db.addUse(day, checks);
}

} // namespace

int serve(const ServeOptions& options) {
    // Signals are taken by this thread alone, with sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    UseCounter use;
    std::unique_ptr<AdminSite> admin;
    std::unique_ptr<Server> server;
    std::unique_ptr<Database> db;
    try {
        db = std::make_unique<Database>(databasePath(options.stateDir));
        admin = std::make_unique<AdminSite>(options.stateDir, adminToken(options.stateDir), use);
        server = std::make_unique<Server>(options, use, *admin);
        server->reply().set(db->release());
    } catch (const std::exception& e) {
        logError("无法打开状态目录 " + options.stateDir + " 中的数据：" + e.what());
        return 1;
    }

    Server::Listener publicListener{server.get(), false};
    Server::Listener adminListener{server.get(), true};
    std::unique_ptr<Daemon> publicDaemon;
    std::unique_ptr<Daemon> adminDaemon;
    try {
        publicDaemon = std::make_unique<Daemon>(options.listen, options, publicListener, false);
    } catch (const std::exception& e) {
        logError(std::string("--listen：") + e.what());
        return 1;
    }
    try {
        adminDaemon = std::make_unique<Daemon>(options.adminListen, options, adminListener, true);
    } catch (const std::exception& e) {
        logError(std::string("--admin-listen：") + e.what());
        return 1;
    }
    try {
        // For admin-url: where the pages are now.
        const fs::path file = fs::path(options.stateDir) / kAdminAddressFile;
        std::FILE* out = std::fopen((file.string() + ".part").c_str(), "w");
        if (out == nullptr)
            throw std::runtime_error(std::strerror(errno));
        std::fprintf(out, "%s\n", adminDaemon->address().c_str());
        std::fclose(out);
        fs::rename(file.string() + ".part", file);
    } catch (const std::exception& e) {
        logError(std::string("无法记下管理页面的地址：") + e.what());
    }
    // Only now: whoever reads these lines may run admin-url at once.
    std::printf("listening on %s\nlistening on %s\n", publicDaemon->address().c_str(),
                adminDaemon->address().c_str());
    std::fflush(stdout);

    // The main thread picks up a newly published release, writes out the use
    // counts once a minute and keeps the daily backup.
    std::string backedUp;
    std::int64_t seen = -1;
    auto lastUseFlush = std::chrono::steady_clock::now();
    const timespec tick{0, 200 * 1000 * 1000};
    for (;;) {
        try {
            if (const auto version = db->dataVersion(); version != seen) {
                server->reply().set(db->release());
                seen = version;
            }
        } catch (const std::exception& e) {
            logError(std::string("无法读取发布的版本：") + e.what());
        }
        if (std::chrono::steady_clock::now() - lastUseFlush >= std::chrono::minutes(1)) {
            lastUseFlush = std::chrono::steady_clock::now();
            try {
                flushUse(use, *db);
            } catch (const std::exception& e) {
                logError(std::string("无法记下使用次数：") + e.what());
            }
        }
        if (const std::string day = backupDay(); day != backedUp) {
            backedUp = day; // once a day, whether it works or not
            try {
                dailyBackup(options.stateDir, *db);
            } catch (const std::exception& e) {
                logError(std::string("每日备份失败：") + e.what());
            }
        }
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGTERM || sig == SIGINT)
            break;
    }

    // Stop taking connections, let those in flight finish, then stop.
    publicDaemon->quiesce();
    adminDaemon->quiesce();
    for (int i = 0; i < 50 && publicDaemon->connections() + adminDaemon->connections() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // No writer may resume a connection once the listeners are gone.
    server->closeWriter();
    publicDaemon->stop();
    adminDaemon->stop();
    server.reset();
    try {
        flushUse(use, *db);
    } catch (const std::exception& e) {
        logError(std::string("无法记下使用次数：") + e.what());
    }
    return 0;
}

} // namespace pelvoran::server
