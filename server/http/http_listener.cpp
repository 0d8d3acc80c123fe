#include "server/http/http_listener.h"

#include "net/wire.h"

#include "server/http/handler.h"
#include "server/http/http_texts.h"
#include "server/http/web.h"
#include "server/release/release_file.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <strings.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {
namespace {

/// A file arriving in a multipart form, written as it comes to a file that
/// has no name: whatever becomes of the request, closing it is all it takes.
struct Upload {
    MHD_PostProcessor* parser = nullptr;
    Fd file;
    std::uint64_t limit = 0;
    std::uint64_t size = 0;
    std::string name;
    int parts = 0; // file parts seen: the form has one
    std::map<std::string, std::string> fields;
    std::uint64_t fieldBytes = 0;
    bool tooLarge = false;
    bool malformed = false;
    int writeError = 0;

    ~Upload() {
        if (parser != nullptr)
            MHD_destroy_post_processor(parser);
    }
};

/// What the listener keeps for one request, made as its request line is
/// read.
struct Request {
    /// Its path names a NUL (%00), where the library's copy of it ends.
    bool pathCut = false;
    bool started = false; // the head is in and was sorted
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
    std::unique_ptr<Upload> upload; // the release page's file form
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
        return send(c, textResponse(503, http_text::kFileUnreadable));
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
WebResponse closing(unsigned status, std::string text) {
    WebResponse w = textResponse(status, std::move(text));
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
        return closing(400, http_text::kBadHeaderName);
    if (!f.lengths.empty() && !f.codings.empty())
        return closing(400, http_text::kLengthAndChunked);
    for (const auto length : f.lengths)
        if (length != f.lengths.front())
            return closing(400, http_text::kLengthsDiffer);
    for (const auto coding : f.codings)
        if (strcasecmp(std::string(coding).c_str(), "chunked") != 0)
            return closing(501, http_text::kUnknownCoding);
    return std::nullopt;
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
    return v;
}

/// The values of every `name` line of the head, joined by ", " as RFC 9110
/// joins the lines of a field: two Range lines become several ranges.
std::string headerValues(MHD_Connection* c, const char* name) {
    struct All {
        const char* name;
        std::string values;
        bool first = true;
    } all{name, {}};
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            auto& a = *static_cast<All*>(cls);
            if (strcasecmp(key, a.name) == 0) {
                if (!a.first)
                    a.values += ", ";
                a.values += value ? value : "";
                a.first = false;
            }
            return MHD_YES;
        },
        &all);
    return all.values;
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

/// The one request whose body may be a file: the release page's form, sent
/// as multipart/form-data to the admin listener.
bool isUpload(bool admin, const RouteMatch& match, const char* method, MHD_Connection* c) {
    if (!admin || match.route != Route::AdminRelease || std::string_view(method) != "POST")
        return false;
    const char* type =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    return type != nullptr && strncasecmp(type, "multipart/form-data", 19) == 0;
}

/// A temporary file in `dir` that no name leads to.
Fd namelessFile(const std::string& dir) {
    Fd fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.get() >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // A file system without O_TMPFILE: the name goes at once.
    std::string path = dir + "/.upload-XXXXXX";
    fd = Fd(::mkostemp(path.data(), O_CLOEXEC));
    if (fd.get() >= 0)
        ::unlink(path.c_str());
    return fd;
}

/// The form's text fields as a urlencoded body, what the site reads forms from.
std::string encodedForm(const std::map<std::string, std::string>& fields) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const auto& [key, text] : fields) {
        if (!out.empty())
            out += '&';
        for (const std::string* part : {&key, &text}) {
            for (const char ch : *part) {
                const auto b = static_cast<unsigned char>(ch);
                if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                    b == '-' || b == '.' || b == '_' || b == '~') {
                    out += ch;
                } else {
                    out += '%';
                    out += kHex[b >> 4];
                    out += kHex[b & 15];
                }
            }
            if (part == &key)
                out += '=';
        }
    }
    return out;
}

/// Takes one piece of the form from the library's parser: the file's bytes
/// go to the file (none past the limit), the text fields to memory, within
/// the limit of every form.
MHD_Result formPiece(void* cls, MHD_ValueKind, const char* key, const char* filename, const char*,
                     const char*, const char* data, uint64_t off, size_t size) {
    auto& u = *static_cast<Upload*>(cls);
    if (key == nullptr)
        return MHD_YES;
    if (filename != nullptr) {
        if (std::string_view(key) != "file" || (off == 0 && ++u.parts > 1)) {
            u.malformed = true;
            return MHD_YES;
        }
        if (off == 0)
            u.name = filename;
        if (u.tooLarge || u.writeError != 0 || size == 0)
            return MHD_YES;
        if (size > u.limit - u.size) {
            u.tooLarge = true;
            (void)::ftruncate(u.file.get(), 0); // its disk space back now
            return MHD_YES;
        }
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = ::write(u.file.get(), data + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                u.writeError = n < 0 ? errno : ENOSPC;
                return MHD_YES;
            }
            done += static_cast<std::size_t>(n);
        }
        u.size += size;
        return MHD_YES;
    }
    u.fieldBytes += std::string_view(key).size() + size;
    if (u.fieldBytes > kMaxBody)
        u.malformed = true;
    else if (size > 0)
        u.fields[key].append(data, size);
    else
        u.fields.try_emplace(key);
    return MHD_YES;
}

/// Why a whole upload is not handed on; nullopt when it is.
std::optional<WebResponse> uploadRefusal(Upload& u) {
    // The parser says here whether the body ended where the form does.
    if (MHD_destroy_post_processor(u.parser) == MHD_NO)
        u.malformed = true;
    u.parser = nullptr;
    if (u.tooLarge)
        return closing(
            413, http_text::uploadTooLarge(u.limit, sizeText(static_cast<std::int64_t>(u.limit))));
    if (u.malformed)
        return closing(400, http_text::badUploadForm(maxBodyText()));
    if (u.writeError != 0)
        return closing(503, http_text::cannotWriteUpload(systemErrorText(u.writeError)));
    return std::nullopt;
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
        }
        if (r.match.route == Route::DesktopComment) {
            const char* key =
                MHD_lookup_connection_value(c, MHD_HEADER_KIND, wire::kReplyKeyHeader.bytes);
            in.replyKey = key ? key : "";
        }
        if (r.match.route == Route::UpdateCheck || r.match.route == Route::DesktopComment ||
            r.match.route == Route::WebComment || r.match.route == Route::Download) {
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
            // All of them: a proxy in front may take another line than the
            // first, and two are no range the file is answered with.
            w.range = headerValues(c, MHD_HTTP_HEADER_RANGE);
            w.ifRange = headerValues(c, MHD_HTTP_HEADER_IF_RANGE);
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
        if (r.pathCut) // the path we see is not the one that was asked for
            return send(c, closing(400, http_text::kNulInPath));
        r.match = findRoute(l.settings_.admin, method, url, l.settings_.publicPrefix);
        const std::uint64_t announced = announcedLength(c);
        const bool chunked = MHD_lookup_connection_value(
                                 c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
        if (!takesBody(r.match.route) && (announced > 0 || chunked)) {
            // A body nobody reads would only hold the slot while it dribbles in.
            r.asked = true;
            l.guard_.requestArrived(r.connection);
            const auto w = l.site_.answer(incoming(l, c, url, method, r), [](WebResponse) {});
            WebResponse answered = w ? *w : textResponse(503, http_text::kBusy);
            answered.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            // A file keeps its deadline and is counted, as without a body.
            return reply(l, c, r, answered);
        }
        if (isUpload(l.settings_.admin, r.match, method, c))
            return startUpload(l, c, url, method, r, announced);
        if (announced > kMaxBody) {
            // Answered now and closed: a route that reads bodies says it in
            // its own way (the lookup page keeps its form).
            r.tooLarge = true;
            std::optional<WebResponse> w;
            if (takesBody(r.match.route))
                w = l.site_.answer(incoming(l, c, url, method, r), [](WebResponse) {});
            WebResponse refusal =
                w ? *w : textResponse(413, http_text::requestTooLarge(maxBodyText()));
            refusal.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            return send(c, refusal);
        }
        // Nothing is reserved yet: the budget pays for bytes that arrive.
        r.keepBody = takesBody(r.match.route);
        r.most = announced > 0 ? announced : kMaxBody;
        return MHD_YES;
    }

    /// The release page's file form: the session and the form's token are
    /// checked from the head, before a byte of the body is written; the
    /// file then goes to a nameless file as it arrives.
    static MHD_Result startUpload(HttpListener& l, MHD_Connection* c, const char* url,
                                  const char* method, Request& r, std::uint64_t announced) {
        const auto refuse = [&](WebResponse w) {
            r.asked = true;
            w.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            return send(c, w);
        };
        if (auto refusal = l.site_.admitUpload(incoming(l, c, url, method, r)))
            return refuse(std::move(*refusal));
        const std::uint64_t limit = l.settings_.maxUpload;
        // The form's text fields may come on top of the file.
        if (announced > limit + kMaxBody)
            return refuse(textResponse(
                413, http_text::uploadTooLarge(limit, sizeText(static_cast<std::int64_t>(limit)))));
        auto u = std::make_unique<Upload>();
        u->limit = limit;
        u->file = namelessFile(l.settings_.uploadDir);
        if (u->file.get() < 0)
            return refuse(
                textResponse(503, http_text::cannotMakeUploadFile(systemErrorText(errno))));
        u->parser = MHD_create_post_processor(c, 64 * 1024, &formPiece, u.get());
        if (u->parser == nullptr)
            return refuse(textResponse(400, http_text::kNotMultipart));
        r.upload = std::move(u);
        l.guard_.bodyTakes(r.connection, announced > 0 ? announced : limit + kMaxBody);
        return MHD_YES;
    }

    static MHD_Result body(HttpListener& l, Request& r, const char* upload, std::size_t n) {
        l.guard_.bodyArrived(r.connection, n);
        if (r.upload) {
            if (!r.upload->malformed && MHD_post_process(r.upload->parser, upload, n) == MHD_NO)
                r.upload->malformed = true; // the rest is read and dropped
            return MHD_YES;
        }
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

    /// Sends the answer to a request read whole: a file is given to the
    /// guard, and what the answer does once sent is kept for then.
    static MHD_Result reply(HttpListener& l, MHD_Connection* c, Request& r, WebResponse& w) {
        if (w.file) {
            // The library's idle timeout counts from its last write, and a
            // slow reader's socket takes none while its buffer drains: the
            // guard follows what the client takes instead. Back with the
            // next request's head (handle).
            l.guard_.answerTakes(r.connection, w.file->length);
            MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
        }
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
        Incoming in;
        if (r.upload) {
            if (auto refusal = uploadRefusal(*r.upload))
                return reply(l, c, r, *refusal);
            r.body = encodedForm(r.upload->fields);
            in = incoming(l, c, url, method, r);
            if (!r.upload->name.empty())
                in.request.upload = WebRequest::Upload{r.upload->file.get(), r.upload->name,
                                                       r.upload->size, r.upload->limit};
        } else {
            in = incoming(l, c, url, method, r);
        }
        auto now = l.site_.answer(in, [c, &r](WebResponse w) {
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

    /// Makes the request's state as its line arrives, from the path as it
    /// was sent: the library decodes it in place, and a NUL (%00) would end
    /// the path the handler sees.
    static void* requestLine(void*, const char* uri, MHD_Connection*) {
        auto* r = new Request;
        const std::string_view sent(uri);
        const std::string_view path = sent.substr(0, sent.find('?'));
        r->pathCut = path.find("%00") != std::string_view::npos;
        return r;
    }

    static MHD_Result handle(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* uploadSize, void** state) {
        auto& l = *static_cast<HttpListener*>(cls);
        auto* r = static_cast<Request*>(*state);
        if (r == nullptr) // never: requestLine makes it
            return MHD_NO;
        if (!r->started) {
            r->started = true;
            const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
            r->connection =
                info ? static_cast<ConnectionGuard::Connection*>(info->socket_context) : nullptr;
            l.guard_.headArrived(r->connection, announcedLength(c));
            // A file answered before on this connection turned it off.
            const auto* timeout =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_TIMEOUT);
            if (timeout != nullptr && timeout->connection_timeout == 0 &&
                l.settings_.idleSeconds != 0)
                MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT,
                                          l.settings_.idleSeconds);
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
        size_t{32 * 1024}, MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::requestLine, this,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this, MHD_OPTION_NOTIFY_CONNECTION,
        &Callbacks::connectionNotice, this, MHD_OPTION_END);
    if (daemon_ == nullptr)
        throw std::runtime_error(http_text::cannotStartHttp(shown_));
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
