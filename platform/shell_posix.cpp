#include "platform/desktop.h"

#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelvoran {

bool SystemShell::openUrl(const std::string& url) {
    // One argument, no shell: nothing in the address is ever interpreted.
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return false;
    // xdg-open's status says whether anything could open the address ("no
    // method available" is 3). Without a desktop it runs the browser in the
    // foreground, so one still running after a few seconds has opened it.
    constexpr auto kCheckEvery = std::chrono::milliseconds(20);
    for (std::chrono::milliseconds waited{0}; waited < openerWait_; waited += kCheckEvery) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (ended < 0)
            return true; // reaped elsewhere: it did start
        usleep(static_cast<useconds_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(kCheckEvery).count()));
    }
    return true;
}

void SystemShell::exitNow() {
    std::fflush(nullptr);
    _exit(0);
}

} // namespace pelvoran
