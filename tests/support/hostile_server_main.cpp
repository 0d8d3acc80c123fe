// Plays one misbehaving publisher's server on 127.0.0.1 until interrupted.
//   hostile-server            lists the cases
//   hostile-server <case>     prints the base address and serves
#include "tests/support/hostile_cases.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

using namespace pelvoran::test;

int main(int argc, char** argv) {
    const auto cases = hostileCases();
    if (argc != 2) {
        for (const auto& c : cases)
            std::printf("%s\n", c.name.c_str());
        return argc == 1 ? 0 : 2;
    }
    for (const auto& c : cases) {
        if (c.name != argv[1])
            continue;
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        if (c.refuse) {
            std::printf("http://127.0.0.1:%d\n", LoopbackServer::refusedPort());
            std::fflush(stdout);
            int sig = 0;
            sigwait(&set, &sig);
            return 0;
        }
        LoopbackServer server(c.behaviour);
        std::printf("%s\n", server.base().c_str());
        std::fflush(stdout);
        int sig = 0;
        sigwait(&set, &sig);
        return 0;
    }
    std::fprintf(stderr, "hostile-server: no case '%s'\n", argv[1]);
    return 2;
}
