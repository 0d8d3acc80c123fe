// Files the server serves itself, as curl reads them (ranges, resumes), the
// backup that carries them, and the release page's upload.
#include "server/support/digest.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

using namespace pelvoran::test;
using namespace std::chrono_literals;

namespace {

/// `size` bytes drawn from a generator seeded with `seed`: a file's bytes.
std::string randomBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (char& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

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
        waitUntil([&] { return downloads() >= 1; }, 60s);
        EXPECT_EQ(downloads(), 1);
        const struct {
            std::vector<std::string> args;
            std::string code;
            std::string body;
            std::string after = ""; // the path's
        } cases[] = {
            {{}, "200", bytes},
            {{"-r", "0-0"}, "206", bytes.substr(0, 1)},
            {{"-r", "1000-1999"}, "206", bytes.substr(1000, 1000)},
            {{"-r", "-1"}, "206", bytes.substr(bytes.size() - 1)},
            {{"-r", "300000-"}, "416", "请求的范围超出了文件的末尾。\n"},
            {{"-r", "0-9", "-H", "If-Range: \"0000\""}, "200", bytes},
            {{"-r", "0-9,20-29"}, "200", bytes},
            // Two lines: a proxy in front may take the other one.
            {{"-H", "Range: bytes=0-9", "-H", "Range: bytes=20-29"}, "200", bytes},
            // Where the library's copy of the path ends, not where it does.
            {{"-r", "0-9"}, "400", "请求的地址里有不允许的字符（%00）。\n", "%00.txt"},
        };
        for (const auto& c : cases) {
            std::vector<std::string> args = {"-o", got, "-w", "%{http_code}"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.push_back(url + c.after);
            const Curl r = curl(work.path(), args);
            const std::string what = (c.args.empty() ? "" : c.args.back()) + c.after;
            EXPECT_EQ(r.out, c.code) << what;
            EXPECT_TRUE(fileBytes(got) == c.body) << what;
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

        // Completed: the GET with a body, the table's four whole answers,
        // the last byte's range and the resumed transfer's end; maybe the cut
        // one, whose end the kernel may have taken in; never the first
        // byte's, the middle's, 416, 400 or HEAD.
        int completed = 0;
        waitUntil([&] { return (completed = downloads()) >= 7; }, 60s);
        EXPECT_GE(completed, 7);
        EXPECT_LE(completed, 8);
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
    waitUntil([&] { return curl(work.path(), {"-f", "-o", got, url}).status == 0; }, 60s);
    EXPECT_EQ(pelvoran::server::sha256Hex(fileBytes(got)), pelvoran::server::sha256Hex(bytes));
}
