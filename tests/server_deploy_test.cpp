// How the server is deployed: the package's maintainer scripts, run against a
// stand-in systemd in a mount namespace of their own, and the nginx server
// blocks of the README, through Debian's nginx in front of the real server.
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;

namespace {

const std::string kPackaging = std::string(PELVORAN_SOURCE_DIR) + "/packaging/server";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

/// Whether this user may make a mount namespace with a tmpfs of its own.
bool canUnshare() {
    return std::system("unshare -rm sh -c 'mount -t tmpfs none /run' >/dev/null 2>&1") == 0;
}

} // namespace

// postinst says in one line what became of the service: not started without
// systemd, the socket or the service that failed (port 80 taken), started.
TEST(MaintainerScripts, InstallingSaysWhatHappened) {
    if (!canUnshare())
        GTEST_SKIP() << "unshare -rm is not allowed here: the scripts need a /run of their own";
    const struct {
        bool systemd;
        const char* failing;  // the unit deb-systemd-invoke fails to start
        const char* previous; // the version upgraded from, "" on a first installation
        const char* said;     // in the line printed; "" for no line at all
    } cases[] = {
        {false, "", "", "systemd 没有运行，服务没有启动：请手动运行 sudo pelvoran-server serve"},
        {true, "pelvoran-server.socket", "", "80 端口已被另一个程序占用"},
        {true, "pelvoran-server.service", "", "服务没有启动：原因见 journalctl -u pelvoran-server"},
        {true, "", "", "服务已启动"},
        {true, "", "1.05", ""},
        {true, "pelvoran-server.socket", "1.05", "sudo systemctl edit pelvoran-server.socket"},
    };
    for (const auto& c : cases) {
        const TempDir dir;
        const std::string bin = dir.path() + "/bin";
        ::mkdir(bin.c_str(), 0755);
        // Stand-ins that note each call; deb-systemd-invoke fails for `failing`.
        for (const char* tool : {"systemctl", "deb-systemd-helper", "deb-systemd-invoke"})
            writeFile(bin + "/" + tool,
                      std::string("#!/bin/sh\necho \"") + tool + " $*\" >>" + dir.path() +
                          "/calls\ncase \"$0 $*\" in *invoke*start*" + c.failing + ") [ -n \"" +
                          c.failing + "\" ] && exit 1;; esac\nexit 0\n",
                      0755);
        const std::string run =
            std::string("unshare -rm sh -c 'mount -t tmpfs none /run && ") +
            (c.systemd ? "mkdir -p /run/systemd/system && " : "") + "PATH=" + bin + ":$PATH sh " +
            kPackaging + "/postinst configure \"" + c.previous + "\"' 2>" + dir.path() + "/said";
        EXPECT_EQ(std::system(run.c_str()), 0) << run;
        const std::string said = readAll(dir.path() + "/said");
        const std::string calls = readAll(dir.path() + "/calls");
        if (*c.said == '\0') {
            EXPECT_EQ(said, "") << c.failing;
            continue;
        }
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_TRUE(said.starts_with("pelvoran-server：")) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.failing << ": " << said;
        EXPECT_NE(calls.find("deb-systemd-helper enable pelvoran-server.socket"), std::string::npos)
            << calls;
    }
}
