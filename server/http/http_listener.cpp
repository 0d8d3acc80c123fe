#include "server/http/http_listener.h"

#include "server/http/handler.h"
#include "server/http/web.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <strings.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {
namespace {

/// What the listener keeps for one request.
struct Request {
    RouteMatch match;
    ConnectionGuard::Connection* connection = nullptr;
    std::string body;
    bool keepBody = false;  // the route reads it; past the limit it is dropped
    std::uint64_t most = 0; // what the body can come to: announced, or the limit
    std::uint64_t room = 0; // the buffer's bytes, reserved with the guard
    bool tooLarge = false;
    bool asked = false; // handed to the site
    // An answer that came later, from another thread.
    std::mutex mutex;
    std::optional<WebResponse> answer;
    bool suspended = false;
    /// The answer's own, called once it went out whole.
    std::function<void()> completed;
};

/// The library's response: the body from memory, or a file part streamed
/// from its file, which the library closes. Null when it cannot be made.
MHD_Response* responseFor(const WebResponse& w) {
    if (!w.file)
        return MHD_create_response_from_buffer(w.body.size(), const_cast<char*>(w.body.data()),
                                               MHD_RESPMEM_MUST_COPY);
    const int fd = ::open(w.file->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    MHD_Response* response = MHD_create_response_from_fd_at_offset64(
        w.file->length, fd, static_cast<std::uint64_t>(w.file->offset));
    if (response == nullptr)
        ::close(fd);
    return response;
}

MHD_Result send(MHD_Connection* c, const WebResponse& w) {
    MHD_Response* response = responseFor(w);
    if (response == nullptr && w.file)
        return send(c, textResponse(503, "文件暂时无法读取，请稍后重试。\n"));
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, w.type.c_str());
    for (const auto& [name, value] : w.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result result = MHD_queue_response(c, w.status, response);
    MHD_destroy_response(response);
    return result;
}

/// A response after which the connection closes: the rest of the request
/// is never read.
WebResponse closing(unsigned status, const char* text) {
    WebResponse w = textResponse(status, text);
    w.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
    return w;
}

/// Whether `name` is a header name (an RFC 9110 token); "Transfer-Encoding "
/// is not, though the library hands it over as a name.
bool isToken(std::string_view name) {
    constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [&](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
               kMarks.find(ch) != std::string_view::npos;
    });
}

/// How the body is framed, when it is framed in a way that an intermediary
/// could read differently: a header name that is not a token, both
/// Content-Length and Transfer-Encoding, Content-Lengths that differ (400),
/// or a transfer coding other than chunked (501).
std::optional<WebResponse> framingRefusal(MHD_Connection* c) {
    struct Framing {
        std::vector<std::string_view> lengths;
        std::vector<std::string_view> codings;
        bool badName = false;
    } f;
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            auto& framing = *static_cast<Framing*>(cls);
            if (key == nullptr || !isToken(key))
                framing.badName = true;
            else if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
                framing.lengths.emplace_back(value ? value : "");
            else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0)
                framing.codings.emplace_back(value ? value : "");
            return MHD_YES;
        },
        &f);
    if (f.badName)
        return closing(400, "请求头的名字里有空格或其他不允许的字符。\n");
    if (!f.lengths.empty() && !f.codings.empty())
        return closing(400, "请求同时带有 Content-Length 和 Transfer-Encoding。\n");
    for (const auto length : f.lengths)
        if (length != f.lengths.front())
            return closing(400, "请求带有不同的 Content-Length。\n");
    for (const auto coding : f.codings)
        if (strcasecmp(std::string(coding).c_str(), "chunked") != 0)
            return closing(501, "不支持这种 Transfer-Encoding。\n");
    return std::nullopt;
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
    return v;
}

/// The value of the last `name` line of the head, trimmed.
std::string lastHeaderValue(MHD_Connection* c, const char* name) {
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

/// The head's Content-Length; 0 when it gives none.
std::uint64_t announcedLength(MHD_Connection* c) {
    const char* length =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return length ? std::strtoull(length, nullptr, 10) : 0;
}

std::optional<ClientAddress> peerOf(MHD_Connection* c) {
    const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? ClientAddress::from(info->client_addr) : std::nullopt;
}

} // namespace

struct HttpListener::Callbacks {
    static bool fromTrustedProxy(const HttpListener& l, MHD_Connection* c) {
        return l.settings_.trustedProxy && peerOf(c) == l.settings_.trustedProxy;
    }

    /// Who a connection counts against: no one for the trusted proxy and on
    /// the admin listener, which every client reaches through loopback.
    static ConnectionGuard::Peer connectionPeer(const HttpListener& l, MHD_Connection* c) {
        if (l.settings_.admin || fromTrustedProxy(l, c))
            return {};
        const auto peer = peerOf(c);
        return peer ? ConnectionGuard::Peer{peer->limitKey(), peer->groupKey()}
                    : ConnectionGuard::Peer{"?", ""};
    }

    /// The client's address. Behind the trusted proxy, the client it names:
    /// the proxy appends the address it saw, so only the last entry of the
    /// last X-Forwarded-For line is its word; the rest is the client's own.
    /// One that is not an address is not taken.
    static std::optional<ClientAddress> clientOf(const HttpListener& l, MHD_Connection* c) {
        const auto peer = peerOf(c);
        if (peer && l.settings_.trustedProxy && *peer == *l.settings_.trustedProxy) {
            const std::string line = lastHeaderValue(c, "X-Forwarded-For");
            std::string_view last = line;
            if (const auto comma = last.rfind(','); comma != std::string_view::npos)
                last.remove_prefix(comma + 1);
            if (const auto named = ClientAddress::parse(last))
                return named;
        }
        return peer;
    }

    /// Who a comment counts against.
    static std::string clientKey(const HttpListener& l, MHD_Connection* c) {
        const auto client = clientOf(l, c);
        return client ? client->limitKey() : "?";
    }

    static Incoming incoming(const HttpListener& l, MHD_Connection* c, const char* url,
                             const char* method, Request& r) {
        Incoming in;
        in.admin = l.settings_.admin;
        in.match = r.match;
        in.tooLarge = r.tooLarge;
        in.request.method = method;
        in.request.path = url;
        if (r.match.route == Route::UpdateCheck || r.match.route == Route::DesktopComment) {
            const char* agent =
                MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT);
            in.userAgent = agent ? agent : "";
            if (const auto client = clientOf(l, c))
                in.network = client->networkKey();
        }
        if (r.match.route == Route::UpdateCheck)
            return in; // the hot path reads nothing else
        WebRequest& w = in.request;
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
        w.authorization = header(MHD_HTTP_HEADER_AUTHORIZATION);
        if (r.match.route == Route::Download) {
            w.range = header(MHD_HTTP_HEADER_RANGE);
            w.ifRange = header(MHD_HTTP_HEADER_IF_RANGE);
        }
        w.root = l.settings_.publicPrefix;
        w.body = std::move(r.body);
        // Only the trusted proxy may say that the browser used HTTPS.
        if (fromTrustedProxy(l, c) && lastHeaderValue(c, "X-Forwarded-Proto") == "https")
            w.scheme = "https";
        if (takesBody(r.match.route))
            in.client = clientKey(l, c);
        // Kept in the audit log when it signs in.
        if (const auto client = l.settings_.admin ? clientOf(l, c) : std::nullopt)
            w.client = client->text();
        return in;
    }

    /// Sorts the request by the route table once its head has arrived. A
    /// request whose body is not wanted or cannot be kept is answered now:
    /// the connection then closes without reading it.
    static MHD_Result start(HttpListener& l, MHD_Connection* c, const char* url, const char* method,
                            Request& r) {
        if (const auto refusal = framingRefusal(c))
            return send(c, *refusal);
        r.match = findRoute(l.settings_.admin, method, url, l.settings_.publicPrefix);
        const std::uint64_t announced = announcedLength(c);
        const bool chunked = MHD_lookup_connection_value(
                                 c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
        if (!takesBody(r.match.route) && (announced > 0 || chunked)) {
            // A body nobody reads would only hold the slot while it dribbles in.
            r.asked = true;
            l.guard_.requestArrived(r.connection);
            const auto w = l.site_.answer(incoming(l, c, url, method, r), [](WebResponse) {});
            WebResponse reply = w ? *w : textResponse(503, "服务器正忙，请稍后重试。\n");
            reply.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            return send(c, reply);
        }
        if (announced > kMaxBody) {
            // Answered now and closed: a route that reads bodies says it in
            // its own way (the lookup page keeps its form).
            r.tooLarge = true;
            std::optional<WebResponse> w;
            if (takesBody(r.match.route))
                w = l.site_.answer(incoming(l, c, url, method, r), [](WebResponse) {});
            WebResponse refusal =
                w ? *w : textResponse(413, "请求太大，最多 " + maxBodyText() + "。\n");
            refusal.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            return send(c, refusal);
        }
        // Nothing is reserved yet: the budget pays for bytes that arrive.
        r.keepBody = takesBody(r.match.route);
        r.most = announced > 0 ? announced : kMaxBody;
        return MHD_YES;
    }

    static MHD_Result body(HttpListener& l, Request& r, const char* upload, std::size_t n) {
        l.guard_.bodyArrived(r.connection, n);
        if (!r.keepBody || r.tooLarge)
            return MHD_YES;
        const std::uint64_t need = r.body.size() + n;
        if (need > kMaxBody) {
            r.tooLarge = true;
            r.body = std::string(); // its memory back at once
            return MHD_YES;
        }
        if (need > r.room) {
            // The buffer grows in steps of at most 64 KiB, each paid for
            // first, so what the guard counts is the memory held; a body
            // the budget cannot hold is cut off: no answer can be sent now.
            const std::uint64_t room =
                std::min(r.most, need + std::min<std::uint64_t>(need, 64 * 1024));
            if (!l.guard_.reserve(r.connection, room - r.room))
                return MHD_NO;
            std::string grown;
            grown.reserve(room);
            grown.append(r.body);
            r.body.swap(grown);
            r.room = room;
        }
        r.body.append(upload, n);
        return MHD_YES;
    }

    /// Sends the answer to a request read whole: a file is given its
    /// deadline, and what the answer does once sent is kept for then.
    static MHD_Result reply(HttpListener& l, MHD_Connection* c, Request& r, WebResponse& w) {
        if (w.file)
            l.guard_.answerTakes(r.connection, w.file->length);
        r.completed = std::move(w.completed);
        return send(c, w);
    }

    /// Once the whole request is in: the site's answer, now or, for a
    /// comment being committed, once it is durable; the connection waits
    /// suspended meanwhile.
    static MHD_Result answer(HttpListener& l, MHD_Connection* c, const char* url,
                             const char* method, Request& r) {
        {
            std::unique_lock lock(r.mutex);
            if (r.answer)
                return reply(l, c, r, *r.answer);
            if (r.asked)
                return MHD_YES; // not yet
        }
        r.asked = true;
        l.guard_.requestArrived(r.connection);
        auto now = l.site_.answer(incoming(l, c, url, method, r), [c, &r](WebResponse w) {
            const std::lock_guard lock(r.mutex);
            r.answer = std::move(w);
            if (r.suspended) {
                r.suspended = false;
                MHD_resume_connection(c);
            }
        });
        if (now)
            return reply(l, c, r, *now);
        const std::lock_guard lock(r.mutex);
        if (r.answer) // answered before we could wait
            return reply(l, c, r, *r.answer);
        r.suspended = true;
        MHD_suspend_connection(c);
        return MHD_YES;
    }

    static MHD_Result handle(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* uploadSize, void** state) {
        auto& l = *static_cast<HttpListener*>(cls);
        auto* r = static_cast<Request*>(*state);
        if (r == nullptr) {
            r = new Request;
            *state = r;
            const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
            r->connection =
                info ? static_cast<ConnectionGuard::Connection*>(info->socket_context) : nullptr;
            l.guard_.headArrived(r->connection, announcedLength(c));
            return start(l, c, url, method, *r);
        }
        if (*uploadSize > 0) {
            const std::size_t n = *uploadSize;
            *uploadSize = 0;
            return body(l, *r, upload, n);
        }
        return answer(l, c, url, method, *r);
    }

    static void completed(void* cls, MHD_Connection*, void** state,
                          MHD_RequestTerminationCode code) {
        auto* r = static_cast<Request*>(*state);
        if (r == nullptr)
            return;
        if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK && r->completed)
            r->completed();
        auto& l = *static_cast<HttpListener*>(cls);
        l.guard_.requestDone(r->connection); // its reservation back too
        delete r;
        *state = nullptr;
    }

    /// Notes each connection with the guard, counted by its client.
    static void connectionNotice(void* cls, MHD_Connection* c, void** socketContext,
                                 MHD_ConnectionNotificationCode code) {
        auto& l = *static_cast<HttpListener*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const auto* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            *socketContext =
                l.guard_.opened(l.slots_, fd ? fd->connect_fd : -1, connectionPeer(l, c));
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            l.guard_.closed(static_cast<ConnectionGuard::Connection*>(*socketContext));
            *socketContext = nullptr;
        }
    }
};

HttpListener::HttpListener(ListenSocket socket, Settings settings, RequestHandler& site,
                           ConnectionGuard& guard)
    : settings_(std::move(settings)), site_(site), guard_(guard),
      slots_(guard.listener(settings_.maxConnections)), shown_(socket.shown()) {
    // One core stays with the rest of the machine (the comment writer's
    // commits, the proxy in front): a listener thread that has to share a
    // core is preempted for a time slice with all its connections waiting.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned threads = settings_.admin ? 1 : std::clamp(cores - 1, 1u, 8u);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (socket.v6())
        flags |= MHD_USE_IPv6;
    // The library's own per-address limit stays off: the guard counts IPv6
    // clients per /64, which the library cannot.
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Callbacks::handle, this, MHD_OPTION_LISTEN_SOCKET, socket.fd(),
        MHD_OPTION_THREAD_POOL_SIZE, threads, MHD_OPTION_CONNECTION_LIMIT, settings_.maxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, settings_.idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        size_t{32 * 1024}, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::connectionNotice, this, MHD_OPTION_END);
    if (daemon_ == nullptr)
        throw std::runtime_error("无法在 " + shown_ + " 上启动 HTTP 服务");
    socket.release(); // the library's now
}

HttpListener::~HttpListener() {
    stop();
}

void HttpListener::quiesce() {
    if (daemon_ != nullptr && quiesced_ < 0)
        quiesced_ = MHD_quiesce_daemon(daemon_);
}

void HttpListener::stop() {
    if (daemon_ == nullptr)
        return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    if (quiesced_ >= 0)
        ::close(quiesced_);
    quiesced_ = -1;
}

} // namespace pelvoran::server
