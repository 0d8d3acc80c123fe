#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace pelvoran::test {

std::vector<std::string> exported(const std::string& state) {
    const CommandResult r = runServerCommand({"comments", "export", "--state", state});
    EXPECT_EQ(r.status, 0) << r.err;
    return exportedTexts(r.out);
}

std::string replyTo(int port) {
    return bodyOf(httpExchange(port, updateQuestion()));
}

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

void giveTo(const std::string& dir, uid_t uid) {
    ASSERT_EQ(::chown(dir.c_str(), uid, uid), 0);
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        ASSERT_EQ(::chown(e.path().c_str(), uid, uid), 0) << e.path();
}

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

bool dailyBackupMade(const std::string& dir, int seconds, const std::string& audited) {
    const auto made = [&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir + "/backups", ec))
            if (e.path().extension() == ".sqlite" &&
                (audited.empty() ||
                 (e.path().filename().string().starts_with("comments-") &&
                  linesIn(e.path(), "SELECT action || ' ' || detail FROM audit_log")
                          .find(audited) != std::string::npos)))
                return true;
        return false;
    };
    for (int i = 0; i < seconds * 10 && !made(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return made();
}

std::string healthSays(int port, int status, const std::string& text, bool whole) {
    std::string reply;
    for (int i = 0; i < 300; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reply = httpExchange(
            port, "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        const std::string body = bodyOf(reply);
        if (statusOf(reply) == status &&
            (whole ? withoutAge(body) == text : body.find(text) != std::string::npos))
            break;
    }
    return reply;
}

std::int64_t countIn(const std::string& file, const char* sql) {
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

bool execIn(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool ran = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                     sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ran;
}

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

std::string adminGet(const std::string& state, const std::string& target,
                     const std::string& headers) {
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

std::string tokenOf(const std::string& state, const std::string& file) {
    std::ifstream in(state + "/" + file);
    std::string token;
    std::getline(in, token);
    return token;
}

std::string signInQuery(const std::string& state) {
    const CommandResult r = runServerCommand({"admin-url", "--state", state});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto query = r.out.find("/?");
    const auto end = r.out.find('\n');
    return query == std::string::npos || end == std::string::npos
               ? ""
               : r.out.substr(query + 1, end - query - 1);
}

std::string login(const std::string& state) {
    const std::string set =
        headerValue(adminGet(state, "/comments" + signInQuery(state)), "Set-Cookie");
    return set.substr(0, set.find(';'));
}

std::string csrfOf(const std::string& page) {
    const std::string mark = "name=\"csrf\" value=\"";
    const auto at = page.find(mark);
    return at == std::string::npos ? "" : page.substr(at + mark.size(), 64);
}

Publisher::Publisher(std::string state)
    : state_(std::move(state)), cookie_("Cookie: " + login(state_) + "\r\n"),
      csrf_(csrfOf(bodyOf(adminGet(state_, "/comments", cookie_)))) {
    EXPECT_FALSE(csrf_.empty()) << "signed in, the comments page has its forms";
}

int Publisher::answer(std::int64_t id, const std::string& text) const {
    return statusOf(httpExchange(
        adminPort(state_),
        post("/comments/answer", "csrf=" + csrf_ + "&id=" + std::to_string(id) + "&text=" + text,
             cookie_)));
}

} // namespace pelvoran::test
