// A PostgreSQL primary with a synchronous standby on loopback, for as long as
// a benchmark needs it (postgres_bench.sh): the tests' cluster, kept running.
//
//   pg_cluster [DATABASES]
//
// Starts the primary and its synchronous standby (their programs as the user
// nobody when run as root), makes DATABASES (default 1, at most 100) empty
// databases, prints a libpq URI for each on a line of its own and then
// "ready", and keeps the cluster running until its standard input ends or it
// gets SIGTERM, SIGINT or SIGHUP; then stops both and removes their folder.

#include "tests/support/postgres_cluster.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

/// Waits until standard input ends or one of the signals in `stopping`
/// arrives (they are blocked, and read from a signalfd).
void awaitStop(const sigset_t& stopping) {
    const int signals = ::signalfd(-1, &stopping, SFD_CLOEXEC);
    if (signals < 0) {
        std::fprintf(stderr, "pg_cluster: signalfd: %s\n", std::strerror(errno));
        return;
    }
    for (;;) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "pg_cluster: poll: %s\n", std::strerror(errno));
            break;
        }
        if (watched[1].revents != 0)
            break;
        if (watched[0].revents != 0) {
            // Whatever is written is read and dropped; the end, or an error, stops.
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                break;
        }
    }
    ::close(signals);
}

} // namespace

int main(int argc, char** argv) {
    long databases = 1;
    if (argc > 2 ||
        (argc == 2 && ((databases = std::strtol(argv[1], nullptr, 10)) < 1 || databases > 100))) {
        std::fprintf(stderr, "usage: pg_cluster [DATABASES]   (1 to 100, default 1)\n");
        return 2;
    }
    // Blocked from the start: a stop asked while the cluster starts is taken
    // once it has, so that its postmasters are never left behind.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    // A reader of our output that went away must not end us before the cluster stops.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        pelvoran::test::PostgresCluster cluster(true);
        for (long n = 0; n < databases; ++n)
            std::printf("%s\n", cluster.createDatabase().c_str());
        std::printf("ready\n");
        std::fflush(stdout);
        awaitStop(stopping);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pg_cluster: %s\n", e.what());
        return 1;
    }
    return 0;
}
