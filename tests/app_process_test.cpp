// Starts the real program (the driver around its start-up path) as its own
// process and watches how it starts and ends.
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace pelvoran::test;
using Clock = std::chrono::steady_clock;

namespace {

struct DriverRun {
    int exitStatus = -1; // -1: killed at the deadline
    std::string out;
    double seconds = 0;
};

/// A directory whose xdg-open only records its arguments, one per line.
struct FakeOpener {
    FakeOpener() {
        char tmpl[] = "/tmp/pelvoran-opener-XXXXXX";
        dir = mkdtemp(tmpl);
        log = dir + "/opened.txt";
        std::ofstream script(dir + "/xdg-open");
        script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" << log << "'; done\n";
        script.close();
        chmod((dir + "/xdg-open").c_str(), 0755);
    }
    ~FakeOpener() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string opened() const {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir;
    std::string log;
};

DriverRun runDriver(const std::string& base, const std::string& scenario, const FakeOpener& opener,
                    std::chrono::seconds deadline = std::chrono::seconds(20)) {
    int pipeFds[2];
    EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);

    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                    "PATH=" + opener.dir + ":/usr/bin:/bin"};
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (!v.starts_with("PATH=") && !v.starts_with("QT_QPA_PLATFORM="))
            env.push_back(v);
    }
    std::vector<char*> envp;
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = PELVORAN_APP_DRIVER, a1 = base, a2 = scenario;
    char* argv[] = {exe.data(), a1.data(), a2.data(), nullptr};

    const auto start = Clock::now();
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);

    DriverRun run;
    char buf[4096];
    for (;;) {
        const auto left = deadline - (Clock::now() - start);
        if (left <= std::chrono::seconds(0)) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1,
                 static_cast<int>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(left).count())) <= 0)
            continue;
        const ssize_t n = read(pipeFds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        run.out.append(buf, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    return run;
}

std::string reply(const std::string& body) {
    return LoopbackServer::reply(200, body);
}

} // namespace

TEST(AppProcess, EndsWhenTheLastWindowIsClosed) {
    // The main window closes first; the help or comment window keeps the
    // process running until it is closed too.
    LoopbackServer server({ServerBehaviour::Mode::Reply, reply("1.05")});
    FakeOpener opener;
    for (const char* scenario : {"help-last", "comment-last"}) {
        const DriverRun r = runDriver(server.base(), scenario, opener);
        EXPECT_EQ(r.exitStatus, 0) << scenario << ": " << r.out;
        EXPECT_NE(r.out.find("main closed\nstill running, other window open\nended 0\n"),
                  std::string::npos)
            << scenario << ": " << r.out;
    }
}

TEST(AppProcess, AcceptedUpdateStartsTheOpenerOnceAndEndsAtOnce) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply, reply("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes")});
    FakeOpener opener;
    const DriverRun r = runDriver(server.base(), "accept-update", opener);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "box 有更新版本\n"); // never shown, no normal end
    // The opener runs detached; give it a moment to write.
    for (int i = 0; i < 50 && opener.opened().empty(); ++i)
        usleep(100 * 1000);
    EXPECT_EQ(opener.opened(), "http://127.0.0.1/x\n");
}

TEST(AppProcess, MaliciousDownloadAddressStartsNothing) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply, reply("1.06[;]file:///etc/passwd[;]2012-12-30[;]Fixes")});
    FakeOpener opener;
    const DriverRun r = runDriver(server.base(), "accept-update", opener);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "box 有更新版本\n");
    usleep(500 * 1000);
    EXPECT_EQ(opener.opened(), "");
}

TEST(AppProcess, CancelledUpdateOpensTheMainWindow) {
    LoopbackServer server(
        {ServerBehaviour::Mode::Reply, reply("1.06[;]http://127.0.0.1/x[;]2012-12-30[;]Fixes")});
    FakeOpener opener;
    const DriverRun r = runDriver(server.base(), "cancel-update", opener);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(r.out.starts_with("box 有更新版本\nshown ")) << r.out;
    EXPECT_EQ(opener.opened(), "");
}

TEST(AppProcess, StartsWithoutAMessageWhateverTheServerDoes) {
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    LoopbackServer broken({ServerBehaviour::Mode::Reply, "HTTP/1.1 garbage\r\n\r\n"});
    const std::string refused = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());
    FakeOpener opener;
    for (const std::string& base : {refused, silent.base(), broken.base()}) {
        const DriverRun r = runDriver(base, "start", opener);
        EXPECT_EQ(r.exitStatus, 0) << base;
        EXPECT_TRUE(r.out.starts_with("shown ")) << base << ": " << r.out; // no box first
        EXPECT_LT(r.seconds, 8.0) << base;
    }
}
