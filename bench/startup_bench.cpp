// Start-up against a bare Qt window: alternates the two programs and prints,
// for each, the median time from launch to the first paint of the window and
// the median peak RSS, with the ratios Pelvoran / bare. Then Pelvoran with the
// server refusing connections and with a silent server.
//   startup_bench <bare_window> <pelvoran_first_show> [runs]
// The platform is whatever QT_QPA_PLATFORM (or DISPLAY) says.
#include "tests/support/loopback_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace pelvoran::test;

namespace {

struct Sample {
    double ms = -1; // launch to first paint
    double rssMiB = 0;
};

long long nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

Sample launch(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const long long start = nowNs();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Sample s;
    const auto at = out.find("first-show ");
    if (at != std::string::npos)
        s.ms = static_cast<double>(std::stoll(out.substr(at + 11)) - start) / 1e6;
    s.rssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Series {
    std::vector<double> ms, rss;
    void add(const Sample& s) {
        ms.push_back(s.ms);
        rss.push_back(s.rssMiB);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: startup_bench <bare_window> <pelvoran_first_show> [runs]\n");
        return 2;
    }
    const std::string bare = argv[1], tool = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 15;

    LoopbackServer current({ServerBehaviour::Mode::Reply, LoopbackServer::reply(200, "1.05")});
    LoopbackServer silent({ServerBehaviour::Mode::Silent, ""});
    const std::string refused = "http://127.0.0.1:" + std::to_string(LoopbackServer::refusedPort());

    for (int i = 0; i < 2; ++i) { // warm-up: page cache, font cache
        launch({bare});
        launch({tool, current.base()});
    }
    Series bareSeries, toolSeries, refusedSeries, silentSeries;
    for (int i = 0; i < runs; ++i) {
        bareSeries.add(launch({bare}));
        toolSeries.add(launch({tool, current.base()}));
        refusedSeries.add(launch({tool, refused}));
    }
    for (int i = 0; i < 3; ++i)
        silentSeries.add(launch({tool, silent.base()}));

    const double bareMs = median(bareSeries.ms), bareRss = median(bareSeries.rss);
    auto row = [&](const char* name, const Series& s) {
        const double ms = median(s.ms), rss = median(s.rss);
        std::printf("| %-28s | %8.1f ms | %5.2f | %7.1f MiB | %5.2f |\n", name, ms, ms / bareMs,
                    rss, rss / bareRss);
    };
    std::printf("runs: %d alternated (after 2 warm-up runs each); silent server: 3 runs\n", runs);
    std::printf("| %-28s | %11s | %5s | %11s | %5s |\n", "program", "first show", "ratio",
                "peak RSS", "ratio");
    std::printf("|------------------------------|-------------|-------|-------------|-------|\n");
    row("bare Qt window", bareSeries);
    row("Pelvoran, server says 1.05", toolSeries);
    row("Pelvoran, server refuses", refusedSeries);
    row("Pelvoran, server silent", silentSeries);
    return 0;
}
