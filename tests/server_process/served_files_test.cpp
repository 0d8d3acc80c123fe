// Files the server serves itself, as curl reads them (ranges, resumes), the
// backup that carries them, and the release page's upload.
#include "server/store/field_counts.h"
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
                  .out.find("本服务器提供的文件：Pelvoran.exe，300 KB，SHA-256 " +
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
        // Each case from a network of its own (127.0.N.1, a /24 each): a
        // download counts once per network, and only the whole file.
        const struct {
            std::vector<std::string> args;
            std::string code;
            std::string body;
            bool counts;
            std::string after = ""; // the path's
        } cases[] = {
            {{}, "200", bytes, true},
            {{"-r", "0-0"}, "206", bytes.substr(0, 1), false},
            {{"-r", "1000-1999"}, "206", bytes.substr(1000, 1000), false},
            {{"-r", "-1"}, "206", bytes.substr(bytes.size() - 1), false},
            {{"-r", "1-"}, "206", bytes.substr(1), false},
            {{"-r", "300000-"}, "416", "请求的范围超出了文件的末尾。\n", false},
            {{"-r", "0-9", "-H", "If-Range: \"0000\""}, "200", bytes, true},
            {{"-r", "0-9,20-29"}, "200", bytes, true},
            {{"-r", "0-299999"}, "206", bytes, true},
            // Two lines: a proxy in front may take the other one.
            {{"-H", "Range: bytes=0-9", "-H", "Range: bytes=20-29"}, "200", bytes, true},
            // Where the library's copy of the path ends, not where it does.
            {{"-r", "0-9"}, "400", "请求的地址里有不允许的字符（%00）。\n", false, "%00.txt"},
        };
        int counting = 1;
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[i];
            std::vector<std::string> args = {
                "-o",           got,           "-w",
                "%{http_code}", "--interface", "127.0." + std::to_string(10 + i) + ".1"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.push_back(url + c.after);
            const Curl r = curl(work.path(), args);
            const std::string what = (c.args.empty() ? "" : c.args.back()) + c.after;
            EXPECT_EQ(r.out, c.code) << what;
            EXPECT_TRUE(fileBytes(got) == c.body) << what;
            counting += c.counts;
        }
        const std::string lookup =
            bodyOf(httpExchange(server.port(), "GET /p/ HTTP/1.1\r\nHost: x\r\n"
                                               "Connection: close\r\n\r\n"));
        EXPECT_NE(lookup.find("下载 Pelvoran 1.06（Windows，300 KB）"), std::string::npos);
        EXPECT_NE(lookup.find(pelvoran::server::sha256Hex(bytes)), std::string::npos);
        // A staged release is linked nowhere public, though served at its
        // address; the one every network gets stays on the page.
        std::ofstream(exe, std::ios::binary | std::ios::trunc) << "1.07";
        auto staged = withBase();
        staged[5] = "1.07";
        staged.insert(staged.end(), {"--rollout", "10"});
        ASSERT_EQ(runServerCommand(staged).status, 0);
        const std::string stagedPath = "/p/download/windows/1.07/Pelvoran.exe";
        waitUntil(
            [&] {
                return curl(work.path(), {"-o", got, url.substr(0, url.find("/p/")) + stagedPath})
                               .status == 0 &&
                       fileBytes(got) == "1.07";
            },
            60s);
        EXPECT_EQ(fileBytes(got), "1.07");
        const std::string stillLinked =
            bodyOf(httpExchange(server.port(), "GET /p/ HTTP/1.1\r\nHost: x\r\n"
                                               "Connection: close\r\n\r\n"));
        EXPECT_NE(stillLinked.find("下载 Pelvoran 1.06（Windows，300 KB）"), std::string::npos);
        EXPECT_EQ(stillLinked.find("1.07"), std::string::npos) << stillLinked;
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

        // One network fetches the file again and again, asks for its last
        // byte a thousand times and checks for updates a thousand times, its
        // agent claiming every version there is: one download, one client.
        const std::string crowd = "127.0.99.1";
        ASSERT_EQ(statusOf(httpExchange(server.port(),
                                        "GET " + path +
                                            " HTTP/1.1\r\nHost: x\r\n"
                                            "Connection: close\r\n\r\n",
                                        10s, crowd)),
                  200);
        ++counting;
        for (int i = 0; i < 1000; ++i) {
            const std::string range = i % 100 == 0 ? "" : "Range: bytes=-1\r\n";
            ASSERT_EQ(statusOf(httpExchange(server.port(),
                                            "GET " + path + " HTTP/1.1\r\nHost: x\r\n" + range +
                                                "Connection: close\r\n\r\n",
                                            10s, crowd)),
                      range.empty() ? 200 : 206);
            std::string check = updateQuestion();
            char agent[64];
            std::snprintf(agent, sizeof agent, "User-Agent: Pelvoran/%d.%02d (Windows)\r\n",
                          i / 100, i % 100);
            check.insert(check.find("Connection:"), agent);
            ASSERT_EQ(statusOf(httpExchange(server.port(), check, 10s, crowd)), 200);
        }

        // Completed and counted: the GET with a body, the table's whole
        // answers and the crowd's first, each from a network of its own;
        // never a range that leaves a byte out, 416, HEAD, a resumed
        // transfer, nor a network's second download of the day.
        int completed = 0;
        waitUntil([&] { return (completed = downloads()) >= counting; }, 60s);
        EXPECT_EQ(completed, counting);
        ASSERT_EQ(runServerCommand({"backup", backup, "--state", dir}).status, 0);
        ASSERT_EQ(server.stop(SIGTERM), 0); // the end writes the counts out
    }
    const std::string registers =
        linesIn(dir + "/comments.sqlite", "SELECT hex(registers) FROM field_clients");
    std::string sketchBytes;
    for (std::size_t i = 0; i + 1 < registers.size() && registers[i] != '\n'; i += 2)
        sketchBytes += static_cast<char>(std::stoi(registers.substr(i, 2), nullptr, 16));
    const auto sketch = pelvoran::server::ClientSketch::fromBytes(sketchBytes);
    ASSERT_TRUE(sketch) << registers;
    EXPECT_EQ(std::llround(sketch->estimate()), 1) << "one network, one platform";
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
    const std::string csrf = csrfOf(page);
    ASSERT_FALSE(csrf.empty()) << page;
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
