// The real pelvoran-server as a process of its own, over real sockets, with a
// real SQLite file in a temporary state directory; and the real desktop tool
// against it.
#include "server/support/digest.h"
#include "tests/support/driver_process.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace pelvoran::test;
using namespace std::chrono_literals;

namespace {

const std::string kComment = "/Canon/comment.asp";

std::vector<std::string> exported(const std::string& state) {
    const CommandResult r = runServerCommand({"comments", "export", "--state", state});
    EXPECT_EQ(r.status, 0) << r.err;
    return exportedTexts(r.out);
}

std::string replyTo(int port) {
    return bodyOf(httpExchange(port, updateQuestion()));
}

/// The service's user, for state directories that root does not own.
constexpr uid_t kService = 65534;

/// A database in `state` with `count` comments of 500 bytes, checkpointed
/// into the main file.
void seedComments(const std::string& state, int count) {
    makeState(state);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((state + "/comments.sqlite").c_str(), &db), SQLITE_OK);
    const std::string sql =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(count) +
        ") INSERT INTO comments (received, text, raw, source) "
        "SELECT 1700000000 + i, printf('%0500d', i), x'', 'web' FROM n";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db); // the last connection: checkpoints and removes the WAL
}

/// Hands `dir` and what is in it to `uid`.
void giveTo(const std::string& dir, uid_t uid) {
    ASSERT_EQ(::chown(dir.c_str(), uid, uid), 0);
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        ASSERT_EQ(::chown(e.path().c_str(), uid, uid), 0) << e.path();
}

/// Zeros written over `length` bytes of `file` from `offset`; with `flip`,
/// each of those bytes inverted instead.
void overwrite(const std::string& file, std::streamoff offset, std::size_t length, bool flip) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes(length, '\0');
    f.seekg(offset);
    f.read(bytes.data(), static_cast<std::streamsize>(length));
    for (char& b : bytes)
        b = flip ? static_cast<char>(~b) : '\0';
    f.seekp(offset);
    f.write(bytes.data(), static_cast<std::streamsize>(length));
    ASSERT_TRUE(f.good()) << file;
}

int modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

/// Waits up to `seconds` for serve's daily backup in `dir`, made on a thread
/// of its own as serve starts; whether it is there.
bool dailyBackupMade(const std::string& dir, int seconds) {
    const auto made = [&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir + "/backups", ec))
            if (e.path().extension() == ".sqlite")
                return true;
        return false;
    };
    for (int i = 0; i < seconds * 10 && !made(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return made();
}

/// /healthz until it answers `status` with `text` in its body (as its
/// `whole` body), for up to 5 s (it looks once a second); the last reply.
std::string healthSays(int port, int status, const std::string& text = "", bool whole = false) {
    std::string reply;
    for (int i = 0; i < 50; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(100ms);
        reply = httpExchange(
            port, "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        const std::string body = bodyOf(reply);
        if (statusOf(reply) == status &&
            (whole ? body == text : body.find(text) != std::string::npos))
            break;
    }
    return reply;
}

/// serve (`args` after the word) as `process`, both streams into `log`;
/// what it printed once the line of the admin pages is out, or after 20 s.
std::string startServe(std::optional<ChildProcess>& process, const std::string& log,
                       std::vector<std::string> args) {
    args.insert(args.begin(), {PELVORAN_SERVER_EXE, "serve"});
    process.emplace(args, log);
    std::string printed;
    for (int i = 0; i < 200 && printed.find('\n', printed.find("管理页面")) == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(100ms);
        printed = fileBytes(log);
    }
    return printed;
}

/// Where a server started meanwhile says how it goes, as it tells systemd:
/// a socket of the test's own named in $NOTIFY_SOCKET while it lives.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path)
        : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        path.copy(at.sun_path, sizeof at.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            throw std::runtime_error("cannot listen on " + path);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    /// Whether a message that says `what` ("STOPPING=1") comes within `limit`.
    bool says(const std::string& what, std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0 &&
                std::string(buf, static_cast<std::size_t>(n)).find(what) != std::string::npos)
                return true;
        }
        return false;
    }

private:
    int fd_;
};

/// `size` bytes drawn from a generator seeded with `seed`: a file's bytes.
std::string randomBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (char& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

} // namespace

// Over the wire, a body of each kind of tool in the field arrives as meant
// (the whole table of bodies is read in server_parts_test); export order is
// newest first, so compare reversed.
TEST(ServerWire, CommentBodiesOfBothKindsOfToolAreStoredAsMeant) {
    const struct {
        std::string body;
        std::string stored;
    } cases[] = {
        {"CommentText=%BE%B5%CD%B7", "镜头"},
        {"CommentText=a&b=c", "a&b=c"}, // published 1.05
        {"CommentText=%26%23128512%3B", "😀"},
        {"CommentText=a\rb\nc\r\nd%0Ae%0D", "a\nb\nc\nd\ne\n"},
        {"CommentText=\xE9\x95\x9C\xE5\xA4\xB4 ok", "镜头 ok"}, // raw UTF-8
    };
    const TempDir state;
    ServerProcess server(state.path());
    for (const auto& c : cases)
        EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, c.body))), 200) << c.body;
    auto texts = exported(state.path());
    std::reverse(texts.begin(), texts.end());
    ASSERT_EQ(texts.size(), std::size(cases));
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(texts[i], cases[i].stored) << cases[i].body;
}

// Every refusal has its status, nothing is stored, and the server stays up.
TEST(ServerWire, RefusalsAndHostileRequests) {
    const std::string big(10 * 1024 * 1024, 'a');
    std::string chunked = "POST " + kComment +
                          " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                          "Connection: close\r\n\r\n";
    for (int i = 0; i < 20; ++i)
        chunked += "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
    chunked += "0\r\n\r\n";
    std::string headerFlood = "GET /Canon/LensCheck.asp HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 5000; ++i)
        headerFlood += "X-" + std::to_string(i) + ": flood\r\n";
    headerFlood += "\r\n";
    const struct {
        const char* what;
        std::string request;
        int status; // 0: closed without an answer
    } cases[] = {
        {"blank", post(kComment, "CommentText=  \xA1\xA1 "), 400}, // GBK ideographic blank
        {"empty", post(kComment, "CommentText="), 400},
        {"no field", post(kComment, "comment=hi"), 400},
        {"field not first", post(kComment, "x=1&CommentText=hi"), 400},
        {"10 MB announced", post(kComment, "CommentText=" + big), 413},
        {"over 1 MiB chunked", chunked, 413},
        {"other path", "GET /admin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
        {"GET comment", "GET /Canon/comment.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         405},
        {"POST update", post("/Canon/LensCheck.asp", "CommentText=x"), 405},
        {"no version", "GET /\r\n\r\n", 400},
        {"header without colon", "GET / HTTP/1.1\r\nHost: x\r\nno colon\r\n\r\n", 400},
        {"bad length",
         "POST " + kComment + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1x\r\n\r\nCommentText=x",
         400},
        {"broken chunk",
         "POST " + kComment + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         400},
        {"bad version", "GET / HTTP/9.9\r\nHost: x\r\n\r\n", 505},
        {"header flood", headerFlood, 431},
        // No method and target to answer: the library closes without a word.
        {"garbage line", "GARBAGE\r\n\r\n", 0},
    };
    const TempDir state;
    ServerProcess server(state.path());
    for (const auto& c : cases) {
        const std::string reply = httpExchange(server.port(), c.request);
        EXPECT_EQ(statusOf(reply), c.status) << c.what << ": " << reply.substr(0, 200);
        EXPECT_EQ(statusOf(httpExchange(server.port(), updateQuestion())), 200)
            << "after " << c.what;
    }
    EXPECT_TRUE(exported(state.path()).empty());
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// The reply follows the published release within a second, escaped as the
// tool unescapes it; HEAD is answered like GET; D is never read.
TEST(ServerWire, UpdateCheckFollowsThePublishedRelease) {
    const TempDir state;
    ServerProcess server(state.path());
    const std::string head = httpExchange(server.port(), updateQuestion("HEAD"));
    EXPECT_EQ(statusOf(head), 200);
    EXPECT_EQ(bodyOf(head), "");
    EXPECT_EQ(replyTo(server.port()), "");

    const CommandResult set =
        runServerCommand({"release", "set", "--state", state.path(), "--version", "1.06",
                          "--address", "http://example.com/新版 1.exe", "--date", "2026年12月1日",
                          "--notes", "修正 50% 的问题\n第二行"});
    ASSERT_EQ(set.status, 0) << set.err;
    const std::string expected =
        "1.06[;]http://example.com/%u65B0%u7248 1.exe[;]2026%u5E7412%u6708"
        "1%u65E5[;]%u4FEE%u6B63 50%25 %u7684%u95EE%u9898\n%u7B2C%u4E8C%u884C";
    std::string body;
    for (int i = 0; i < 20 && body != expected; ++i) {
        std::this_thread::sleep_for(100ms);
        body = replyTo(server.port());
    }
    EXPECT_EQ(body, expected) << "not served within 2 s";
    const CommandResult show = runServerCommand({"release", "show", "--state", state.path()});
    EXPECT_EQ(show.out,
              "版本：1.06\n下载地址：http://example.com/新版 1.exe\n发布日期：2026年12月1日\n"
              "更新说明：修正 50% 的问题\n第二行\n签名：未签名\n");

    ASSERT_EQ(runServerCommand({"release", "clear", "--state", state.path()}).status, 0);
    for (int i = 0; i < 20 && !body.empty(); ++i) {
        std::this_thread::sleep_for(100ms);
        body = replyTo(server.port());
    }
    EXPECT_EQ(body, "");
}

// Behind the trusted proxy, each platform's tool is answered with its own
// release, an agentless (1.05-style) or malformed agent with Windows's; a
// staged Linux release reaches 10%, then 50% of 10,000 of the proxy's
// clients' networks (within 2 points), the same ones on every check and
// connection, raising it keeps those it had, and a halt reaches the
// running server; a rollout of nothing or of no percentage is refused.
TEST(ServerWire, EachPlatformItsReleaseAndARolloutWithAHalt) {
    const TempDir state;
    ServerProcess server(state.path(), {"--trusted-proxy", "127.0.0.1"});
    const auto release = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"release"});
        args.insert(args.end(), {"--state", state.path()});
        return runServerCommand(args);
    };
    const auto check = [&](const std::string& agent, const std::string& forwardedFor) {
        std::string question = updateQuestion();
        question.insert(question.size() - 2,
                        (agent.empty() ? "" : "User-Agent: " + agent + "\r\n") +
                            "X-Forwarded-For: " + forwardedFor + "\r\n");
        return bodyOf(httpExchange(server.port(), question));
    };
    const struct {
        std::vector<std::string> args;
        const char* says;
    } refused[] = {
        {{"halt", "--platform", "linux"}, "--platform linux"},
        {{"rollout", "101"}, "0 到 100 的整数"},
        {{"rollout", "1.5"}, "0 到 100 的整数"},
        {{"set", "--version", "1.07", "--address", "https://x/l", "--date", "d", "--notes", "n",
          "--rollout", "ten"},
         "--rollout"},
        {{"show", "--platform", "mac"}, "--platform"},
    };
    for (const auto& c : refused) {
        const CommandResult r = release(c.args);
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    const std::vector<std::string> fields = {
        "--address", "http://127.0.0.1/p", "--date", "d", "--notes", "n"};
    const auto set = [&](const char* version, const char* platform) {
        std::vector<std::string> args = {"set", "--version", version, "--platform", platform};
        args.insert(args.end(), fields.begin(), fields.end());
        const CommandResult r = release(args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    set("1.06", "windows");
    set("1.07", "linux");
    const auto body = [](const char* version) {
        return std::string(version) + "[;]http://127.0.0.1/p[;]d[;]n";
    };
    for (int i = 0; i < 50 && check("Pelvoran/1.06 (Linux)", "10.0.0.1") != body("1.07"); ++i)
        std::this_thread::sleep_for(100ms);
    const struct {
        const char* agent;
        const char* offered;
    } agents[] = {
        {"Pelvoran/1.06 (Linux)", "1.07"},
        {"Pelvoran/1.05 (Windows)", "1.06"},
        {"", "1.06"},
        {"Pelvoran/1.06 (linux)", "1.06"},
    };
    for (const auto& a : agents)
        EXPECT_EQ(check(a.agent, "10.0.0.1"), body(a.offered)) << a.agent;

    // The Linux tool's checks from `networks` networks (10.a.b.9, one /24
    // each), one check each on the kept-alive connection `fd`: 'y' for the
    // staged release offered, 'n' for no newer version, '?' for anything else.
    const auto linuxAnswers = [&](int fd, int networks) {
        std::string question = updateQuestion();
        question.replace(question.find("Connection: close\r\n"), 19,
                         "User-Agent: Pelvoran/1.06 (Linux)\r\n");
        std::string answers;
        // Sent 100 at a time, one after the other on the connection, as
        // HTTP/1.1 allows: a round trip each took most of the time.
        for (int from = 0; from < networks; from += 100) {
            std::string batch;
            const int to = std::min(networks, from + 100);
            for (int n = from; n < to; ++n) {
                std::string q = question;
                q.insert(q.size() - 2, "X-Forwarded-For: 192.0.2.1, 10." + std::to_string(n >> 8) +
                                           "." + std::to_string(n & 255) + ".9\r\n");
                batch += q;
            }
            for (const std::string& reply :
                 exchangeAllOn(fd, batch, static_cast<std::size_t>(to - from))) {
                const std::string offered = bodyOf(reply);
                answers += statusOf(reply) != 200    ? '?'
                           : offered == body("1.07") ? 'y'
                           : offered.empty()         ? 'n'
                                                     : '?';
            }
        }
        answers.resize(static_cast<std::size_t>(networks), '?');
        return answers;
    };
    const auto share = [](const std::string& answers) {
        return 100.0 * static_cast<double>(std::count(answers.begin(), answers.end(), 'y')) /
               static_cast<double>(answers.size());
    };
    // A change is seen on the first 200 networks, then all 10,000 are
    // asked on the same connection, so of the same listener thread.
    constexpr int kNetworks = 10000;
    const auto afterChange = [&](int fd, const std::function<bool(const std::string&)>& seen) {
        for (int i = 0; i < 100 && !seen(linuxAnswers(fd, 200)); ++i)
            std::this_thread::sleep_for(100ms);
        return linuxAnswers(fd, kNetworks);
    };
    const int fd = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(release({"rollout", "10", "--platform", "linux"}).status, 0);
    const std::string tenth =
        afterChange(fd, [](const std::string& a) { return a.find('n') != std::string::npos; });
    EXPECT_EQ(tenth.find('?'), std::string::npos);
    EXPECT_NEAR(share(tenth), 10.0, 2.0);

    ASSERT_EQ(release({"rollout", "50", "--platform", "linux"}).status, 0);
    const std::string half =
        afterChange(fd, [&](const std::string& a) { return a != tenth.substr(0, a.size()); });
    EXPECT_EQ(half.find('?'), std::string::npos);
    EXPECT_NEAR(share(half), 50.0, 2.0);
    for (std::size_t n = 0; n < tenth.size(); ++n)
        ASSERT_TRUE(tenth[n] != 'y' || half[n] == 'y') << "network " << n << " lost it at 50%";
    // The same answers to a tool's next start, on another connection.
    const int other = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(other, 0);
    EXPECT_EQ(linuxAnswers(other, 1000), half.substr(0, 1000));
    ::close(other);

    ASSERT_EQ(release({"halt", "--platform", "linux"}).status, 0);
    for (int i = 0; i < 100 && linuxAnswers(fd, 200).find('y') != std::string::npos; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(linuxAnswers(fd, 2000), std::string(2000, 'n')) << "not halted within 10 s";
    ::close(fd);
    EXPECT_EQ(check("", "10.0.0.1"), body("1.06")) << "Windows's release stays";
    const CommandResult audit = runServerCommand({"audit", "list", "--state", state.path()});
    EXPECT_NE(audit.out.find("1.07（Linux）：10% → 50%"), std::string::npos) << audit.out;
    EXPECT_NE(audit.out.find("1.07（Linux）：50% → 0%"), std::string::npos) << audit.out;
}

// release set refuses, with status 2 and the option named, what the tool
// would mishandle; the release published before stays.
TEST(ServerCommandLine, ReleaseSetRefusesWhatTheToolWouldMishandle) {
    const std::string lines21 = [] {
        std::string s;
        for (int i = 0; i < 21; ++i)
            s += "line\n";
        return s;
    }();
    const struct {
        const char* option; // named in the refusal
        std::string value;
    } cases[] = {
        {"--version", "1.05"},
        {"--version", "1.0"},
        {"--version", "1,06"},
        {"--version", "1e3"},
        {"--version", "beta"},
        {"--version", " 1.06"},
        {"--version", "１．０６"},
        {"--address", "ftp://example.com/x"},
        {"--address", "http://-x"},
        {"--address", "http://"},
        {"--date", "2026[;]12"},
        {"--date", "a\tb"},
        {"--address", "http://x/\ny"},
        {"--notes", lines21},
        {"--notes", std::string(1001, 'n')},
        {"--notes", "a\x1b[31m"},
        {"--notes", "a\u202Eb"},
        {"--address", "http://pelvoran.example.com@evil.example/x.exe"},
        {"--version", "01.07"},
        {"--version", "1.6"},
        {"--notes", "a\u200Bb"},
    };
    const TempDir state;
    makeState(state.path());
    const std::vector<std::string> good = {
        "release",   "set",  "--state",   state.path(),
        "--version", "1.10", "--address", "https://x.cn/a",
        "--date",    "d",    "--notes",   std::string(1000, 'n')};
    ASSERT_EQ(runServerCommand(good).status, 0);
    for (const auto& c : cases) {
        std::vector<std::string> args = good;
        *(std::find(args.begin(), args.end(), c.option) + 1) = c.value;
        const CommandResult r = runServerCommand(args);
        EXPECT_EQ(r.status, 2) << c.option << " " << c.value;
        EXPECT_TRUE(r.err.starts_with("pelvoran-server: " + std::string(c.option) + "：")) << r.err;
    }
    EXPECT_NE(runServerCommand({"release", "show", "--state", state.path()}).out.find("1.10"),
              std::string::npos);
}

TEST(ServerCommandLine, UsageErrorsAndExports) {
    const TempDir state;
    const std::string dir = state.path();
    makeState(dir);
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"serve", "--state", dir, "--listen", "localhost"}, 2},
        {{"serve", "--state", dir, "--listen", "127.0.0.1:70000"}, 2},
        {{"serve", "--state", dir, "--listen", "127.0.0.1:0", "--listen", "::1:80"}, 2},
        {{"serve", "--state", dir, "--public-prefix", "pelvoran"}, 2},
        {{"serve", "--state", dir, "--public-prefix", "/a/../"}, 2},
        {{"serve", "--state", dir, "--trusted-proxy", "proxy.example"}, 2},
        {{"serve", "--state", dir, "--max-connections", "many"}, 2},
        {{"release", "show", "--state", dir, "--version", "1.06"}, 2},
        {{"release", "publish", "--state", dir}, 2},
        {{"release", "set", "--state", dir, "--version", "1.06"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-13-01"}, 2},
        {{"comments", "list", "--state", dir, "--since", "yesterday"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-02-31"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2025-02-29"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-04-31"}, 2},
        {{"comments", "list", "--state", dir, "--since", "2024-02-29"}, 0},
        {{"comments", "export", "--state", dir, "--format", "xml"}, 2},
        {{"comments", "list", "--state", dir, "--state", dir}, 2},
        {{"backup", "--state", dir}, 2},
        {{"comments", "list", "--state", dir, "--since", "2026-12-01"}, 0},
        {{"release", "show", "--state", dir}, 0},
        {{"--version", "--state", dir}, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runServerCommand(c.args).status, c.status) << ::testing::PrintToString(c.args);
    const CommandResult version = runServerCommand({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "pelvoran-server " PELVORAN_CHANGELOG_VERSION "\n");

    {
        ServerProcess server(dir);
        for (const char* body : {"CommentText==SUM(A1)", "CommentText=%2Bcmd, \"quoted\"\r\nline",
                                 "CommentText=plain"})
            ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, body))), 200);
        // serve keeps a daily backup of its own, made as it starts; stopping
        // the server stops one on its way, so it is looked for first.
        EXPECT_TRUE(dailyBackupMade(dir, 20));
    }
    const CommandResult csv =
        runServerCommand({"comments", "export", "--state", dir, "--format", "csv"});
    ASSERT_EQ(csv.status, 0);
    EXPECT_TRUE(csv.out.starts_with("\xEF\xBB\xBFid,received,text,source,flagged,read\r\n3,"));
    EXPECT_NE(csv.out.find(",plain,desktop,false,false\r\n2,"), std::string::npos) << csv.out;
    EXPECT_NE(csv.out.find(",\"'+cmd, \"\"quoted\"\"\nline\",desktop,false,false\r\n1,"),
              std::string::npos)
        << csv.out;
    EXPECT_NE(csv.out.find(",'=SUM(A1),desktop,false,false\r\n"), std::string::npos) << csv.out;
    const CommandResult jsonl = runServerCommand({"comments", "export", "--state", dir});
    EXPECT_TRUE(jsonl.out.starts_with("{\"id\":3,\"received\":\"20")) << jsonl.out;
    EXPECT_NE(
        jsonl.out.find(
            "Z\",\"text\":\"plain\",\"source\":\"desktop\",\"flagged\":false,\"read\":false}\n"),
        std::string::npos);
    const CommandResult future =
        runServerCommand({"comments", "list", "--state", dir, "--since", "2999-01-01"});
    EXPECT_EQ(future.out, "没有留言。\n");

    // backup: a whole database of its own, never over an existing file.
    const std::string copy = dir + "/copy.sqlite";
    ASSERT_EQ(runServerCommand({"backup", copy, "--state", dir}).status, 0);
    const CommandResult again = runServerCommand({"backup", copy, "--state", dir});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("copy.sqlite"), std::string::npos);
    // Nor into a directory, nor through a link, even one that leads nowhere.
    std::filesystem::create_symlink(dir + "/nowhere", dir + "/link");
    for (const std::string& target : {dir, dir + "/", dir + "/link"})
        EXPECT_EQ(runServerCommand({"backup", target, "--state", dir}).status, 2) << target;
    EXPECT_FALSE(std::filesystem::exists(dir + "/nowhere"));
    const TempDir restored;
    std::filesystem::copy_file(copy, restored.path() + "/comments.sqlite");
    EXPECT_EQ(exported(restored.path()).size(), 3u);
}

// A deleted comment is gone from the file and its WAL while the server runs,
// overflow pages too, not only hidden; its number is never handed out again.
TEST(ServerModeration, DeletedCommentsLeaveNoByteBehind) {
    const TempDir state;
    const std::string dir = state.path();
    makeState(dir);
    ServerProcess server(dir);
    std::string longText;
    while (longText.size() < 9000)
        longText += "Xq7Zk-long-";
    for (const std::string& body :
         {std::string("CommentText=Xq7Zk-short"), "CommentText=" + longText,
          std::string("CommentText=stays-Pw3")})
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, body))), 200);
    // The web form ends on a 303 to its thanks page: a reload posts nothing.
    const std::string web =
        httpExchange(server.port(), post("/comment", "text=Xq7Zk-bot&website=x"));
    EXPECT_EQ(statusOf(web), 303);
    EXPECT_NE(web.find("\r\nLocation: /thanks\r\n"), std::string::npos) << web;
    EXPECT_NE(bodyOf(httpExchange(server.port(), "GET /thanks HTTP/1.1\r\nHost: x\r\n"
                                                 "Connection: close\r\n\r\n"))
                  .find("留言已收到"),
              std::string::npos);
    const CommandResult list = runServerCommand({"comments", "list", "--state", dir});
    EXPECT_NE(list.out.find("网页  疑似机器人\n    Xq7Zk-bot"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("桌面工具  未读\n    stays-Pw3"), std::string::npos) << list.out;

    const CommandResult missing =
        runServerCommand({"comments", "delete", "1", "9", "--state", dir});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("#9"), std::string::npos) << missing.err;
    EXPECT_EQ(exported(dir).size(), 4u) << "a refused delete took something";
    // Each deleted comment is shown, its first line cut short: a mistyped
    // number is seen at once.
    const struct {
        std::vector<std::string> numbers;
        std::vector<std::string> said; // in this order, times between
    } deletions[] = {{{"1", "2", "1"},
                      {"已删除 2 条留言：\n  #1  ", "  桌面工具  Xq7Zk-short\n  #2  ",
                       "  桌面工具  " + longText.substr(0, 60) + "…\n"}},
                     {{"4"}, {"已删除 1 条留言：\n  #4  ", "  网页  Xq7Zk-bot\n"}}};
    for (const auto& d : deletions) {
        std::vector<std::string> command = {"comments", "delete", "--state", dir};
        command.insert(command.end(), d.numbers.begin(), d.numbers.end());
        const CommandResult deleted = runServerCommand(command);
        EXPECT_EQ(deleted.status, 0) << deleted.err;
        std::size_t at = 0;
        for (const std::string& part : d.said) {
            at = deleted.out.find(part, at);
            EXPECT_NE(at, std::string::npos) << part << " in " << deleted.out;
        }
        EXPECT_TRUE(deleted.out.ends_with(d.said.back())) << deleted.out;
    }
    const std::string file =
        fileBytes(dir + "/comments.sqlite") + fileBytes(dir + "/comments.sqlite-wal");
    EXPECT_EQ(file.find("Xq7Zk"), std::string::npos);
    EXPECT_NE(file.find("stays-Pw3"), std::string::npos);
    EXPECT_EQ(exported(dir), std::vector<std::string>{"stays-Pw3"});
    const CommandResult csv =
        runServerCommand({"comments", "export", "--state", dir, "--format", "csv"});
    EXPECT_EQ(csv.out.find("Xq7Zk"), std::string::npos);

    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=next"))), 200);
    const CommandResult jsonl = runServerCommand({"comments", "export", "--state", dir});
    EXPECT_TRUE(jsonl.out.starts_with("{\"id\":5,")) << jsonl.out;
}

// A state directory that serve never made is refused by every other command
// (status 2, the directory named) and none is created; a second serve on a
// live state directory exits 1 and leaves the first one's address alone.
TEST(ServerCommandLine, MistypedOrBusyStateIsRefused) {
    const TempDir live, work;
    ServerProcess server(live.path());
    const std::string address = [&] {
        std::ifstream in(live.path() + "/admin-address");
        std::string line;
        std::getline(in, line);
        return line;
    }();
    const std::string typo = live.path() + "-sever";
    const std::string empty = work.path() + "/empty";
    std::filesystem::create_directory(empty);
    const std::string file = work.path() + "/file";
    std::ofstream(file) << "x";
    const std::vector<std::string> release = {"--version", "1.06", "--address", "http://x.cn/",
                                              "--date",    "d",    "--notes",   "n"};
    const auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const struct {
        std::vector<std::string> args;
        int status;
        std::string named; // in the message
    } cases[] = {
        {{"comments", "list", "--state", typo}, 2, typo},
        {with({"release", "set", "--state", typo}, release), 2, typo},
        {{"release", "clear", "--state", typo}, 2, typo},
        {{"admin-url", "--state", typo}, 2, typo},
        {{"comments", "export", "--state", empty}, 2, empty},
        {{"backup", work.path() + "/b.sqlite", "--state", empty}, 2, empty},
        {{"release", "show", "--state", file}, 2, file},
        {{"comments", "list"}, 2, "--state"}, // the default, run where no state is
        {{"serve", "--state", live.path(), "--listen", "127.0.0.1:0", "--admin-listen",
          "127.0.0.1:0"},
         1,
         live.path()},
    };
    for (const auto& c : cases) {
        const CommandResult r = runServerCommand(c.args, 10s, work.path());
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.out << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(typo));
    EXPECT_TRUE(std::filesystem::is_empty(empty));
    EXPECT_FALSE(std::filesystem::exists(work.path() + "/b.sqlite"));
    std::ifstream in(live.path() + "/admin-address");
    std::string now;
    std::getline(in, now);
    EXPECT_EQ(now, address);
    EXPECT_EQ(statusOf(httpExchange(server.port(), updateQuestion())), 200);
}

// A version is refused only when no tool in the field would take it, not
// for being at or below this server's own version; a rollback is allowed
// and said to be one. Whether a server runs on the directory is said too.
TEST(ServerCommandLine, ReleaseRuleAndWhatTheCommandSays) {
    const TempDir state;
    makeState(state.path());
    const struct {
        std::string version;
        int status;
        bool running;
        const char* says; // in the output; for a refusal, in the message
    } cases[] = {
        {"1.04", 2, false, "大于 1.05"},
        {"1.05", 2, false, "大于 1.05"},
        {"1.10", 0, false, "没有服务器在状态目录"},
        {"1.07", 0, true, "回退"},
        {"1.06", 0, true, "运行的服务器一秒内"},
    };
    std::optional<ServerProcess> server;
    for (const auto& c : cases) {
        if (c.running && !server)
            server.emplace(state.path());
        const CommandResult r =
            runServerCommand({"release", "set", "--state", state.path(), "--version", c.version,
                              "--address", "http://x.cn/", "--date", "d", "--notes", "n"});
        EXPECT_EQ(r.status, c.status) << c.version << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.version << r.out << r.err;
    }
    EXPECT_NE(runServerCommand({"release", "show", "--state", state.path()}).out.find("1.06"),
              std::string::npos);
}

/// The number of rows `sql` counts in the SQLite file `file`, or -1.
std::int64_t countIn(const std::string& file, const char* sql = "SELECT count(*) FROM comments") {
    sqlite3* db = nullptr;
    std::int64_t n = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
}

// restore brings back the backup's comments and release, keeps the database
// it replaces, ends the admin sessions and never hands a number out twice;
// it refuses, touching nothing, while serve runs or when the file is not a
// whole database of the server's.
TEST(ServerCommandLine, RestoreRoundTrip) {
    const TempDir state, work;
    const std::string dir = state.path();
    const std::string backup = work.path() + "/b.sqlite";
    const auto publish = [&](const std::string& version) {
        return runServerCommand({"release", "set", "--state", dir, "--version", version,
                                 "--address", "http://x.cn/", "--date", "d", "--notes", "n"})
            .status;
    };
    const auto admin = [&] { return runServerCommand({"admin-url", "--state", dir}).out; };
    std::string adminBefore;
    {
        ServerProcess server(dir);
        for (const char* text : {"a", "b"})
            ASSERT_EQ(statusOf(httpExchange(server.port(),
                                            post(kComment, std::string("CommentText=") + text))),
                      200);
        ASSERT_EQ(publish("1.06"), 0);
        ASSERT_EQ(runServerCommand({"backup", backup, "--state", dir}).status, 0);
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=c"))), 200);
        ASSERT_EQ(publish("1.07"), 0);
        const CommandResult busy = runServerCommand({"restore", backup, "--state", dir});
        EXPECT_EQ(busy.status, 1) << busy.err;
        EXPECT_NE(busy.err.find(dir), std::string::npos) << busy.err;
        // The socket too: it would start the service again at the next connection.
        EXPECT_NE(busy.err.find("systemctl stop pelvoran-server.socket pelvoran-server"),
                  std::string::npos)
            << busy.err;
        adminBefore = admin();
    }
    const std::string garbage = work.path() + "/garbage.sqlite";
    std::ofstream(garbage) << "not a database";
    const std::string damaged = work.path() + "/damaged.sqlite";
    std::filesystem::copy_file(backup, damaged);
    overwrite(damaged, 4096, 2048, true);
    const std::string foreign = work.path() + "/foreign.sqlite";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const std::string newer = work.path() + "/newer.sqlite";
    std::filesystem::copy_file(backup, newer);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    for (const std::string& file : {garbage, damaged, foreign, newer, work.path() + "/missing"}) {
        const CommandResult r = runServerCommand({"restore", file, "--state", dir});
        EXPECT_EQ(r.status, 2) << file << r.out << r.err;
        EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
    }
    EXPECT_EQ(exported(dir), (std::vector<std::string>{"c", "b", "a"})) << "touched by a refusal";
    EXPECT_FALSE(std::filesystem::exists(dir + "/backups/") &&
                 std::any_of(std::filesystem::directory_iterator(dir + "/backups"),
                             std::filesystem::directory_iterator(), [](const auto& e) {
                                 return e.path().filename().string().starts_with("replaced");
                             }));

    const CommandResult r = runServerCommand({"restore", backup, "--state", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2 条"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1.06"), std::string::npos) << r.out;
    EXPECT_EQ(exported(dir), (std::vector<std::string>{"b", "a"}));
    EXPECT_NE(runServerCommand({"release", "show", "--state", dir}).out.find("1.06"),
              std::string::npos);
    // The backup's own audit log goes on: the publish after the backup is
    // not in it, the restore is, newest, with the file that came back.
    const std::string log = runServerCommand({"audit", "list", "--state", dir}).out;
    EXPECT_EQ(log.find("1.07"), std::string::npos) << log;
    EXPECT_LT(log.find("恢复  从备份 " + backup + " 恢复了"), log.find("发布  1.06")) << log;
    std::vector<std::string> replaced;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/backups"))
        if (e.path().filename().string().starts_with("replaced"))
            replaced.push_back(e.path());
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(countIn(replaced[0]), 3) << "the replaced database, as it was";
    for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_FALSE(e.path().string().ends_with("-wal") || e.path().string().ends_with("-shm"))
            << e.path();
    EXPECT_NE(admin(), adminBefore) << "the admin address of before still opens a session";

    ServerProcess server(dir);
    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=d"))), 200);
    const CommandResult out = runServerCommand({"comments", "export", "--state", dir});
    EXPECT_TRUE(out.out.starts_with("{\"id\":4,")) << "number 3 was handed out again: " << out.out;
}

namespace {

/// Runs `sql` on the SQLite file `file` through a connection of the test's
/// own, which may write the schema; whether all of it ran.
bool execIn(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool ran = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                     sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ran;
}

/// What `sql` (one column of text) gives in the SQLite file `file`, a line
/// each.
std::string linesIn(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK)
        while (sqlite3_step(s) == SQLITE_ROW)
            out += std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))) + "\n";
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
}

/// Runs `sql` on the database `file` while the indexes of `table` are hidden
/// from it, and `standIn` (when given) is the table's definition: the rows
/// written meanwhile are missing from those indexes, as after a fault.
void behindIndexes(const std::string& file, const std::string& table, const std::string& standIn,
                   const std::string& sql) {
    const std::string saved =
        linesIn(file, "SELECT 'INSERT INTO sqlite_schema VALUES (' || quote(type) || ', ' || "
                      "quote(name) || ', ' || quote(tbl_name) || ', ' || rootpage || ', ' || "
                      "quote(sql) || ');' FROM sqlite_schema WHERE tbl_name = '" +
                          table + "'");
    ASSERT_TRUE(execIn(file, "PRAGMA writable_schema=ON; DELETE FROM sqlite_schema WHERE type = "
                             "'index' AND tbl_name = '" +
                                 table + "';" +
                                 (standIn.empty() ? ""
                                                  : "UPDATE sqlite_schema SET sql = '" + standIn +
                                                        "' WHERE name = '" + table + "';")));
    ASSERT_TRUE(execIn(file, sql));
    ASSERT_TRUE(execIn(file, "PRAGMA writable_schema=ON; DELETE FROM sqlite_schema WHERE "
                             "tbl_name = '" +
                                 table + "';" + saved));
}

std::string schemaOf(const std::string& file) {
    return linesIn(file, "SELECT type || ' ' || name || ' ' || coalesce(sql, '') FROM "
                         "sqlite_schema ORDER BY type, name");
}

} // namespace

// restore brings back the data of a backup and nothing else of the file: no
// trigger, view, table or index of its own survives, and a known name that
// is not a table is refused. A FIFO is refused at once, by restore and by
// the commands that read a backup in place, which read it as it is.
TEST(ServerCommandLine, RestoreBringsBackOnlyTheData) {
    const TempDir state, work;
    const std::string dir = state.path(), db = dir + "/comments.sqlite";
    const std::string backup = work.path() + "/b.sqlite";
    makeState(dir);
    const std::string ownSchema = schemaOf(db);
    ASSERT_TRUE(execIn(db, "INSERT INTO comments (received, text, raw, source) VALUES "
                           "(1700000000, '留下', x'', 'web')"));
    ASSERT_EQ(runServerCommand({"backup", backup, "--state", dir}).status, 0);
    const struct {
        const char* what;
        std::string sql; // run on a copy of the backup
        int status;
        const char* says; // in what restore prints
    } cases[] = {
        {"a trigger keeps a planted session",
         "INSERT INTO admin_sessions VALUES ('planted', 9000000000000, 1); CREATE TRIGGER keep "
         "BEFORE DELETE ON admin_sessions BEGIN SELECT RAISE(IGNORE); END",
         0, "trigger keep"},
        {"a trigger publishes at the first comment",
         "CREATE TRIGGER publish AFTER INSERT ON comments BEGIN INSERT OR REPLACE INTO release "
         "(platform, version, address, date, notes) VALUES ('windows', '9.99', "
         "'http://evil.example/setup.exe', '', ''); END",
         0, "trigger publish"},
        {"a view in place of a table",
         "DROP TABLE use; CREATE VIEW use AS SELECT 1 AS day, 1 AS checks", 2, "use 不是表"},
        {"a table of its own", "CREATE TABLE extra (x); INSERT INTO extra VALUES (1)", 0,
         "table extra"},
        {"an index of its own", "CREATE INDEX extra ON comments (text)", 0, "index extra"},
    };
    const std::string hostile = work.path() + "/hostile.sqlite";
    for (const auto& c : cases) {
        std::filesystem::copy_file(backup, hostile,
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_TRUE(execIn(hostile, c.sql)) << c.what;
        const CommandResult r = runServerCommand({"restore", hostile, "--state", dir});
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.what << ": " << r.out;
        EXPECT_EQ(schemaOf(db), ownSchema) << c.what;
        EXPECT_EQ(countIn(db, "SELECT count(*) FROM admin_sessions"), 0) << c.what;
        ASSERT_TRUE(execIn(db, "INSERT INTO comments (received, text, raw, source) VALUES "
                               "(1700000001, 'next', x'', 'web')"));
        EXPECT_EQ(countIn(db, "SELECT count(*) FROM release"), 0) << c.what;
        ASSERT_TRUE(execIn(db, "DELETE FROM comments WHERE text = 'next'"));
    }

    const CommandResult list = runServerCommand({"comments", "list", "--backup", backup});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("网页  未读\n    留下\n\n共 1 条留言。"), std::string::npos)
        << list.out;
    const CommandResult jsonl = runServerCommand({"comments", "export", "--backup", backup});
    EXPECT_EQ(exportedTexts(jsonl.out), std::vector<std::string>{"留下"}) << jsonl.err;
    for (const auto& e : std::filesystem::directory_iterator(work.path()))
        EXPECT_FALSE(e.path().string().ends_with("-wal") || e.path().string().ends_with("-shm"))
            << e.path();
    EXPECT_EQ(runServerCommand({"comments", "list", "--backup", backup, "--state", dir}).status, 2);

    const std::string fifo = work.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"restore", fifo, "--state", dir}, {"comments", "list", "--backup", fifo}}) {
        const CommandResult r = runServerCommand(args, 10s);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(fifo + " 不是普通文件"), std::string::npos) << r.err;
    }
}

// A backup larger than the room beside the state directory is refused
// before anything is copied there: a sparse file claims gigabytes for free.
TEST(ServerCommandLine, RestoreRefusesWhatThereIsNoRoomFor) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const TempDir small, work;
    if (::mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{small.path()};
    const std::string dir = small.path() + "/state";
    makeState(dir);
    const std::string sparse = work.path() + "/sparse.sqlite";
    std::ofstream(sparse) << std::string("SQLite format 3", 16); // with its NUL
    std::filesystem::resize_file(sparse, std::uintmax_t{64} << 20);
    struct statvfs before {};
    ASSERT_EQ(::statvfs(dir.c_str(), &before), 0);
    const CommandResult r = runServerCommand({"restore", sparse, "--state", dir});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("可用"), std::string::npos) << r.err;
    struct statvfs after {};
    ASSERT_EQ(::statvfs(dir.c_str(), &after), 0);
    EXPECT_EQ(after.f_bfree, before.f_bfree) << "something was left in the state directory";
}

// A backup of a database of 50 MB and more finishes while one client posts
// comments as fast as it can, and is a whole database.
TEST(ServerCommandLine, BackupFinishesUnderLoad) {
    const TempDir state, work;
    seedComments(state.path(), 100000); // 500 bytes each: about 60 MB
    ASSERT_GE(std::filesystem::file_size(state.path() + "/comments.sqlite"), 50u << 20);
    ServerProcess server(state.path(), {"--comments-per-hour", "0"});
    std::atomic<bool> stop{false};
    std::atomic<int> posted{0};
    std::thread client([&] {
        for (int i = 0; i < 200000 && !stop; ++i)
            if (statusOf(httpExchange(server.port(),
                                      post(kComment, "CommentText=load " + std::to_string(i)),
                                      5s)) == 200)
                ++posted;
    });
    // The load is on once the first comment is in.
    for (int i = 0; i < 1000 && posted == 0; ++i)
        std::this_thread::sleep_for(5ms);
    const int before = posted;
    const std::string copy = work.path() + "/copy.sqlite";
    const auto start = std::chrono::steady_clock::now();
    const CommandResult r = runServerCommand({"backup", copy, "--state", state.path()}, 60s);
    const auto took = std::chrono::steady_clock::now() - start;
    const int during = posted - before;
    stop = true;
    client.join();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(took, 30s);
    EXPECT_GT(during, 0) << "no comment arrived during the backup";
    EXPECT_EQ(
        countIn(copy, "SELECT count(*) FROM pragma_integrity_check WHERE integrity_check = 'ok'"),
        1);
    EXPECT_GE(countIn(copy), 100000 + before);
}

// Too many comments from one address get 429; behind the trusted proxy the
// address is the one the proxy names, and nobody else can name one.
TEST(ServerWire, RateLimitPerAddressAndTrustedProxy) {
    const TempDir state;
    ServerProcess server(state.path(),
                         {"--comments-per-hour", "2", "--trusted-proxy", "127.0.0.1"});
    auto send = [&](const std::string& forwardedFor, const std::string& from = "127.0.0.1") {
        return statusOf(httpExchange(
            server.port(),
            post(kComment, "CommentText=hi", "X-Forwarded-For: " + forwardedFor + "\r\n"), 10s,
            from));
    };
    EXPECT_EQ(send("10.0.0.1"), 200);
    EXPECT_EQ(send("192.0.2.9, 10.0.0.1"), 200);
    EXPECT_EQ(send("10.0.0.1"), 429);
    EXPECT_EQ(send("10.0.0.2"), 200);
    // From another address the header is ignored: 127.0.0.2 is its own client.
    EXPECT_EQ(send("10.0.0.3", "127.0.0.2"), 200);
    EXPECT_EQ(send("10.0.0.4", "127.0.0.2"), 200);
    EXPECT_EQ(send("10.0.0.5", "127.0.0.2"), 429);
    EXPECT_EQ(exported(state.path()).size(), 5u);
}

// Update checks through the trusted proxy are counted by version, platform
// and distinct client, and the database keeps no address of them, nor their
// networks' bytes.
TEST(ServerWire, FieldCountsKeepNoAddressOfTheChecks) {
    const TempDir state;
    ServerProcess server(state.path(), {"--trusted-proxy", "127.0.0.1"});
    // Linux first: the wait below for the Windows release covers both.
    for (const char* platform : {"linux", "windows"})
        ASSERT_EQ(runServerCommand({"release", "set", "--state", state.path(), "--version", "1.06",
                                    "--address", "http://x.cn/a.exe", "--date", "d", "--notes", "n",
                                    "--platform", platform})
                      .status,
                  0);
    const auto check = [&](const std::string& agent, const std::string& forwardedFor) {
        std::string question = updateQuestion();
        question.insert(question.find("Connection:"),
                        (agent.empty() ? "" : "User-Agent: " + agent + "\r\n") +
                            "X-Forwarded-For: " + forwardedFor + "\r\n");
        return bodyOf(httpExchange(server.port(), question));
    };
    std::int64_t waited = 1; // agentless checks until the release is served, and labelled
    for (; waited < 50 && check("", "192.0.2.1").empty(); ++waited)
        std::this_thread::sleep_for(100ms);
    const struct {
        std::string agent;
        std::string forwardedFor;
    } checks[] = {
        {"Pelvoran/1.06 (Windows)", "198.51.100.23"},
        {"Pelvoran/1.06 (Windows)", "198.51.100.24"}, // the same /24: the same client
        {"Pelvoran/1.06 (Linux)", "2001:db8:abcd:12::7"},
        {"Pelvoran/1.09 (Linux)", "203.0.113.99"},
        {"", "203.0.113.98"},
    };
    for (const auto& c : checks)
        EXPECT_FALSE(check(c.agent, c.forwardedFor).empty()) << c.forwardedFor;
    ASSERT_EQ(server.stop(SIGTERM), 0); // the end writes the counts out
    const std::string db = state.path() + "/comments.sqlite";
    const struct {
        const char* sql;
        std::int64_t n;
    } counted[] = {
        {"SELECT n FROM field_counts WHERE kind = 'check' AND platform = 'windows' AND "
         "version = '1.06'",
         2},
        {"SELECT n FROM field_counts WHERE kind = 'check' AND platform = 'linux' AND "
         "version = '1.06'",
         1},
        {"SELECT n FROM field_counts WHERE kind = 'check' AND platform = 'linux' AND "
         "version = '其他'",
         1},
        {"SELECT sum(n) FROM field_counts WHERE platform = '' AND version = '1.05 或更早'",
         1 + waited},
        // Offers: both Linux tools (1.09 too: whether it is newer is the
        // tool's to say), both Windows ones and the agentless checks that
        // were answered with the release (the last of the wait, the last).
        {"SELECT n FROM field_counts WHERE kind = 'offer' AND platform = 'linux' AND "
         "version = '1.06'",
         2},
        {"SELECT n FROM field_counts WHERE kind = 'offer' AND platform = 'windows' AND "
         "version = '1.06'",
         4},
        {"SELECT count(*) FROM field_clients", 1},
    };
    for (const auto& c : counted)
        EXPECT_EQ(countIn(db, c.sql), c.n) << c.sql;
    std::string files;
    for (const auto& entry : std::filesystem::directory_iterator(state.path()))
        if (entry.path().filename().string().starts_with("comments.sqlite"))
            files += fileBytes(entry.path().string());
    const std::string needles[] = {
        "198.51.100",
        "203.0.113",
        "192.0.2",
        "2001:db8",
        std::string("\xc6\x33\x64", 3),
        std::string("\xcb\x00\x71", 3),
        std::string("\x20\x01\x0d\xb8\xab\xcd", 6),
    };
    for (const std::string& needle : needles)
        EXPECT_EQ(files.find(needle), std::string::npos) << "an address or network is kept";
}

// One process on both families: the update check on [::1]; an IPv4 client
// reaching the IPv6 socket (::ffff:a.b.c.d) is its IPv4 address, for the
// comment limit that every listener shares and for --trusted-proxy.
TEST(ServerWire, BothFamiliesShareOneLimit) {
    const TempDir state;
    ServerProcess server(state.path(),
                         {"--listen", "127.0.0.1:0", "--listen", "[::]:0", "--comments-per-hour",
                          "2", "--trusted-proxy", "127.0.0.3"});
    ASSERT_EQ(server.ports().size(), 2u);
    EXPECT_EQ(statusOf(httpExchange(server.ports()[1], updateQuestion(), 10s, "::1")), 200);
    const struct {
        int listener; // 0: IPv4, 1: IPv6 on every address
        const char* from;
        const char* forwardedFor;
        int status;
    } cases[] = {
        {0, "127.0.0.2", "", 200},
        {1, "127.0.0.2", "", 200},
        {1, "127.0.0.2", "", 429},
        {0, "127.0.0.2", "", 429},
        {1, "::1", "", 200},
        {1, "127.0.0.3", "10.0.0.1", 200},
        {1, "127.0.0.3", "10.0.0.2", 200},
        {1, "127.0.0.3", "10.0.0.1", 200},
        {0, "127.0.0.3", "10.0.0.1", 429},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            statusOf(httpExchange(server.ports()[static_cast<std::size_t>(c.listener)],
                                  post(kComment, "CommentText=hi",
                                       std::string("X-Forwarded-For: ") + c.forwardedFor + "\r\n"),
                                  10s, c.from)),
            c.status)
            << c.listener << " " << c.from << " " << c.forwardedFor;
}

// Started through a socket from systemd (as pelvoran-server.socket does, here
// with systemd-socket-activate, which starts the program at the first
// connection): the socket named "public" is the public listener and --listen,
// the same address, is not bound; a socket of another name, or none, is
// refused.
TEST(ServerWire, TakesTheSocketSystemdPasses) {
    if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is missing: install Debian's systemd package";
    const struct {
        const char* name;
        bool answers;    // the update check, or the server ends with an error
        const char* log; // in what the server printed
    } cases[] = {
        {"public", true, "listening on 127.0.0.1:"},
        {"web", false, "FileDescriptorName=public"},
        {"", false, "FileDescriptorName=public"}, // a name left empty
    };
    for (const auto& c : cases) {
        const TempDir state;
        const std::string at = "127.0.0.1:" + std::to_string(freePort());
        const std::string log = state.path() + "/log";
        ChildProcess activator({"systemd-socket-activate", "-l", at,
                                std::string("--fdname=") + c.name, PELVORAN_SERVER_EXE, "serve",
                                "--state", state.path() + "/state", "--listen", at,
                                "--admin-listen", "127.0.0.1:0"},
                               log);
        ASSERT_TRUE(activator.started());
        const int port = std::stoi(at.substr(at.rfind(':') + 1));
        if (c.answers) {
            EXPECT_EQ(statusOf(askUntilAnswered(port, updateQuestion(), 5s)), 200) << c.name;
            EXPECT_EQ(activator.stop(SIGTERM), 0) << c.name;
        } else {
            // A connection starts the server, which refuses the socket and
            // ends; no connection is answered meanwhile.
            for (int i = 0; i < 100 && fileBytes(log).find(c.log) == std::string::npos; ++i) {
                EXPECT_EQ(statusOf(httpExchange(port, updateQuestion(), 5s)), 0) << c.name;
                std::this_thread::sleep_for(50ms);
            }
            EXPECT_NE(activator.stop(0), 0) << c.name;
        }
        const std::string printed = fileBytes(log);
        EXPECT_NE(printed.find(c.log), std::string::npos) << c.name << ": " << printed;
    }
}

// A comment that cannot be committed gets 503, never 200, and is not there;
// so does /healthz, with why, until the next comment, once the database is
// free again, is stored. The failures are one line in the log, not one each.
TEST(ServerWire, CommentThatCannotBeCommittedGets503) {
    const TempDir state;
    ServerProcess server(state.path(), {"--busy-timeout", "100"});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((state.path() + "/comments.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const char* text : {"CommentText=lost", "CommentText=lost too"})
        EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, text), 30s)), 503);
    ASSERT_EQ(sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string failed = healthSays(server.port(), 503, "上一次保存留言失败");
    EXPECT_NE(failed.find("database is locked"), std::string::npos) << failed;
    EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=kept"))), 200);
    EXPECT_EQ(bodyOf(healthSays(server.port(), 200, "ok\n", true)), "ok\n");
    EXPECT_EQ(exported(state.path()), std::vector<std::string>{"kept"});
    ASSERT_EQ(server.stop(SIGTERM), 0);
    const std::string log = server.errors();
    const auto first = log.find("未能保存");
    EXPECT_EQ(log.find("未能保存", first + 1), std::string::npos) << "a line each: " << log;
    EXPECT_NE(log.find("过去一分钟未能保存的留言：2 条"), std::string::npos) << log;
    EXPECT_NE(log.find("database is locked"), std::string::npos) << log;
}

// SIGTERM lets a comment in flight finish: it is answered and stored, and
// the server then ends with status 0. A connection idle between requests (a
// browser keeps one open) is closed at once, not waited for.
TEST(ServerDurability, SigtermFinishesTheRequestInFlight) {
    const TempDir state;
    const TempDir work;
    const NotifySocket notify(work.path() + "/notify");
    ServerProcess server(state.path());
    const timeval limit{10, 0};
    const int idle = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(idle, 0);
    ASSERT_EQ(statusOf(exchangeOn(idle, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 10s)), 200);

    // The server has the request once it asks for the body.
    const std::string body = "CommentText=in flight";
    const std::string request = post(kComment, body, "Expect: 100-continue\r\n");
    const std::string head = request.substr(0, request.size() - body.size());
    const int fd = connectFrom(server.port(), "127.0.0.1");
    ASSERT_GE(fd, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(head.size()));
    char buf[4096];
    const ssize_t asked = ::recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(asked, 0);
    ASSERT_EQ(statusOf(std::string(buf, static_cast<std::size_t>(asked))), 100);
    ::kill(server.pid(), SIGTERM);
    ASSERT_TRUE(notify.says("STOPPING=1", 10s)) << "the end never began";
    const std::string reply = exchangeOn(fd, body, 10s);
    ::close(fd);
    EXPECT_EQ(statusOf(reply), 200) << reply;

    // The end waits up to five seconds for requests in flight; the idle
    // connection closes well before.
    const timeval shortLimit{3, 0};
    ::setsockopt(idle, SOL_SOCKET, SO_RCVTIMEO, &shortLimit, sizeof shortLimit);
    EXPECT_EQ(::recv(idle, buf, sizeof buf, 0), 0) << "the idle connection was kept open";
    ::close(idle);
    EXPECT_EQ(server.stop(SIGTERM), 0);
    EXPECT_EQ(exported(state.path()), std::vector<std::string>{"in flight"});
}

// Clients post while the server is killed at random moments: every comment
// that got 200 is there after the restart, whole, exactly once.
TEST(ServerDurability, NothingAnsweredIsLostWhenKilled) {
    const TempDir state;
    std::mt19937 random(20261207);
    std::set<std::string> acknowledged;
    std::set<std::string> sent;
    for (int round = 0; round < 4; ++round) {
        ServerProcess server(state.path(), {"--comments-per-hour", "0"});
        const PostedUntilKilled posted = postUntilKilled(server, random, 4, [&](int k, int i) {
            return "第" + std::to_string(round) + "轮 " + std::to_string(k) + "-" +
                   std::to_string(i) + std::string(100 + i % 50, 'x');
        });
        sent.insert(posted.sent.begin(), posted.sent.end());
        acknowledged.insert(posted.acknowledged.begin(), posted.acknowledged.end());
    }
    const auto texts = exported(state.path());
    std::map<std::string, int> seen;
    for (const auto& t : texts)
        ++seen[t];
    for (const auto& t : acknowledged)
        EXPECT_EQ(seen[t], 1) << t;
    for (const auto& [t, n] : seen) {
        EXPECT_EQ(n, 1) << t;
        EXPECT_TRUE(sent.contains(t)) << "not a comment that was sent: " << t;
    }
    EXPECT_GT(acknowledged.size(), 20u) << "too few comments to show anything";
}

// Hundreds of slow connections from several addresses never keep an update
// check from being answered. The bound is generous (sanitizers); the real
// figure is in the benchmark.
TEST(ServerHostile, SlowConnectionsDoNotStarveTheUpdateCheck) {
    const TempDir state;
    ServerProcess server(state.path());
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i) {
        const int fd = connectFrom(server.port(), "127.0.0." + std::to_string(2 + i % 10));
        ASSERT_GE(fd, 0);
        ::send(fd, "GET /Canon/LensCheck.asp HTTP/1.1\r\nX-Slow: ", 44, MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = httpExchange(server.port(), updateQuestion(), 10s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(statusOf(reply), 200);
    EXPECT_LT(took, 5s);
    for (const int fd : slow)
        ::close(fd);
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// Run by root against a state directory of the service's user, the command
// line acts as that user: no file of the database is left owned by root.
TEST(ServerCommandLine, RootActsAsTheStateDirectoryOwner) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const TempDir state;
    ASSERT_EQ(::chmod(state.path().c_str(), 0700), 0);
    ASSERT_EQ(::chown(state.path().c_str(), kService, kService), 0);
    const std::string dir = state.path();
    makeState(dir);
    ASSERT_EQ(runServerCommand({"release", "set", "--state", dir, "--version", "1.06", "--address",
                                "http://x.cn/", "--date", "d", "--notes", "n"})
                  .status,
              0);
    {
        // A port only root may bind, taken before serve becomes the owner.
        int low = 0;
        for (int port = 1023; port > 900 && low == 0; --port) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                low = port;
            ::close(fd);
        }
        ASSERT_NE(low, 0) << "no free port below 1024";
        ServerProcess server(dir, {"--listen", "127.0.0.1:" + std::to_string(low)});
        EXPECT_EQ(server.port(), low);
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=hi"))), 200);
        std::ifstream status("/proc/" + std::to_string(server.pid()) + "/status");
        std::string line;
        while (std::getline(status, line) && !line.starts_with("Uid:")) {
        }
        EXPECT_EQ(line.substr(0, 10), "Uid:\t" + std::to_string(kService)) << line;
        EXPECT_EQ(runServerCommand({"comments", "list", "--state", dir}).status, 0);
    }
    EXPECT_EQ(runServerCommand({"backup", dir + "/../pelvoran-root-backup.sqlite", "--state", dir})
                  .status,
              0);
    const CommandResult restore =
        runServerCommand({"restore", dir + "/../pelvoran-root-backup.sqlite", "--state", dir});
    EXPECT_EQ(restore.status, 0) << restore.err;
    std::filesystem::remove(std::filesystem::path(dir).parent_path() /
                            "pelvoran-root-backup.sqlite");
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kService) << e.path();
        ++files;
    }
    EXPECT_GE(files, 2); // the database and its backups at least
}

// backup run by root from a full file system, with a relative FILE named
// like the database, against a state directory of the service's user: it
// fails, and touches nothing but its own temporary file.
TEST(ServerCommandLine, BackupThatFailsTouchesOnlyItsOwnFile) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const TempDir state, small;
    if (::mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{small.path()};
    seedComments(state.path(), 400); // about 300 KiB: more than the tmpfs holds
    giveTo(state.path(), kService);

    const CommandResult r =
        runServerCommand({"backup", "comments.sqlite", "--state", state.path()}, 30s, small.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("backup："), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(small.path())) << "a file was left behind";
    const CommandResult list = runServerCommand({"comments", "list", "--state", state.path()});
    EXPECT_NE(list.out.find("共 400 条留言。"), std::string::npos) << list.err;
}

// A database nothing should be served from is refused by serve and backup
// at once, with exit status 1 and a message naming the file or directory by
// its real path; serve never starts on it and backup leaves no file.
TEST(ServerCommandLine, UnusableDatabaseIsRefusedAtOnce) {
    const bool root = ::geteuid() == 0;
    const auto file = [](const std::string& state) { return state + "/comments.sqlite"; };
    const struct {
        const char* what;
        std::function<void(const std::string&)> harm;
        bool namesDirectory; // else the database file
        const char* cause;   // what the message says, in Chinese
    } cases[] = {
        {"200 flipped bytes in the middle",
         [&](const std::string& s) {
             const auto pages = std::filesystem::file_size(file(s)) / 4096;
             overwrite(file(s), static_cast<std::streamoff>(pages / 2 * 4096), 200, true);
         },
         false, "已损坏"},
        {"schema page overwritten",
         [&](const std::string& s) { overwrite(file(s), 100, 4096 - 100, false); }, false,
         "已损坏"},
        {"not a database", [&](const std::string& s) { overwrite(file(s), 0, 16, false); }, false,
         "不是本程序的数据库文件"},
        {"from a newer server",
         [&](const std::string& s) {
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(file(s).c_str(), &db), SQLITE_OK);
             sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         },
         false, "更新版本的服务器"},
        // quick_check does not compare indexes with tables, and REINDEX
        // cannot mend a key that is there twice.
        {"a key twice, behind its index",
         [&](const std::string& s) {
             behindIndexes(file(s), "admin_sessions",
                           "CREATE TABLE admin_sessions (key TEXT, expires INTEGER NOT NULL, used "
                           "INTEGER NOT NULL)",
                           "INSERT INTO admin_sessions VALUES ('k', 1, 1), ('k', 2, 2)");
         },
         false, "已损坏"},
        {"emptied to 0 bytes",
         [&](const std::string& s) { std::filesystem::resize_file(file(s), 0); }, false, "是空的"},
        // Root may write anything: the file is the service user's, who may not.
        {"read-only file",
         [&](const std::string& s) {
             if (root)
                 giveTo(s, kService);
             ::chmod(file(s).c_str(), 0400);
         },
         false, "只读"},
        {"read-only directory",
         [&](const std::string& s) {
             if (root)
                 giveTo(s, kService);
             ::chmod(s.c_str(), 0500);
         },
         true, "不可写"},
    };
    for (const auto& c : cases) {
        const TempDir state;
        seedComments(state.path(), 100);
        c.harm(state.path());
        const std::string named = c.namesDirectory ? state.path() + " " : file(state.path());
        const CommandResult serve =
            runServerCommand({"serve", "--state", state.path(), "--listen", "127.0.0.1:0",
                              "--admin-listen", "127.0.0.1:0"},
                             10s);
        EXPECT_EQ(serve.status, 1) << c.what << ": " << serve.out << serve.err;
        EXPECT_NE(serve.err.find(named), std::string::npos) << c.what << ": " << serve.err;
        EXPECT_NE(serve.err.find(c.cause), std::string::npos) << c.what << ": " << serve.err;
        EXPECT_EQ(serve.out.find("listening"), std::string::npos) << c.what;
        const TempDir out;
        const CommandResult backup =
            runServerCommand({"backup", out.path() + "/copy.sqlite", "--state", state.path()});
        EXPECT_EQ(backup.status, 1) << c.what << ": " << backup.err;
        EXPECT_TRUE(std::filesystem::is_empty(out.path())) << c.what;
        ::chmod(state.path().c_str(), 0700);
    }
}

// An index that lost a row is found as serve starts and mended, a copy of
// the database set aside first, and said in the log; until then backup,
// which runs the full check first, refuses.
TEST(ServerCommandLine, IndexDamageIsMendedAsServeStarts) {
    const TempDir state, work;
    const std::string dir = state.path();
    seedComments(dir, 3);
    behindIndexes(dir + "/comments.sqlite", "comments", "",
                  "INSERT INTO comments (received, text, raw, source) VALUES (1700000009, "
                  "'hidden', x'', 'web')");
    const CommandResult refused =
        runServerCommand({"backup", work.path() + "/b.sqlite", "--state", dir});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("comments_by_time"), std::string::npos) << refused.err;
    {
        ServerProcess server(dir);
        EXPECT_NE(server.errors().find("已重建全部索引"), std::string::npos) << server.errors();
    }
    const CommandResult list = runServerCommand({"comments", "list", "--state", dir});
    EXPECT_NE(list.out.find("共 4 条留言。"), std::string::npos) << list.out;
    int aside = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/backups"))
        if (e.path().filename().string().starts_with("index-damaged-")) {
            ++aside;
            // The database as it was found: all four rows, three in the index.
            EXPECT_EQ(countIn(e.path(), "SELECT count(*) FROM comments NOT INDEXED"), 4);
        }
    EXPECT_EQ(aside, 1);
    EXPECT_EQ(runServerCommand({"backup", work.path() + "/b.sqlite", "--state", dir}).status, 0);
}

// Whoever starts it and with whatever mask, the comments, the admin token
// and address and the backups are the owner's alone; so is a database that
// was readable by others before.
TEST(ServerCommandLine, FilesAreTheOwnersAlone) {
    const TempDir parent;
    const std::string state = parent.path() + "/new";
    const mode_t mask = ::umask(022);
    makeState(state);
    ASSERT_EQ(::chmod((state + "/comments.sqlite").c_str(), 0644), 0);
    std::map<std::string, int> modes;
    {
        ServerProcess server(state);
        ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=hi"))), 200);
        for (int i = 0; i < 50 && !std::filesystem::exists(state + "/backups"); ++i)
            std::this_thread::sleep_for(100ms); // the daily backup follows the start
        // A backup's .part may go between the listing and its look.
        for (const auto& e : std::filesystem::recursive_directory_iterator(state))
            if (const int mode = modeOf(e.path()); mode != -1)
                modes[e.path().string().substr(state.size())] = mode;
    }
    ::umask(mask);
    EXPECT_EQ(modeOf(state), 0700);
    for (const char* name : {"/comments.sqlite", "/comments.sqlite-wal", "/comments.sqlite-shm",
                             "/admin-token", "/admin-address", "/backups", "/serve.lock"})
        EXPECT_TRUE(modes.contains(name)) << name << " in " << ::testing::PrintToString(modes);
    for (const auto& [name, mode] : modes)
        EXPECT_EQ(mode, name == "/backups" ? 0700 : 0600) << name;
}

// The real Linux tool against the real server: comments typed in the
// comment window arrive exactly, and the Linux release, not the Windows one,
// reaches the offer with exactly its fields.
TEST(ToolAndServer, CommentsArriveAndTheReleaseIsOffered) {
    const TempDir state;
    makeState(state.path());
    ASSERT_EQ(runServerCommand({"release", "set", "--state", state.path(), "--version", "1.07",
                                "--address", "http://127.0.0.1/Pelvoran.exe", "--date", "d",
                                "--notes", "Windows"})
                  .status,
              0);
    ASSERT_EQ(runServerCommand({"release", "set", "--state", state.path(), "--version", "1.06",
                                "--address", "http://127.0.0.1/新版.exe", "--date", "2026年12月1日",
                                "--notes", "修正：50% 的问题 & 其他", "--platform", "linux"})
                  .status,
              0);
    ServerProcess server(state.path());
    const std::vector<std::string> comments = {"镜头很好", "a&b=c", "50% off+1", "表情😀한",
                                               "  两行\n第二行  "};
    std::string joined;
    for (const auto& c : comments)
        joined += (joined.empty() ? "" : "\x1E") + c;
    ::setenv("PELVORAN_DRIVER_COMMENTS", joined.c_str(), 1);
    FakeOpener opener;
    const DriverRun run =
        runDriver("http://127.0.0.1:" + std::to_string(server.port()), "comments", opener);
    ::unsetenv("PELVORAN_DRIVER_COMMENTS");
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_TRUE(
        run.out.starts_with("box 有更新版本: 最新版本: 1.06\\n发布日期: 2026年12月1日\\n"
                            "更新说明: 修正：50% 的问题 & 其他\\n点击确定下载升级程序。\\n\n"))
        << run.out;
    auto texts = exported(state.path());
    std::reverse(texts.begin(), texts.end());
    EXPECT_EQ(texts, comments);
}

namespace {

std::string adminGet(const std::string& state, const std::string& target,
                     const std::string& headers = "") {
    return httpExchange(adminPort(state), "GET " + target +
                                              " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                              "Connection: close\r\n" +
                                              headers + "\r\n");
}

std::string headerValue(const std::string& reply, const std::string& name) {
    const auto at = reply.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return "";
    const auto from = at + name.size() + 4;
    return reply.substr(from, reply.find("\r\n", from) - from);
}

std::string tokenOf(const std::string& state, const std::string& file = "admin-token") {
    std::ifstream in(state + "/" + file);
    std::string token;
    std::getline(in, token);
    return token;
}

/// The session cookie the token opens ("pelvoran_admin=...").
std::string login(const std::string& state) {
    const std::string set =
        headerValue(adminGet(state, "/comments?token=" + tokenOf(state)), "Set-Cookie");
    return set.substr(0, set.find(';'));
}

int statusWith(const std::string& state, const std::string& cookie) {
    return statusOf(adminGet(state, "/comments", "Cookie: " + cookie + "\r\n"));
}

} // namespace

// /healthz answers 503 once the state directory cannot be written by the
// server. (What else loses health, and its return, are the part's tests.)
TEST(ServerMonitoring, HealthFollowsWhetherTheDatabaseCanBeWritten) {
    const TempDir state;
    const std::string dir = state.path();
    if (::geteuid() == 0) { // root writes anywhere: the server runs as the owner
        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
        giveTo(dir, kService);
    }
    ServerProcess server(dir);
    ASSERT_EQ(statusOf(healthSays(server.port(), 200)), 200);
    ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
    EXPECT_EQ(statusOf(healthSays(server.port(), 503)), 503);
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
}

// On a file system with little room /healthz stays 200 and says how little
// is left; a comment that does not fit gets 503, and so does /healthz, with
// why, until a comment is stored again.
TEST(ServerMonitoring, LittleRoomIsSaidAndAFailedCommitIsNot200) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const TempDir state;
    if (::mount("tmpfs", state.path().c_str(), "tmpfs", 0, "size=16m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{state.path()};
    ServerProcess server(state.path());
    ASSERT_TRUE(dailyBackupMade(state.path(), 10)); // its copy takes room too
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(state.path().c_str(), &fs), 0);
    // A MiB left: room for a short comment, not for the longest one.
    const std::size_t room = std::size_t{fs.f_bavail} * fs.f_frsize;
    ASSERT_GT(room, std::size_t{4} << 20);
    std::ofstream(state.path() + "/filler") << std::string(room - (std::size_t{1} << 20), 'x');
    const std::string low = healthSays(server.port(), 200, "只剩");
    EXPECT_EQ(statusOf(low), 200) << low;
    EXPECT_TRUE(bodyOf(low).starts_with("ok\n")) << low;
    EXPECT_EQ(statusOf(httpExchange(server.port(),
                                    post(kComment, "CommentText=" + std::string(1000000, 'x')))),
              503);
    const std::string failed = healthSays(server.port(), 503, "上一次保存留言失败");
    EXPECT_NE(failed.find("disk is full"), std::string::npos) << failed;
    std::filesystem::remove(state.path() + "/filler");
    EXPECT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=short"))), 200);
    EXPECT_EQ(bodyOf(healthSays(server.port(), 200, "ok\n", true)), "ok\n");
}

// serve says where the admin pages are after its listening lines, never
// with the token; that it made the state directory, by its real path (a
// mistyped --state is a new, empty one); run by root on a directory of
// root's, that it stays root and how to change that. admin-url says when no
// server runs, and never gives an address a server could not note as its.
TEST(ServerCommandLine, ServeSaysWhereItsPagesAreAndWhatItMade) {
    const TempDir parent;
    const std::string state = parent.path() + "/typo";
    const std::vector<std::string> args = {
        "--state", state, "--listen", "127.0.0.1:0", "--admin-listen", "127.0.0.1:0"};
    std::string address, token, real;
    {
        std::optional<ChildProcess> serve;
        const std::string out = startServe(serve, parent.path() + "/first.log", args);
        real = std::filesystem::canonical(state).string();
        address = fileBytes(state + "/admin-address");
        ASSERT_TRUE(address.ends_with("\n")) << out;
        address.pop_back();
        token = tokenOf(state);
        const auto admin = out.find("管理页面：http://" + address + "/（登录地址：");
        ASSERT_NE(admin, std::string::npos) << out;
        EXPECT_LT(out.rfind("listening on "), admin) << out;
        EXPECT_NE(out.find("pelvoran-server admin-url --state " + real + "）\n", admin),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find(token), std::string::npos) << out;
        EXPECT_NE(out.find("新建了状态目录 " + real + "（空的"), std::string::npos) << out;
        struct stat st {};
        ASSERT_EQ(::stat(state.c_str(), &st), 0);
        EXPECT_EQ(out.find("警告：状态目录 " + real + " 属于 root") != std::string::npos,
                  ::geteuid() == 0 && st.st_uid == 0)
            << out;
        const CommandResult live = runServerCommand({"admin-url", "--state", state});
        EXPECT_EQ(live.status, 0) << live.err;
        EXPECT_EQ(live.out, "http://" + address + "/?token=" + token + "\n");
    }
    const CommandResult stopped = runServerCommand({"admin-url", "--state", state});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.err.find(real + " 上现在没有服务器在运行"), std::string::npos) << stopped.err;
    EXPECT_EQ(stopped.out, "http://" + address + "/?token=" + token + "\n") << "the last one";

    // The next serve cannot note its address: the old one is not given as its.
    std::filesystem::create_directory(state + "/admin-address.part");
    std::optional<ChildProcess> again;
    const std::string out = startServe(again, parent.path() + "/again.log", args);
    EXPECT_EQ(out.find("新建了状态目录"), std::string::npos) << out;
    EXPECT_NE(out.find("无法记下管理页面的地址"), std::string::npos) << out;
    const CommandResult r = runServerCommand({"admin-url", "--state", state});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find(address), std::string::npos) << r.out;
}

// /metrics, read by Prometheus' own parser, counts what happened; without
// the metrics token (serve makes it, the owner's alone) it answers 401, and
// neither token opens what the other does.
TEST(ServerMonitoring, MetricsAreReadByAPrometheusParser) {
    const TempDir state;
    const std::string dir = state.path();
    ServerProcess server(dir);
    ASSERT_EQ(statusOf(httpExchange(server.port(), updateQuestion())), 200);
    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=hi"))), 200);
    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "Other=hi"))), 400);
    // The day's backup, which serve makes as it starts, once in place.
    dailyBackupMade(dir, 5);

    EXPECT_EQ(statusOf(adminGet(dir, "/metrics")), 401);
    EXPECT_EQ(statusOf(adminGet(dir, "/metrics", "Cookie: " + login(dir) + "\r\n")), 401);
    EXPECT_EQ(statusOf(adminGet(dir, "/metrics", "Authorization: Bearer " + tokenOf(dir) + "\r\n")),
              401);
    const std::string monitor = tokenOf(dir, "metrics-token");
    EXPECT_EQ(modeOf(dir + "/metrics-token"), 0600);
    EXPECT_EQ(statusOf(adminGet(dir, "/comments?token=" + monitor)), 401);
    const std::string reply =
        adminGet(dir, "/metrics", "Authorization: Bearer " + monitor + "\r\n");
    ASSERT_EQ(statusOf(reply), 200);
    const std::string text = dir + "/../metrics.txt";
    std::ofstream(text) << bodyOf(reply);
    std::string parsed;
    if (std::FILE* p = ::popen((PELVORAN_READ_METRICS " < " + text).c_str(), "r")) {
        char buf[512];
        while (const std::size_t n = std::fread(buf, 1, sizeof buf, p))
            parsed.append(buf, n);
        EXPECT_EQ(::pclose(p), 0) << bodyOf(reply);
    }
    std::filesystem::remove(text);
    std::map<std::string, double> samples;
    std::istringstream lines(parsed);
    for (std::string line; std::getline(lines, line);)
        samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ') + 1));
    const struct {
        const char* sample;
        double value;
    } cases[] = {
        {"pelvoran_update_checks_total{platform=\"unknown\",version=\"1.05 或更早\"}", 1},
        {"pelvoran_comments_stored_total{}", 1},
        {"pelvoran_comments_refused_total{status=\"400\"}", 1},
        {"pelvoran_comments_refused_total{status=\"429\"}", 0},
        {"pelvoran_notifications_pending{}", 0}, // no recipient
        {"pelvoran_notification_oldest_pending_seconds{}", 0},
        {"pelvoran_notification_failures_total{}", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(samples.count(c.sample) ? samples[c.sample] : -1, c.value) << c.sample << parsed;
    EXPECT_LT(samples["pelvoran_backup_age_seconds{}"], 60) << parsed;
    EXPECT_EQ(samples["pelvoran_database_bytes{}"],
              static_cast<double>(std::filesystem::file_size(dir + "/comments.sqlite") +
                                  std::filesystem::file_size(dir + "/comments.sqlite-wal")));
}

// An admin session outlasts a restart of the server; a logout ends it, and a
// restore ends every session, those in the backup too.
TEST(ServerMonitoring, SessionsOutlastARestartButNotALogoutOrARestore) {
    const TempDir state;
    const std::string dir = state.path();
    std::string kept, out;
    {
        ServerProcess server(dir);
        kept = login(dir);
        out = login(dir);
        ASSERT_EQ(statusWith(dir, kept), 200);
        EXPECT_NE(server.errors().find("管理页面"), std::string::npos) << server.errors();
    }
    ASSERT_EQ(runServerCommand({"backup", dir + "/../sessions.sqlite", "--state", dir}).status, 0);
    {
        ServerProcess server(dir);
        EXPECT_EQ(statusWith(dir, kept), 200);
        EXPECT_EQ(
            statusOf(httpExchange(adminPort(dir), post("/logout", "", "Cookie: " + out + "\r\n"))),
            200);
        EXPECT_EQ(statusWith(dir, out), 401);
        EXPECT_EQ(statusWith(dir, kept), 200);
    }
    const CommandResult restore =
        runServerCommand({"restore", dir + "/../sessions.sqlite", "--state", dir});
    std::filesystem::remove(dir + "/../sessions.sqlite");
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_NE(restore.err.find("恢复"), std::string::npos);
    ServerProcess server(dir);
    EXPECT_EQ(statusWith(dir, kept), 401);
    EXPECT_EQ(statusWith(dir, out), 401);
}

namespace {

/// The cells of a line of a command's table: columns are two blanks apart
/// at least.
std::vector<std::string> cellsOf(const std::string& line) {
    std::vector<std::string> cells;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t gap = line.find("  ", at);
        cells.push_back(line.substr(at, gap - at));
        if (gap == std::string::npos)
            break;
        at = line.find_first_not_of(' ', gap);
    }
    return cells;
}

/// The rows of a command's table, without its heads and closing line, as
/// the columns `picked` of each.
std::vector<std::vector<std::string>> tableRows(const std::string& out,
                                                const std::vector<std::size_t>& picked) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line); // the heads
    while (std::getline(lines, line)) {
        const auto cells = cellsOf(line);
        if (cells.size() < 2)
            continue; // the closing line
        std::vector<std::string> row;
        for (const std::size_t i : picked)
            row.push_back(i < cells.size() ? cells[i] : "");
        rows.push_back(row);
    }
    return rows;
}

} // namespace

// Publish, publish for Linux, then 重新发布 the first from the Linux
// release page: the real Linux tool's update check offers the first again,
// and the audit log and the release history list all three.
TEST(ToolAndServer, RepublishedReleaseIsOfferedAgainAndKept) {
    const TempDir state;
    const std::string dir = state.path();
    ServerProcess server(dir);
    for (const char* name : {"first", "second"})
        ASSERT_EQ(runServerCommand({"release", "set", "--state", dir, "--version",
                                    name == std::string("first") ? "1.06" : "1.07", "--address",
                                    "http://127.0.0.1/" + std::string(name) + ".exe", "--date",
                                    "2026年12月", "--notes", "说明", "--platform", "linux"})
                      .status,
                  0);
    const std::string cookie = "Cookie: " + login(dir) + "\r\n";
    const std::string page = bodyOf(adminGet(dir, "/release?platform=linux", cookie));
    const std::string mark = "name=\"csrf\" value=\"";
    ASSERT_NE(page.find(mark), std::string::npos) << page;
    ASSERT_NE(page.find("name=\"id\" value=\"1\""), std::string::npos) << page;
    const std::string csrf = page.substr(page.find(mark) + mark.size(), 64);
    const std::string answer =
        httpExchange(adminPort(dir), post("/release/republish", "csrf=" + csrf + "&id=1", cookie));
    ASSERT_EQ(statusOf(answer), 303) << answer;
    const std::string location = headerValue(answer, "Location");
    EXPECT_EQ(location, "/release?platform=linux&done=republished&id=3");
    for (int reload = 0; reload < 2; ++reload) // publishes nothing again: three rows below
        EXPECT_NE(bodyOf(adminGet(dir, location, cookie)).find("这是回退"), std::string::npos);

    const std::string first = "http://127.0.0.1/first.exe";
    const auto linuxReply = [&] {
        return bodyOf(httpExchange(server.port(), "GET /Canon/LensCheck.asp HTTP/1.1\r\nHost: "
                                                  "127.0.0.1\r\nUser-Agent: Pelvoran/1.05 "
                                                  "(Linux)\r\nConnection: close\r\n\r\n"));
    };
    for (int i = 0; i < 30 && linuxReply().find(first) == std::string::npos; ++i)
        std::this_thread::sleep_for(100ms);
    FakeOpener opener;
    const DriverRun run =
        runDriver("http://127.0.0.1:" + std::to_string(server.port()), "accept-update", opener);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    for (int i = 0; i < 50 && opener.opened().empty(); ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(opener.opened(), first + "\n");

    const CommandResult audit = runServerCommand({"audit", "list", "--state", dir});
    ASSERT_EQ(audit.status, 0) << audit.err;
    auto acts = tableRows(audit.out, {2, 3, 4});
    std::erase_if(acts, [](const auto& row) { return row[1] == "登录"; });
    EXPECT_EQ(acts, (std::vector<std::vector<std::string>>{
                        {"管理页面", "重新发布", "1.06（Linux）（发布记录 #1）"},
                        {"命令行", "发布", "1.07（Linux）"},
                        {"命令行", "发布", "1.06（Linux）"},
                    }))
        << audit.out;
    const CommandResult history =
        runServerCommand({"release", "history", "--state", dir, "--platform", "linux"});
    ASSERT_EQ(history.status, 0) << history.err;
    EXPECT_EQ(tableRows(history.out, {0, 2, 3, 4, 6}),
              (std::vector<std::vector<std::string>>{
                  {"#3 *", "管理页面", "发布", "1.06", first},
                  {"#2", "命令行", "发布", "1.07", "http://127.0.0.1/second.exe"},
                  {"#1", "命令行", "发布", "1.06", first},
              }))
        << history.out;
}

// With the public key in the state directory, only a signed https:// release
// is published; the update check carries the signature as field 4, the
// release page says it is signed, and a tool built with the key offers it.
TEST(ServerSigning, AKeyedStateTakesOnlySignedReleases) {
    const TempDir state, keys;
    makeState(state.path());
    const std::string key = keys.path() + "/publisher.pem", other = keys.path() + "/other.pem";
    const CommandResult created = runServerCommand({"key", "create", key, "--state", state.path()});
    ASSERT_EQ(created.status, 0) << created.err;
    ASSERT_TRUE(created.out.starts_with("-DPELVORAN_UPDATE_KEY=")) << created.out;
    const std::string publicKey = created.out.substr(22, created.out.find('\n') - 22);
    EXPECT_EQ(modeOf(key), 0600);
    ASSERT_EQ(runServerCommand({"key", "create", other}).status, 0);
    EXPECT_EQ(runServerCommand({"key", "create", key}).status, 2); // never overwritten

    const std::vector<std::string> fields = {
        "--version", "1.06",       "--address", "https://example.com/p.exe",
        "--date",    "2026-12-01", "--notes",   "修正"};
    const auto with = [&](std::vector<std::string> head, std::vector<std::string> tail = {}) {
        head.insert(head.end(), fields.begin(), fields.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const CommandResult signedHere = runServerCommand(with({"release", "sign", "--key", key}));
    ASSERT_EQ(signedHere.status, 0) << signedHere.err;
    const std::string sig = signedHere.out.substr(0, signedHere.out.find('\n'));
    std::vector<std::string> otherRelease = with({"release", "sign", "--key", key});
    otherRelease[5] = "1.07";
    const std::string otherSig = runServerCommand(otherRelease).out;
    std::vector<std::string> httpRelease =
        with({"release", "set", "--state", state.path()}, {"--sign-with", key});
    httpRelease[7] = "http://example.com/p.exe";

    struct Case {
        std::vector<std::string> args;
        const char* named; // the option the refusal names
    };
    const Case refused[] = {
        {with({"release", "set", "--state", state.path()}), "--signature"},
        {with({"release", "set", "--state", state.path()}, {"--signature", otherSig}),
         "--signature"},
        {with({"release", "set", "--state", state.path()}, {"--signature", sig + "A"}),
         "--signature"},
        {with({"release", "set", "--state", state.path()}, {"--sign-with", other}), "--sign-with"},
        {httpRelease, "--address"},
    };
    for (const Case& c : refused) {
        const CommandResult r = runServerCommand(c.args);
        EXPECT_EQ(r.status, 2) << c.named << ": " << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    }
    EXPECT_EQ(runServerCommand({"release", "show", "--state", state.path()}).out,
              "尚未发布新版本。\n");

    const CommandResult set =
        runServerCommand(with({"release", "set", "--state", state.path()}, {"--signature", sig}));
    ASSERT_EQ(set.status, 0) << set.err;
    // The signed message names no platform: the same signature serves Linux.
    const CommandResult linux = runServerCommand(with(
        {"release", "set", "--state", state.path(), "--platform", "linux"}, {"--signature", sig}));
    ASSERT_EQ(linux.status, 0) << linux.err;
    ServerProcess server(state.path());
    const std::string expected =
        "1.06[;]https://example.com/p.exe[;]2026-12-01[;]%u4FEE%u6B63[;]" + sig;
    EXPECT_EQ(replyTo(server.port()), expected);
    EXPECT_EQ(bodyOf(httpExchange(server.port(), "GET /Canon/LensCheck.asp HTTP/1.1\r\nHost: "
                                                 "127.0.0.1\r\nConnection: close\r\n\r\n")),
              expected);
    const std::string page =
        adminGet(state.path(), "/release", "Cookie: " + login(state.path()) + "\r\n");
    EXPECT_NE(page.find("<dt>签名</dt><dd>已签名</dd>"), std::string::npos) << page;

    ::setenv("PELVORAN_DRIVER_UPDATE_KEY", publicKey.c_str(), 1);
    FakeOpener opener;
    const DriverRun run =
        runDriver("http://127.0.0.1:" + std::to_string(server.port()), "comments", opener);
    ::unsetenv("PELVORAN_DRIVER_UPDATE_KEY");
    EXPECT_TRUE(run.out.starts_with("box 有更新版本: 最新版本: 1.06\\n")) << run.out;
}

// The private key kept in the state directory signs what release set
// publishes; without a key, release set warns that offers go unsigned, and
// with --sign-with alone, that only tools built with that key check them.
TEST(ServerSigning, KeyInTheStateSignsAndNoKeyWarns) {
    const TempDir keyed, plain;
    makeState(keyed.path());
    makeState(plain.path());
    ASSERT_EQ(runServerCommand({"key", "create", "--state", keyed.path()}).status, 0);
    EXPECT_EQ(modeOf(keyed.path() + "/update-key.pem"), 0600);
    const auto set = [](const std::string& dir, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {
            "release",   "set",  "--state",   dir,
            "--version", "1.06", "--address", "https://example.com/p.exe",
            "--date",    "d",    "--notes",   "n"};
        args.insert(args.end(), more.begin(), more.end());
        return runServerCommand(args);
    };
    const CommandResult signedSet = set(keyed.path()), plainSet = set(plain.path());
    ASSERT_EQ(signedSet.status, 0) << signedSet.err;
    EXPECT_NE(
        runServerCommand({"release", "show", "--state", keyed.path()}).out.find("签名：sig1:"),
        std::string::npos);
    ASSERT_EQ(plainSet.status, 0) << plainSet.err;
    EXPECT_NE(plainSet.err.find("没有公钥"), std::string::npos) << plainSet.err;
    // A key of its own signs, and the warning says what that does and not.
    const std::string keyFile = plain.path() + "/publisher.pem";
    ASSERT_EQ(runServerCommand({"key", "create", keyFile}).status, 0);
    const CommandResult signedWith = set(plain.path(), {"--sign-with", keyFile});
    ASSERT_EQ(signedWith.status, 0) << signedWith.err;
    EXPECT_EQ(signedWith.err.find("未经核对"), std::string::npos) << signedWith.err;
    for (const char* says :
         {"只有用这把密钥构建的工具才核对签名", "这里不核对其他版本的签名", "/update-key.pub"})
        EXPECT_NE(signedWith.err.find(says), std::string::npos) << says << signedWith.err;
    // ... and takes no signature it has nothing to check by.
    EXPECT_EQ(set(plain.path(), {"--signature", "sig1:AAAA"}).status, 2);
}

// What the commands print of stored text cannot act on the terminal.
TEST(ServerCommandLine, StoredTextIsShownAsText) {
    const TempDir state;
    makeState(state.path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((state.path() + "/comments.sqlite").c_str(), &db), SQLITE_OK);
    // As a hand or a restored backup could have left them.
    EXPECT_EQ(sqlite3_exec(db,
                           "INSERT INTO audit_log (time, action, detail, source, address) VALUES "
                           "(1, '登录', 'x', '管理页面', char(27) || ']0;t' || char(7) || "
                           "char(27) || '[2J');"
                           "INSERT INTO release (platform, version, address, date, notes) VALUES "
                           "('windows', '1.06', 'https://x/' || char(27) || '[2J', 'd', "
                           "char(10) || 'a' || char(10) || 'b' || char(27) || '[31m')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const struct {
        std::vector<std::string> command;
        const char* shown;
    } cases[] = {
        {{"audit", "list"}, "（来自 \\x1b]0;t\\x07\\x1b[2J）"},
        {{"release", "show"}, "下载地址：https://x/\\x1b[2J\n"},
        {{"release", "show"}, "更新说明：\na\nb\\x1b[31m\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.command;
        args.insert(args.end(), {"--state", state.path()});
        const CommandResult r = runServerCommand(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << c.shown << "\n" << r.out;
    }
}

namespace {

/// The first 16 hex digits of the SHA-256 of `text`, by the coreutils
/// sha256sum rather than the server's own code.
std::string sha256Prefix(const std::string& text) {
    std::string out;
    if (std::FILE* p = ::popen(("printf %s '" + text + "' | sha256sum").c_str(), "r")) {
        char buf[128];
        while (const std::size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        ::pclose(p);
    }
    return out.substr(0, 16);
}

} // namespace

// key create writes all of its files or none, refuses a state directory
// with a key before writing anything, and is in the audit log; key show
// prints the key line, its fingerprint and where the private key is.
TEST(ServerSigning, KeyCreateIsWholeOrNothingAndLogged) {
    const TempDir keyed, locked, fresh, work;
    for (const auto* t : {&keyed, &locked, &fresh})
        makeState(t->path());
    ASSERT_EQ(runServerCommand({"key", "create", "--state", keyed.path()}).status, 0);
    if (::geteuid() == 0) // root writes anywhere: the command acts as the owner
        giveTo(locked.path(), kService);
    ASSERT_EQ(::chmod(locked.path().c_str(), 0500), 0);
    const struct {
        const char* what;
        std::string state;
        int status;
    } refused[] = {{"a state with a key", keyed.path(), 2},
                   {"a state its owner may not write", locked.path(), 1}};
    for (const auto& c : refused) {
        const std::string file = work.path() + "/publisher.pem";
        const CommandResult r = runServerCommand({"key", "create", file, "--state", c.state});
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(work.path())) << c.what << ": a file was left";
    }
    EXPECT_FALSE(std::filesystem::exists(locked.path() + "/update-key.pub"));
    ::chmod(locked.path().c_str(), 0700);

    const CommandResult created = runServerCommand({"key", "create", "--state", fresh.path()});
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_NE(created.err.find("离线副本"), std::string::npos) << created.err;
    const std::string key = created.out.substr(22, created.out.find('\n') - 22);
    const std::string fingerprint = sha256Prefix(key);
    const CommandResult show = runServerCommand({"key", "show", "--state", fresh.path()});
    EXPECT_EQ(show.out, "-DPELVORAN_UPDATE_KEY=" + key + "\n公钥指纹：" + fingerprint +
                            "\n私钥：存在状态目录中（" +
                            std::filesystem::canonical(fresh.path()).string() +
                            "/update-key.pem），与公钥是一对\n")
        << show.err;
    const std::string audit = runServerCommand({"audit", "list", "--state", fresh.path()}).out;
    EXPECT_NE(audit.find("创建签名密钥  公钥指纹 " + fingerprint), std::string::npos) << audit;
}

// A backup carries the signing key and the monitor's token. Restored where
// there is no key, they come back with their modes, and release set then
// refuses an unsigned http release; where there is another key, the restore
// is refused naming both fingerprints and changes nothing.
TEST(ServerSigning, TheKeyTravelsWithTheBackup) {
    const TempDir keyed, bare, other, work;
    for (const auto* t : {&keyed, &bare, &other})
        makeState(t->path());
    std::vector<std::string> keys; // the key lines, as key create prints them
    for (const auto* t : {&keyed, &other}) {
        const CommandResult created = runServerCommand({"key", "create", "--state", t->path()});
        ASSERT_EQ(created.status, 0) << created.err;
        keys.push_back(created.out.substr(22, created.out.find('\n') - 22));
    }
    std::ofstream(keyed.path() + "/metrics-token") << "0123456789abcdef\n";
    ::chmod((keyed.path() + "/metrics-token").c_str(), 0600);
    const std::string backup = work.path() + "/b.sqlite";
    const CommandResult made = runServerCommand({"backup", backup, "--state", keyed.path()});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("含有签名私钥 update-key.pem"), std::string::npos) << made.out;

    const std::string otherKey = fileBytes(other.path() + "/update-key.pub");
    const CommandResult refused = runServerCommand({"restore", backup, "--state", other.path()});
    EXPECT_EQ(refused.status, 2) << refused.err;
    for (const std::string& key : keys)
        EXPECT_NE(refused.err.find(sha256Prefix(key)), std::string::npos) << refused.err;
    EXPECT_EQ(fileBytes(other.path() + "/update-key.pub"), otherKey);
    // Nothing was replaced (serve's daily job may not have made the folder yet).
    std::error_code none;
    for (const auto& e : std::filesystem::directory_iterator(other.path() + "/backups", none))
        EXPECT_FALSE(e.path().filename().string().starts_with("replaced")) << e.path();

    for (const std::string& state : {bare.path(), keyed.path()}) {
        const CommandResult r = runServerCommand({"restore", backup, "--state", state});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    for (const char* name : {"/update-key.pub", "/update-key.pem", "/metrics-token"}) {
        EXPECT_EQ(fileBytes(bare.path() + name), fileBytes(keyed.path() + name)) << name;
        EXPECT_EQ(modeOf(bare.path() + name), 0600) << name;
    }
    // The daily backups carry them too.
    std::filesystem::remove_all(keyed.path() + "/backups");
    {
        ServerProcess server(keyed.path());
        ASSERT_TRUE(dailyBackupMade(keyed.path(), 20));
    }
    for (const auto& e : std::filesystem::directory_iterator(keyed.path() + "/backups"))
        EXPECT_EQ(linesIn(e.path(), "SELECT name FROM state_files ORDER BY name"),
                  "metrics-token\nupdate-key.pem\nupdate-key.pub\n")
            << e.path();
    const CommandResult http = runServerCommand(
        {"release", "set", "--state", bare.path(), "--version", "1.06", "--address",
         "http://evil.example.com/x.exe", "--date", "d", "--notes", "n"});
    EXPECT_EQ(http.status, 2) << http.out << http.err;
    EXPECT_NE(http.err.find("--address"), std::string::npos) << http.err;
}

namespace {

/// What `curl -s args...` wrote (the file of -o aside) and its exit status.
struct Curl {
    int status = -1;
    std::string out;
};

Curl curl(const std::string& logDir, const std::vector<std::string>& args) {
    const std::string log = logDir + "/curl.log";
    std::filesystem::remove(log);
    std::vector<std::string> argv = {"curl", "-s", "--max-time", "20"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, log);
    Curl c;
    c.status = child.stop(0, 30s);
    c.out = fileBytes(log);
    return c;
}

} // namespace

// A release's file published with --file is served by the public listener
// under the prefix, as curl reads it: whole, ranges, past the end, a stale
// If-Range, HEAD, a transfer cut off and resumed; a file that fails to store
// publishes nothing; a backup restored elsewhere serves the same bytes.
TEST(ServedFiles, CurlReadsRangesResumesAndTheBackupCarriesThem) {
    const TempDir state, work, elsewhere;
    const std::string dir = state.path();
    makeState(dir);
    const std::string bytes = randomBytes(300 * 1000, 7);
    const std::string exe = work.path() + "/Pelvoran.exe";
    std::ofstream(exe, std::ios::binary) << bytes;
    const std::vector<std::string> release = {"release", "set", "--state", dir, "--version", "1.06",
                                              "--date",  "d",   "--notes", "n", "--file",    exe};
    const auto withBase = [&] {
        auto args = release;
        args.insert(args.end(), {"--download-base", "https://example.com/p"});
        return args;
    };
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/comments.sqlite").c_str(), &db), SQLITE_OK);
        sqlite3_exec(db,
                     "CREATE TRIGGER fault BEFORE INSERT ON download_chunks "
                     "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                     nullptr, nullptr, nullptr);
        const CommandResult failed = runServerCommand(withBase());
        EXPECT_EQ(failed.status, 1) << failed.out << failed.err;
        sqlite3_exec(db, "DROP TRIGGER fault", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    EXPECT_NE(runServerCommand({"release", "show", "--state", dir}).out.find("尚未发布"),
              std::string::npos)
        << "a release points at a file that was not stored";
    const CommandResult published = runServerCommand(withBase());
    ASSERT_EQ(published.status, 0) << published.err;
    const std::string path = "/p/download/windows/1.06/Pelvoran.exe";
    EXPECT_NE(published.out.find("https://example.com" + path), std::string::npos) << published.out;
    EXPECT_NE(runServerCommand({"release", "show", "--state", dir})
                  .out.find("本服务器提供的文件：Pelvoran.exe，300.0 KB，SHA-256 " +
                            pelvoran::server::sha256Hex(bytes)),
              std::string::npos);

    const std::string backup = work.path() + "/b.sqlite";
    const std::string got = work.path() + "/got";
    {
        ServerProcess server(dir, {"--public-prefix", "/p/"});
        const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + path;
        const std::string series =
            "pelvoran_downloads_total{version=\"1.06\",platform=\"windows\"} ";
        const auto downloads = [&] {
            const std::string body =
                bodyOf(adminGet(dir, "/metrics",
                                "Authorization: Bearer " + tokenOf(dir, "metrics-token") + "\r\n"));
            const auto at = body.find(series);
            return at == std::string::npos ? 0 : std::atoi(body.c_str() + at + series.size());
        };
        // A GET with a body nobody reads: the file all the same, counted.
        const Curl withBody =
            curl(work.path(), {"-o", got, "-X", "GET", "--data-binary", "x", url});
        EXPECT_EQ(withBody.status, 0) << withBody.out;
        EXPECT_TRUE(fileBytes(got) == bytes);
        for (int i = 0; i < 50 && downloads() < 1; ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_EQ(downloads(), 1);
        const struct {
            std::vector<std::string> args;
            std::string code;
            std::string body;
        } cases[] = {
            {{}, "200", bytes},
            {{"-r", "0-0"}, "206", bytes.substr(0, 1)},
            {{"-r", "1000-1999"}, "206", bytes.substr(1000, 1000)},
            {{"-r", "-1"}, "206", bytes.substr(bytes.size() - 1)},
            {{"-r", "300000-"}, "416", "请求的范围超出了文件的末尾。\n"},
            {{"-r", "0-9", "-H", "If-Range: \"0000\""}, "200", bytes},
            {{"-r", "0-9,20-29"}, "200", bytes},
        };
        for (const auto& c : cases) {
            std::vector<std::string> args = {"-o", got, "-w", "%{http_code}"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.push_back(url);
            const Curl r = curl(work.path(), args);
            EXPECT_EQ(r.out, c.code) << c.args.front();
            EXPECT_TRUE(fileBytes(got) == c.body) << c.args.front();
        }
        const std::string lookup =
            bodyOf(httpExchange(server.port(), "GET /p/ HTTP/1.1\r\nHost: x\r\n"
                                               "Connection: close\r\n\r\n"));
        EXPECT_NE(lookup.find("下载 Pelvoran 1.06（Windows，300.0 KB）"), std::string::npos);
        EXPECT_NE(lookup.find(pelvoran::server::sha256Hex(bytes)), std::string::npos);
        const Curl head = curl(work.path(), {"-I", url});
        EXPECT_NE(head.out.find("HTTP/1.1 200"), std::string::npos) << head.out;
        for (const std::string& line : std::vector<std::string>{
                 "Content-Length: 300000", "ETag: \"" + pelvoran::server::sha256Hex(bytes) + "\"",
                 "Accept-Ranges: bytes",
                 "Content-Disposition: attachment; filename=\"Pelvoran.exe\"",
                 "X-Content-Type-Options: nosniff"})
            EXPECT_NE(head.out.find(line), std::string::npos) << line << "\n" << head.out;

        // Cut off by its own time limit, slowly, then resumed where it stopped.
        const std::string part = work.path() + "/part";
        const Curl cut =
            curl(work.path(), {"--limit-rate", "1K", "--max-time", "0.5", "-o", part, url});
        EXPECT_EQ(cut.status, 28) << "not cut off: " << cut.out;
        EXPECT_LT(fileBytes(part).size(), bytes.size());
        EXPECT_GT(fileBytes(part).size(), 0u);
        EXPECT_EQ(curl(work.path(), {"-C", "-", "-o", part, url}).status, 0);
        EXPECT_EQ(pelvoran::server::sha256Hex(fileBytes(part)), pelvoran::server::sha256Hex(bytes));

        // Completed: the GET with a body, the table's three whole answers,
        // the last byte's range and the resumed transfer's end; maybe the cut
        // one, whose end the kernel may have taken in; never the first
        // byte's, the middle's, 416 or HEAD.
        int completed = downloads();
        for (int i = 0; i < 50 && completed < 6; ++i, completed = downloads())
            std::this_thread::sleep_for(100ms);
        EXPECT_GE(completed, 6);
        EXPECT_LE(completed, 7);
        ASSERT_EQ(runServerCommand({"backup", backup, "--state", dir}).status, 0);
    }
    makeState(elsewhere.path());
    const CommandResult restored =
        runServerCommand({"restore", backup, "--state", elsewhere.path()});
    ASSERT_EQ(restored.status, 0) << restored.err;
    ServerProcess server(elsewhere.path(), {"--public-prefix", "/p/"});
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + path;
    EXPECT_EQ(curl(work.path(), {"-o", got, url}).status, 0);
    EXPECT_EQ(pelvoran::server::sha256Hex(fileBytes(got)), pelvoran::server::sha256Hex(bytes));
}

// The release page's file field publishes a served file from the browser:
// the session and the form's token are checked from the head, before any of
// the body is read; a file with a bad name or over --max-download-size
// leaves no release and nothing in the state directory; one that is taken
// is served back whole.
TEST(ServedFiles, ReleasePageUploadIsCheckedFirstAndServedBack) {
    const TempDir state, work;
    const std::string dir = state.path();
    makeState(dir);
    ServerProcess server(dir, {"--max-download-size", "400K"});
    const std::string cookie = login(dir);
    const std::string page = bodyOf(adminGet(dir, "/release", "Cookie: " + cookie + "\r\n"));
    const std::string mark = "name=\"csrf\" value=\"";
    ASSERT_NE(page.find(mark), std::string::npos) << page;
    const std::string csrf = page.substr(page.find(mark) + mark.size(), 64);
    EXPECT_NE(page.find("action=\"/release?csrf=" + csrf + "\" enctype=\"multipart/form-data\""),
              std::string::npos);

    // A head announcing a body that never comes is answered at once.
    const struct {
        std::string target, cookie;
        int status;
    } heads[] = {{"/release?csrf=" + csrf, "", 401},
                 {"/release?csrf=" + std::string(64, '0'), cookie, 403},
                 {"/release", cookie, 403}};
    for (const auto& h : heads) {
        const std::string reply =
            httpExchange(adminPort(dir),
                         "POST " + h.target +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
                             "boundary=x\r\nContent-Length: 300000\r\n" +
                             (h.cookie.empty() ? "" : "Cookie: " + h.cookie + "\r\n") + "\r\n",
                         5s);
        EXPECT_EQ(statusOf(reply), h.status) << h.target << "\n" << reply;
    }

    const std::string bytes = randomBytes(300 * 1000, 11);
    const std::string exe = work.path() + "/upload.bin";
    std::ofstream(exe, std::ios::binary) << bytes;
    std::ofstream(work.path() + "/big.bin", std::ios::binary) << std::string(500 * 1000, 'x');
    const auto entries = [&] {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
            names.insert(e.path().string());
        return names;
    };
    const std::set<std::string> before = entries();
    const auto upload = [&](const std::string& file) {
        return curl(work.path(), {"-o",
                                  work.path() + "/page",
                                  "-w",
                                  "%{http_code} %{redirect_url}",
                                  "-b",
                                  cookie,
                                  "-F",
                                  "csrf=" + csrf,
                                  "-F",
                                  "platform=linux",
                                  "-F",
                                  "version=1.06",
                                  "-F",
                                  "date=2026年12月",
                                  "-F",
                                  "notes=说明",
                                  "-F",
                                  "rollout=100",
                                  "-F",
                                  "action=publish",
                                  "-F",
                                  "base=https://example.com/p",
                                  "-F",
                                  "file=@" + file,
                                  "http://127.0.0.1:" + std::to_string(adminPort(dir)) +
                                      "/release?csrf=" + csrf});
    };
    const struct {
        std::string file;
        std::string code;
        std::string says;
    } refused[] = {{exe + ";filename=bad name.exe", "400", "文件名须为"},
                   {work.path() + "/big.bin;filename=Pelvoran", "413", "--max-download-size"}};
    for (const auto& r : refused) {
        EXPECT_EQ(upload(r.file).out.substr(0, 3), r.code) << r.file;
        EXPECT_NE(fileBytes(work.path() + "/page").find(r.says), std::string::npos) << r.file;
        EXPECT_EQ(entries(), before) << r.file;
    }
    const CommandResult shown =
        runServerCommand({"release", "show", "--state", dir, "--platform", "linux"});
    EXPECT_NE(shown.out.find("尚未给 Linux 工具发布"), std::string::npos) << shown.out;

    const Curl taken = upload(exe + ";filename=Pelvoran");
    EXPECT_EQ(taken.out.substr(0, 3), "303") << fileBytes(work.path() + "/page");
    EXPECT_NE(taken.out.find("/release?platform=linux&done=published"), std::string::npos)
        << taken.out;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/download/linux/1.06/Pelvoran";
    const std::string got = work.path() + "/got";
    for (int i = 0; i < 50 && curl(work.path(), {"-f", "-o", got, url}).status != 0; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(pelvoran::server::sha256Hex(fileBytes(got)), pelvoran::server::sha256Hex(bytes));
}
