// How the server is deployed: the package's maintainer scripts, run against a
// stand-in systemd in a mount namespace of their own, and the nginx server
// blocks of the README, through Debian's nginx in front of the real server.
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pelvoran::test;
using namespace std::chrono_literals;

namespace {

const std::string kPackaging = std::string(PELVORAN_SOURCE_DIR) + "/packaging/server";

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
        const std::string said = fileBytes(dir.path() + "/said");
        const std::string calls = fileBytes(dir.path() + "/calls");
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

namespace {

/// The README's nginx blocks, in order.
std::vector<std::string> readmeNginxBlocks() {
    const std::string readme = fileBytes(std::string(PELVORAN_SOURCE_DIR) + "/README.md");
    std::vector<std::string> blocks;
    for (auto at = readme.find("```nginx\n"); at != std::string::npos;
         at = readme.find("```nginx\n", at)) {
        at += 9;
        const auto end = readme.find("```", at);
        blocks.push_back(readme.substr(at, end - at));
    }
    return blocks;
}

/// `text` with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

/// Debian's nginx in the foreground on `block` (port 80 moved to `port` on
/// loopback, the server's 8080 to `upstream`), everything it writes in `dir`.
class Nginx {
public:
    Nginx(const std::string& dir, std::string block, int port, int upstream) : dir_(dir) {
        block = replaced(block, "listen 80 ", "listen 127.0.0.1:" + std::to_string(port) + " ");
        block = replaced(block, "listen [::]:80 ", "listen [::1]:" + std::to_string(port) + " ");
        block = replaced(block, "127.0.0.1:8080", "127.0.0.1:" + std::to_string(upstream));
        block = replaced(block, "/var/www/html", dir);
        writeFile(dir + "/nginx.conf",
                  std::string(::geteuid() == 0 ? "user root;\n" : "") + "daemon off;\npid " + dir +
                      "/nginx.pid;\nerror_log " + dir +
                      "/error.log;\nevents { worker_connections 64; }\nhttp {\n"
                      "access_log off;\nclient_body_temp_path " +
                      dir + "/body;\nproxy_temp_path " + dir + "/proxy;\n" + block + "}\n");
        process_.emplace(std::vector<std::string>{"nginx", "-e", dir + "/error.log", "-p", dir,
                                                  "-c", dir + "/nginx.conf"},
                         dir + "/nginx.log");
    }
    std::string log() const {
        return fileBytes(dir_ + "/nginx.log") + fileBytes(dir_ + "/error.log");
    }

private:
    std::string dir_;
    std::optional<ChildProcess> process_;
};

} // namespace

// The README's two nginx recipes, through Debian's nginx in front of the
// real server: the tools' update question (raw blanks and all) and comment,
// and the lookup page with its files, at the root or under the prefix.
TEST(NginxRecipes, ToolsAndLookupPageThroughNginx) {
    if (::access("/usr/sbin/nginx", X_OK) != 0)
        GTEST_SKIP() << "nginx is missing: install Debian's nginx-light";
    const auto blocks = readmeNginxBlocks();
    ASSERT_EQ(blocks.size(), 2u) << "README: (a) and (b)";
    const struct {
        const char* prefix;
        std::vector<std::pair<std::string, int>> asked; // request, status through nginx
    } recipes[] = {
        {"/",
         {{updateQuestion(), 200},
          {post("/Canon/comment.asp", "CommentText=a"), 200},
          {"GET /?code=UE0945 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {"GET /style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200}}},
        {"/pelvoran/",
         {{updateQuestion(), 200},
          {post("/Canon/comment.asp", "CommentText=b"), 200},
          {"GET /pelvoran/?code=UE0945 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {"GET /pelvoran/help.png HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {post("/pelvoran/comment", "text=c&website="), 303},
          {"GET /pelvoran/thanks HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {"GET /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200}}},
    };
    for (std::size_t i = 0; i < 2; ++i) {
        const TempDir dir;
        writeFile(dir.path() + "/index.html", "the host's own page\n");
        ServerProcess server(dir.path() + "/state", {"--trusted-proxy", "127.0.0.1",
                                                     "--public-prefix", recipes[i].prefix});
        const int port = freePort();
        Nginx nginx(dir.path(), blocks[i], port, server.port());
        for (const auto& [request, status] : recipes[i].asked) {
            const std::string reply = askUntilAnswered(port, request, 5s);
            EXPECT_EQ(statusOf(reply), status) << recipes[i].prefix << "\n"
                                               << request << "\n"
                                               << reply << nginx.log();
            if (request.find("/comment HTTP") != std::string::npos) { // the thanks, prefixed
                EXPECT_NE(reply.find("\r\nLocation: /pelvoran/thanks\r\n"), std::string::npos)
                    << reply;
            }
            if (request.find("code=UE0945") != std::string::npos) {
                // The page's links lead back through the same prefix.
                EXPECT_NE(reply.find(std::string("href=\"") + recipes[i].prefix + "style.css\""),
                          std::string::npos);
                EXPECT_NE(reply.find(std::string("action=\"") + recipes[i].prefix + "comment\""),
                          std::string::npos);
            }
        }
    }
}
