#include "server/serve.h"

#include "server/admin_site.h"
#include "server/backups.h"
#include "server/comment_decoding.h"
#include "server/limits.h"
#include "server/public_site.h"
#include "server/release.h"
#include "server/store.h"
#include "server/use_counter.h"
#include "server/web.h"

#include "net/comment_post.h"

#include <microhttpd.h>

#include <algorithm>
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
#include <optional>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
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
    ConnectionGuard::Connection* connection = nullptr;
    std::string body;
    bool keepBody = false;         // bodies of other requests are read and dropped
    std::uint64_t reservation = 0; // of the body budget, given back when done
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
        : options_(options), use_(use), admin_(admin),
          limiter_(options.commentsPerHour, options.commentBytesPerHour),
          writer_(databasePath(options.stateDir)) {
        if (options.trustedProxy)
            trustedProxy_ = ClientAddress::parse(*options.trustedProxy);
    }

    ReleaseReply& reply() { return reply_; }

    /// Answers every comment taken; those that come later get 503.
    void closeWriter() { writer_.close(); }

    /// What a listener hands each request to.
    struct Listener {
        Server* server;
        bool admin;
        ConnectionGuard* guard;
    };

    static MHD_Result handle(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* uploadSize, void** state) {
        const auto* listener = static_cast<Listener*>(cls);
        return listener->server->handle(*listener, c, url, method, upload, uploadSize, state);
    }

    static void completed(void* cls, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        auto* r = static_cast<Request*>(*state);
        if (r == nullptr)
            return;
        const auto* listener = static_cast<Listener*>(cls);
        listener->guard->unreserve(r->reservation);
        listener->guard->requestDone(r->connection);
        delete r;
        *state = nullptr;
    }

    /// Notes each connection with the guard, counted by its client.
    static void connectionNotice(void* cls, MHD_Connection* c, void** socketContext,
                                 MHD_ConnectionNotificationCode code) {
        const auto* listener = static_cast<Listener*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const auto* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            const std::string key = listener->admin ? "" : listener->server->connectionKey(c);
            *socketContext = listener->guard->opened(fd ? fd->connect_fd : -1, key);
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            listener->guard->closed(static_cast<ConnectionGuard::Connection*>(*socketContext));
            *socketContext = nullptr;
        }
    }

private:
    MHD_Result handle(const Listener& listener, MHD_Connection* c, const char* url,
                      const char* method, const char* upload, size_t* uploadSize, void** state) {
        auto* r = static_cast<Request*>(*state);
        if (r == nullptr) {
            r = new Request;
            *state = r;
            const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
            r->connection =
                info ? static_cast<ConnectionGuard::Connection*>(info->socket_context) : nullptr;
            listener.guard->headArrived(r->connection);
            return start(c, url, method, *r, listener);
        }
        if (*uploadSize > 0) {
            const std::size_t n = *uploadSize;
            *uploadSize = 0;
            listener.guard->bodyArrived(r->connection, n);
            if (!r->keepBody || r->tooLarge)
                return MHD_YES;
            if (r->body.size() + n > kMaxBody) {
                r->tooLarge = true;
                r->body = std::string(); // its memory back at once
                return MHD_YES;
            }
            // A body of unknown length (chunked) reserves as it comes; one
            // the budget cannot hold is cut off: no answer can be sent now.
            if (r->body.size() + n > r->reservation) {
                const std::uint64_t more = r->body.size() + n - r->reservation;
                if (!listener.guard->reserve(more))
                    return MHD_NO;
                r->reservation += more;
            }
            r->body.append(upload, n);
            return MHD_YES;
        }
        listener.guard->requestArrived(r->connection);
        return answer(c, url, method, *r, listener.admin);
    }

    /// Sorts the request by its path and method, once its head has arrived.
    /// Only a request whose body cannot be read or kept is answered now: the
    /// connection then closes without reading it.
    static MHD_Result start(MHD_Connection* c, const char* url, const char* method, Request& r,
                            const Listener& listener) {
        const std::string_view path = url;
        const std::string_view m = method;
        if (const auto refusal = framingRefusal(c))
            return send(c, *refusal);
        if (listener.admin)
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
        const std::uint64_t announced = length ? std::strtoull(length, nullptr, 10) : 0;
        if (announced > kMaxBody)
            return tooLarge(c, r);
        r.keepBody = r.kind == Request::Kind::Comment || r.kind == Request::Kind::WebComment ||
                     (listener.admin && m == MHD_HTTP_METHOD_POST);
        if (r.keepBody && announced > 0) {
            // The only moment a refusal can still be answered.
            if (!listener.guard->reserve(announced)) {
                r.keepBody = false;
                return send(c, closing({MHD_HTTP_SERVICE_UNAVAILABLE,
                                        "text/plain; charset=utf-8",
                                        "服务器正忙，请稍后重试。\n",
                                        {{"Retry-After", "10"}}}));
            }
            r.reservation = announced;
            r.body.reserve(announced);
        }
        return MHD_YES;
    }

    /// A response after which the connection closes: the rest of the
    /// request is never read.
    static WebResponse closing(WebResponse w) {
        w.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
        return w;
    }

    /// How the body is framed, when it is framed in a way that an
    /// intermediary could read differently: both Content-Length and
    /// Transfer-Encoding, Content-Lengths that differ (400), or a transfer
    /// coding other than chunked (501).
    static std::optional<WebResponse> framingRefusal(MHD_Connection* c) {
        struct Framing {
            std::vector<std::string_view> lengths;
            std::vector<std::string_view> codings;
        } f;
        MHD_get_connection_values(
            c, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                auto& framing = *static_cast<Framing*>(cls);
                if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
                    framing.lengths.emplace_back(value ? value : "");
                else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0)
                    framing.codings.emplace_back(value ? value : "");
                return MHD_YES;
            },
            &f);
        auto refusal = [](unsigned status, const char* why) {
            return closing({status, "text/plain; charset=utf-8", why, {}});
        };
        if (!f.lengths.empty() && !f.codings.empty())
            return refusal(MHD_HTTP_BAD_REQUEST,
                           "请求同时带有 Content-Length 和 Transfer-Encoding。\n");
        for (const auto length : f.lengths)
            if (length != f.lengths.front())
                return refusal(MHD_HTTP_BAD_REQUEST, "请求带有不同的 Content-Length。\n");
        for (const auto coding : f.codings)
            if (strcasecmp(std::string(coding).c_str(), "chunked") != 0)
                return refusal(MHD_HTTP_NOT_IMPLEMENTED, "不支持这种 Transfer-Encoding。\n");
        return std::nullopt;
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
        return publicErrorPage(get ? MHD_HTTP_NOT_FOUND : MHD_HTTP_METHOD_NOT_ALLOWED);
    }

    MHD_Result desktopComment(MHD_Connection* c, Request& r) {
        if (r.tooLarge)
            return tooLarge(c, r);
        const auto comment = decodeDesktopComment(r.body);
        if (!comment)
            return text(c, MHD_HTTP_BAD_REQUEST, "请求须以“CommentText=”开头。\n");
        if (isBlankComment(*comment))
            return text(c, MHD_HTTP_BAD_REQUEST, "留言为空。\n");
        if (!limiter_.allow(clientKey(c), r.body.size()))
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
        if (!limiter_.allow(clientKey(c), r.body.size()))
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

    WebRequest webRequest(MHD_Connection* c, const char* url, const char* method,
                          const Request& r) const {
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
        // Only the trusted proxy may say that the browser used HTTPS.
        if (fromTrustedProxy(c) && lastHeaderValue(c, "X-Forwarded-Proto") == "https")
            w.scheme = "https";
        return w;
    }

    static std::optional<ClientAddress> peerOf(MHD_Connection* c) {
        const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        return info ? ClientAddress::from(info->client_addr) : std::nullopt;
    }

    bool fromTrustedProxy(MHD_Connection* c) const {
        return trustedProxy_ && peerOf(c) == trustedProxy_;
    }

    /// The value of the last `name` line of the head, trimmed.
    static std::string lastHeaderValue(MHD_Connection* c, const char* name) {
        struct Last {
            const char* name;
            std::string value;
        } last{name, {}};
        MHD_get_connection_values(
            c, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                auto& l = *static_cast<Last*>(cls);
                if (strcasecmp(key, l.name) == 0)
                    l.value = value ? value : "";
                return MHD_YES;
            },
            &last);
        return std::string(trimmed(last.value));
    }

    static std::string_view trimmed(std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
            v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
            v.remove_suffix(1);
        return v;
    }

    /// Who a connection counts against: empty for the trusted proxy.
    std::string connectionKey(MHD_Connection* c) const {
        const auto peer = peerOf(c);
        if (!peer)
            return "?";
        return trustedProxy_ && *peer == *trustedProxy_ ? "" : peer->limitKey();
    }

    /// Who a comment counts against. Behind the trusted proxy, the client
    /// it names: the proxy appends the address it saw, so only the last
    /// entry of the last X-Forwarded-For line is its word; the rest is the
    /// client's own. One that is not an address is not taken.
    std::string clientKey(MHD_Connection* c) const {
        const auto peer = peerOf(c);
        if (!peer)
            return "?";
        if (trustedProxy_ && *peer == *trustedProxy_) {
            std::string_view forwarded = "";
            const std::string line = lastHeaderValue(c, "X-Forwarded-For");
            forwarded = line;
            if (const auto comma = forwarded.rfind(','); comma != std::string_view::npos)
                forwarded.remove_prefix(comma + 1);
            if (const auto named = ClientAddress::parse(forwarded))
                return named->limitKey();
        }
        return peer->limitKey();
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
    std::optional<ClientAddress> trustedProxy_;
    RateLimiter limiter_;
    ReleaseReply reply_;
    CommentWriter writer_;
};

std::string backupDay() {
    return std::to_string(std::time(nullptr) / 86400);
}

} // namespace

namespace {

/// One listener of the server, started on `at`.
class Daemon {
public:
    Daemon(ListenSocket socket, const ServeOptions& options, Server::Listener& listener) {
        const bool admin = listener.admin;
        const unsigned threads =
            admin ? 1 : std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
        unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
        if (socket.v6())
            flags |= MHD_USE_IPv6;
        shown_ = socket.shown();
        // The library's own per-address limit stays off: the guard counts
        // IPv6 clients per /64, which the library cannot.
        daemon_ = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &Server::handle, &listener, MHD_OPTION_LISTEN_SOCKET,
            socket.fd(), MHD_OPTION_THREAD_POOL_SIZE, threads, MHD_OPTION_CONNECTION_LIMIT,
            admin ? 64u : options.maxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
            options.idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t{32 * 1024},
            MHD_OPTION_NOTIFY_COMPLETED, &Server::completed, &listener,
            MHD_OPTION_NOTIFY_CONNECTION, &Server::connectionNotice, &listener, MHD_OPTION_END);
        if (daemon_ == nullptr)
            throw std::runtime_error("无法在 " + shown_ + " 上启动 HTTP 服务");
        socket.release(); // the daemon's now
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

/// Ends, a few times a second, the connections whose head or body is late.
class Watchdog {
public:
    explicit Watchdog(std::vector<ConnectionGuard*> guards)
        : guards_(std::move(guards)), thread_([this] { run(); }) {}
    ~Watchdog() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping_; }))
            for (ConnectionGuard* guard : guards_)
                guard->sweep();
    }

    const std::vector<ConnectionGuard*> guards_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the rest is ready
};

/// Every connection takes a descriptor: raises the soft limit (1,024 under
/// systemd) as far as the hard limit allows, so that the connection limit
/// and not a failing accept() decides.
void allowDescriptorsFor(unsigned connections) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, rlim_t{connections} + 256);
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || wanted < rlim_t{connections} + 256)
        logError("可打开的文件数上限只有 " + std::to_string(limit.rlim_cur) + "，不够 " +
                 std::to_string(connections) +
                 " 个连接：请调高 LimitNOFILE 或减小 --max-connections");
}

ConnectionGuard::Limits guardLimits(const ServeOptions& options, bool admin) {
    ConnectionGuard::Limits limits;
    limits.headTimeout = options.headTimeout;
    limits.crowdedHeadTimeout = std::min(options.headTimeout, limits.crowdedHeadTimeout);
    const unsigned slots = admin ? 64u : options.maxConnections;
    limits.crowded = slots - slots / 4;
    limits.minBodyRate = options.minBodyRate;
    limits.bodyBudget = options.bodyBudget;
    // Every admin client comes through loopback: only deadlines help there.
    limits.perClient = admin ? 0 : options.connectionsPerClient;
    return limits;
}

} // namespace

int serve(const ServeOptions& options, ListenSocket publicSocket, ListenSocket adminSocket) {
    // Signals are taken by this thread alone, with sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    allowDescriptorsFor(options.maxConnections + 64);

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

    ConnectionGuard publicGuard(guardLimits(options, false));
    ConnectionGuard adminGuard(guardLimits(options, true));
    Server::Listener publicListener{server.get(), false, &publicGuard};
    Server::Listener adminListener{server.get(), true, &adminGuard};
    std::unique_ptr<Daemon> publicDaemon;
    std::unique_ptr<Daemon> adminDaemon;
    try {
        publicDaemon = std::make_unique<Daemon>(std::move(publicSocket), options, publicListener);
    } catch (const std::exception& e) {
        logError(std::string("--listen：") + e.what());
        return 1;
    }
    try {
        adminDaemon = std::make_unique<Daemon>(std::move(adminSocket), options, adminListener);
    } catch (const std::exception& e) {
        logError(std::string("--admin-listen：") + e.what());
        return 1;
    }
    std::optional<Watchdog> watchdog(std::in_place,
                                     std::vector<ConnectionGuard*>{&publicGuard, &adminGuard});
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
    watchdog.reset();
    server.reset();
    try {
        flushUse(use, *db);
    } catch (const std::exception& e) {
        logError(std::string("无法记下使用次数：") + e.what());
    }
    return 0;
}

} // namespace pelvoran::server
