#include "tests/support/driver_process.h"
#include "tests/support/child_life.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pelvoran::test {

using Clock = std::chrono::steady_clock;

FakeOpener::FakeOpener(bool isPresent, const std::string& then) : present(isPresent) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pelvoran-opener-XXXXXX").string();
    dir = mkdtemp(tmpl.data());
    log = dir + "/opened.txt";
    data = dir + "/data";
    if (!present)
        return;
    std::ofstream script(dir + "/xdg-open");
    script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" << log << "'; done\n"
           << then << "\n";
    script.close();
    chmod((dir + "/xdg-open").c_str(), 0755);
}

FakeOpener::~FakeOpener() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored); // the opener and the data folder
}

std::string FakeOpener::opened() const {
    std::ifstream in(log);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

DriverRun runDriver(const std::string& base, const std::string& scenario, const FakeOpener& opener,
                    std::chrono::seconds deadline) {
    DriverRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return run;
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                    "PATH=" + opener.dir + (opener.present ? ":/usr/bin:/bin" : ""),
                                    "XDG_DATA_HOME=" + opener.data};
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (!v.starts_with("PATH=") && !v.starts_with("QT_QPA_PLATFORM=") &&
            !v.starts_with("XDG_DATA_HOME="))
            env.push_back(v);
    }
    std::vector<char*> envp;
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = PELVORAN_APP_DRIVER, a1 = base, a2 = scenario;
    char* argv[] = {exe.data(), a1.data(), a2.data(), nullptr};

    const auto start = Clock::now();
    const pid_t test = getpid();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dieWithTest(test);
        if (dup2(pipeFds[1], 1) >= 0)
            execve(exe.c_str(), argv, envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return run;
    }

    char buf[4096];
    for (;;) {
        const auto left = deadline - (Clock::now() - start);
        if (left <= Clock::duration::zero()) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        if (poll(&p, 1, static_cast<int>(ms)) <= 0)
            continue;
        const ssize_t n = read(pipeFds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        const double at = std::chrono::duration<double>(Clock::now() - start).count();
        const std::size_t before = run.out.size();
        run.out.append(buf, static_cast<std::size_t>(n));
        // Lines completed by this read arrived now.
        std::size_t lineStart = run.out.rfind('\n', before == 0 ? 0 : before - 1);
        lineStart = (before == 0 || lineStart == std::string::npos) ? 0 : lineStart + 1;
        for (std::size_t end; (end = run.out.find('\n', lineStart)) != std::string::npos;
             lineStart = end + 1)
            run.lines.push_back({at, run.out.substr(lineStart, end - lineStart)});
    }
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peakRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    return run;
}

double DriverRun::secondsUntil(const std::string& prefix) const {
    for (const auto& line : lines)
        if (line.text.starts_with(prefix))
            return line.seconds;
    return -1;
}

long DriverRun::checkHeldMs() const {
    // "shown <ms> ms, <ms> ms after the check began"
    for (const Line& line : lines)
        if (line.text.starts_with("shown ")) {
            const auto comma = line.text.find(", ");
            return comma == std::string::npos
                       ? -1
                       : std::strtol(line.text.c_str() + comma + 2, nullptr, 10);
        }
    return -1;
}

} // namespace pelvoran::test
