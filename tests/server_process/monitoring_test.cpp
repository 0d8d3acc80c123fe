// What monitoring reads of the server: /healthz, /metrics through a
// Prometheus parser, and the admin sessions across restarts.
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;

namespace {

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
    EXPECT_EQ(withoutAge(bodyOf(healthSays(server.port(), 200, "ok\n", true))), "ok\n");
}

// /metrics, read by Prometheus' own parser, counts what happened and gives
// each platform's rollout (a halted one, never offered, at 0); without
// the metrics token (serve makes it, the owner's alone) it answers 401, and
// neither the token nor a sign-in code opens what the other does.
TEST(ServerMonitoring, MetricsAreReadByAPrometheusParser) {
    const TempDir state;
    const std::string dir = state.path();
    ServerProcess server(dir);
    for (const auto& [platform, rollout] : {std::pair{"windows", "100"}, {"linux", "0"}})
        ASSERT_EQ(runServerCommand({"release", "set", "--state", dir, "--version", "1.06",
                                    "--address", "http://x.cn/a.exe", "--date", "d", "--notes", "n",
                                    "--platform", platform, "--rollout", rollout})
                      .status,
                  0);
    double checks = 1; // until the release is served: the last one is offered it
    for (; checks < 50 && bodyOf(httpExchange(server.port(), updateQuestion())).empty(); ++checks)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "CommentText=hi"))), 200);
    ASSERT_EQ(statusOf(httpExchange(server.port(), post(kComment, "Other=hi"))), 400);
    // The day's backup, which serve makes as it starts, once in place.
    dailyBackupMade(dir, 5);

    EXPECT_EQ(statusOf(adminGet(dir, "/metrics")), 401);
    EXPECT_EQ(statusOf(adminGet(dir, "/metrics", "Cookie: " + login(dir) + "\r\n")), 401);
    const std::string code = signInQuery(dir).substr(std::string_view("?signin=").size());
    EXPECT_EQ(statusOf(adminGet(dir, "/metrics", "Authorization: Bearer " + code + "\r\n")), 401);
    const std::string monitor = tokenOf(dir, "metrics-token");
    EXPECT_EQ(modeOf(dir + "/metrics-token"), 0600);
    EXPECT_EQ(statusOf(adminGet(dir, "/comments?signin=" + monitor)), 401);
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
        {"pelvoran_update_checks_total{platform=\"unknown\",version=\"1.05 或更早\"}", checks},
        {"pelvoran_offers_total{platform=\"windows\",version=\"1.06\"}", 1},
        {"pelvoran_offers_total{platform=\"linux\",version=\"1.06\"}", 0},
        {"pelvoran_release_rollout_ratio{platform=\"windows\",version=\"1.06\"}", 1},
        {"pelvoran_release_rollout_ratio{platform=\"linux\",version=\"1.06\"}", 0},
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
