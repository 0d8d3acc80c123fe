#include "platform/desktop.h"

#include <cstdio>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace pelvoran {

bool SystemShell::openUrl(const std::string& url) {
    // One argument, no shell: nothing in the address is ever interpreted.
    // The child is not waited for; the tool ends right after starting it.
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    return posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0;
}

void SystemShell::exitNow() {
    std::fflush(nullptr);
    _exit(0);
}

} // namespace pelvoran
