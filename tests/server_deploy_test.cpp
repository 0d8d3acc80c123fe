// How the server is deployed: the package's maintainer scripts, run against a
// stand-in systemd in a mount namespace of their own; the built package
// upgrading an installed one, by dpkg and apt in such a namespace; and the
// nginx server blocks of the publisher's guide, through Debian's nginx in
// front of the real server.
#include "server/cli/cli_texts.h"
#include "server/engine/sqlite_support.h"
#include "tests/support/raw_database.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pelvoran::test;
using namespace std::chrono_literals;
namespace cli_text = pelvoran::server::cli_text;

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

/// The uid and gid the stand-in adduser gives the system user.
constexpr int kSystemUser = 64990;

/// Stand-ins in `dir`/bin for the tools the maintainer scripts call, each
/// noting its call in `dir`/calls; deb-systemd-invoke fails to start
/// `failing`, and adduser adds its user to /etc/passwd and /etc/group (the
/// namespace's copies).
void standIns(const std::string& dir, const std::string& failing = "") {
    const std::string bin = dir + "/bin";
    ::mkdir(bin.c_str(), 0755);
    for (const char* tool : {"systemctl", "deb-systemd-helper", "deb-systemd-invoke"})
        writeFile(bin + "/" + tool,
                  std::string("#!/bin/sh\necho \"") + tool + " $*\" >>" + dir +
                      "/calls\ncase \"$0 $*\" in *invoke*start*" + failing + ") [ -n \"" + failing +
                      "\" ] && exit 1;; esac\nexit 0\n",
                  0755);
    const std::string id = std::to_string(kSystemUser);
    writeFile(bin + "/adduser",
              "#!/bin/sh\necho \"adduser $*\" >>" + dir + "/calls\nfor name; do :; done\n" +
                  "echo \"$name:x:" + id + ":" + id +
                  "::/var/lib/pelvoran-server:/usr/sbin/nologin\" >>/etc/passwd\n" +
                  "echo \"$name:x:" + id + ":\" >>/etc/group\n",
              0755);
}

/// Runs the shell commands `script` in `dir` with the stand-ins first in
/// PATH, in a mount namespace of its own where /run and /var/lib are empty
/// and /etc/passwd and /etc/group are copies; with `systemd`, as systemd
/// would leave /run; with `ownProcesses`, in a process namespace whose /proc
/// shows only its own processes, all ended with it. The exit status.
int inNamespace(const std::string& dir, const std::string& script, bool systemd,
                bool ownProcesses = false) {
    std::filesystem::copy_file("/etc/passwd", dir + "/passwd");
    std::filesystem::copy_file("/etc/group", dir + "/group");
    // Root maps only itself in a user namespace: another owner needs root.
    const std::string unshare = std::string("unshare ") + (::geteuid() == 0 ? "-m" : "-rm") +
                                (ownProcesses ? "pf --mount-proc" : "");
    writeFile(dir + "/script", "set -e\ncd " + dir + "\nmount -t tmpfs none /run\n" +
                                   (systemd ? "mkdir -p /run/systemd/system\n" : "") +
                                   "mount -t tmpfs none /var/lib\nmount --bind " + dir +
                                   "/passwd /etc/passwd\nmount --bind " + dir +
                                   "/group /etc/group\nPATH=" + dir + "/bin:$PATH\n" + script);
    const std::string run = "timeout 60 " + unshare + " sh " + dir + "/script";
    return std::system(run.c_str());
}

/// Starts the real server in the background in a namespace's script, its
/// standard output through a pipe read on descriptor 3 and its errors in
/// `name`.err, and waits for its first line: $! is its process.
std::string startServer(const std::string& args, const std::string& name = "serve") {
    return "mkfifo " + name + ".out\n" + PELVORAN_SERVER_EXE + " serve " + args +
           " --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 >" + name + ".out 2>" + name +
           ".err &\nexec 3<" + name + ".out\nread -r line <&3\n";
}

} // namespace

// postinst under systemd says in one line what became of the service: the
// socket or the service that failed (port 80 taken), started.
TEST(MaintainerScripts, InstallingSaysWhatHappened) {
    if (!canUnshare())
        GTEST_SKIP() << "unshare -rm is not allowed here: the scripts need a /run of their own";
    const struct {
        const char* failing;  // the unit deb-systemd-invoke fails to start
        const char* previous; // the version upgraded from, "" on a first installation
        const char* said;     // in the line printed; "" for no line at all
    } cases[] = {
        {"pelvoran-server.socket", "", "80 端口已被另一个程序占用"},
        {"pelvoran-server.service", "", "服务没有启动：原因见 journalctl -u pelvoran-server"},
        {"", "", "服务已启动"},
        {"", "1.05", ""},
        {"pelvoran-server.socket", "1.05", "sudo systemctl edit pelvoran-server.socket"},
    };
    for (const auto& c : cases) {
        const TempDir dir;
        standIns(dir.path(), c.failing);
        EXPECT_EQ(
            inNamespace(dir.path(),
                        "sh " + kPackaging + "/postinst configure \"" + c.previous + "\" 2>said\n",
                        true),
            0);
        const std::string said = fileBytes(dir.path() + "/said");
        const std::string calls = fileBytes(dir.path() + "/calls");
        EXPECT_EQ(calls.find("adduser"), std::string::npos) << "DynamicUser= is the service's";
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

// Without systemd, postinst makes the system user pelvoran-server (no login
// shell, the state directory its home) and that directory (0700) once, and
// its hint works: serve started by root runs as that user and says where
// the admin pages are; a state directory it makes is that user's too,
// except where that user cannot reach it (under root's home, a private
// temporary folder): there it stays root's, and serve says why. A state
// directory of root's from before is named.
TEST(MaintainerScripts, WithoutSystemdTheServerIsNotRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the state directory belongs to another user";
    if (!canUnshare())
        GTEST_SKIP() << "unshare is not allowed here: the scripts need a /var/lib of their own";
    const struct {
        const char* name;
        const char* state; // serve's --state
        bool given;        // to the system user; else root's, serve staying root
        std::string said;  // in serve's errors, or ""
    } serves[] = {
        {"packaged", "/var/lib/pelvoran-server", true, ""},
        {"made", "/var/lib/made", true,
         cli_text::stateCreatedEmpty("/var/lib/made", cli_text::ownedByUser("pelvoran-server"))},
        {"closed", "/var/lib/closed/made", false,
         cli_text::stateCreatedEmpty(
             "/var/lib/closed/made",
             cli_text::kOwnedByRoot +
                 cli_text::notGivenToServiceUser("pelvoran-server", "/var/lib/closed"))},
    };
    // Each serve started by root: the last line it printed (the admin
    // pages), its uid, its state directory, its exit status after SIGTERM.
    std::string serving = "mkdir -m 700 /var/lib/closed\n";
    for (const auto& c : serves) {
        const std::string name = c.name;
        const bool packaged = std::string(c.state) == "/var/lib/pelvoran-server"; // the default
        serving += startServer(packaged ? "" : std::string("--state ") + c.state, name) +
                   "read -r line <&3\nread -r admin <&3\necho \"$admin\" >" + name +
                   ".admin\ngrep ^Uid: /proc/$!/status >" + name + ".uid\nstat -c '%U:%G %a' " +
                   c.state + " >" + name + ".made\nkill $!\nwait $! && echo 0 >" + name +
                   ".status || echo $? >" + name + ".status\n";
    }
    const TempDir dir;
    standIns(dir.path());
    ASSERT_EQ(inNamespace(dir.path(),
                          "sh " + kPackaging + "/postinst configure '' 2>said\n" + "sh " +
                              kPackaging + "/postinst configure 1.05 2>said-again\n" + serving,
                          false),
              0)
        << fileBytes(dir.path() + "/packaged.err") << fileBytes(dir.path() + "/made.err")
        << fileBytes(dir.path() + "/closed.err");
    const std::string calls = fileBytes(dir.path() + "/calls");
    const std::string adduser = "adduser --system --group --quiet --home /var/lib/pelvoran-server "
                                "--no-create-home --shell /usr/sbin/nologin pelvoran-server\n";
    const auto made = calls.find(adduser);
    EXPECT_NE(made, std::string::npos) << calls;
    EXPECT_EQ(calls.find("adduser", made + 1), std::string::npos) << "made twice: " << calls;
    for (const char* said : {"/said", "/said-again"}) {
        const std::string line = fileBytes(dir.path() + said);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_NE(line.find("systemd 没有运行，服务没有启动：请手动运行 sudo pelvoran-server serve "
                            "--listen [::]:80"),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find("以系统用户 pelvoran-server 的身份运行"), std::string::npos) << line;
    }
    for (const auto& c : serves) {
        const std::string name = dir.path() + "/" + c.name;
        const std::string err = fileBytes(name + ".err");
        const std::string id = c.given ? std::to_string(kSystemUser) : "0";
        EXPECT_EQ(fileBytes(name + ".made"),
                  c.given ? "pelvoran-server:pelvoran-server 700\n" : "root:root 700\n")
            << c.name;
        EXPECT_TRUE(fileBytes(name + ".uid").starts_with("Uid:\t" + id + "\t" + id))
            << c.name << ": " << fileBytes(name + ".uid");
        EXPECT_TRUE(fileBytes(name + ".admin").starts_with("管理页面：http://127.0.0.1:"))
            << c.name << ": " << fileBytes(name + ".admin");
        EXPECT_EQ(err.find("root") == std::string::npos, c.given) << c.name << ": " << err;
        EXPECT_EQ(err.find("新建了状态目录") != std::string::npos, !c.said.empty()) << err;
        EXPECT_NE(err.find(c.said), std::string::npos) << c.name << ": " << err;
        EXPECT_EQ(fileBytes(name + ".status"), "0\n") << c.name << ": " << err;
    }

    const TempDir before;
    standIns(before.path());
    ASSERT_EQ(inNamespace(before.path(),
                          "mkdir -m 700 /var/lib/pelvoran-server\nsh " + kPackaging +
                              "/postinst configure 1.05 2>said\n",
                          false),
              0);
    const std::string said = fileBytes(before.path() + "/said");
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("/var/lib/pelvoran-server 属于 root，服务器会以 root 的身份运行"),
              std::string::npos)
        << said;
}

// Removing or purging says when a pelvoran-server started by hand still
// runs, naming it; purging says where the comments stay and how to remove
// them: the directory made without systemd, or systemd's private one behind
// its link; an empty one goes.
TEST(MaintainerScripts, RemovingSaysWhatStays) {
    if (!canUnshare())
        GTEST_SKIP() << "unshare -rm is not allowed here: the scripts need a /var/lib of their own";
    const std::string running = "仍有 pelvoran-server 进程在运行";
    const struct {
        const char* before;
        bool serving; // a server started by hand
        // One line each, its parts in order between '|'.
        std::vector<std::string> removed, purged;
        const char* left; // of the state directories, after the purge
    } cases[] = {
        {"", false, {}, {}, ""},
        {"mkdir -m 700 /var/lib/pelvoran-server\n",
         true,
         {running + "|pelvoran-server serve --state"},
         {running},
         ""},
        {"mkdir -m 700 /var/lib/pelvoran-server\ntouch /var/lib/pelvoran-server/comments.sqlite\n",
         false,
         {},
         {"留言：它们仍在 /var/lib/pelvoran-server 中（数据库 comments.sqlite 和每日备份）。"
          "不再需要时，用 sudo rm -r /var/lib/pelvoran-server 删除"},
         "/var/lib/pelvoran-server\n"},
        {"mkdir -p /var/lib/private/pelvoran-server\n"
         "touch /var/lib/private/pelvoran-server/comments.sqlite\n"
         "ln -s private/pelvoran-server /var/lib/pelvoran-server\n",
         false,
         {},
         {"留言：它们仍在 /var/lib/private/pelvoran-server 中（数据库 comments.sqlite "
          "和每日备份）。"
          "不再需要时，用 sudo rm -r /var/lib/pelvoran-server /var/lib/private/pelvoran-server "
          "删除"},
         "/var/lib/pelvoran-server\n/var/lib/private/pelvoran-server\n"},
        {"mkdir -p /var/lib/private/pelvoran-server\n"
         "ln -s private/pelvoran-server /var/lib/pelvoran-server\n",
         false,
         {},
         {},
         ""},
    };
    for (const auto& c : cases) {
        const TempDir dir;
        standIns(dir.path());
        EXPECT_EQ(
            inNamespace(
                dir.path(),
                c.before +
                    (c.serving ? startServer("--state " + dir.path() + "/state") : std::string()) +
                    "sh " + kPackaging + "/postrm remove 2>removed\nsh " + kPackaging +
                    "/postrm purge 2>purged\nls -d /var/lib/pelvoran-server "
                    "/var/lib/private/pelvoran-server >left 2>/dev/null || true\n",
                false, true),
            0)
            << fileBytes(dir.path() + "/serve.err");
        for (const auto& [file, expected] :
             {std::pair{"/removed", c.removed}, std::pair{"/purged", c.purged}}) {
            const std::string said = fileBytes(dir.path() + file);
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'),
                      static_cast<std::ptrdiff_t>(expected.size()))
                << said;
            for (const std::string& line : expected) {
                std::size_t at = 0;
                for (std::size_t from = 0; from <= line.size();) {
                    const std::size_t bar = std::min(line.find('|', from), line.size());
                    at = said.find(line.substr(from, bar - from), at);
                    EXPECT_NE(at, std::string::npos) << file << ": " << said;
                    if (at == std::string::npos)
                        break;
                    from = bar + 1;
                }
            }
        }
        EXPECT_EQ(fileBytes(dir.path() + "/left"), c.left) << c.before;
    }
}

// The built package (PELVORAN_SERVER_PACKAGE names it: the test command sets
// it once the packages are made) installed by apt over the same package as
// every build was versioned before, 1.05, whose state directory holds a
// database one migration behind: the version grows, and after the upgrade the
// packaged server keeps the comment and the release, and has migrated the
// database once. dpkg and apt work on overlays of /usr, /etc and /var, in a
// mount namespace without systemd's /run.
TEST(PackageUpgrade, NewerBuildUpgradesAndKeepsTheComments) {
    const char* package = std::getenv("PELVORAN_SERVER_PACKAGE");
    if (package == nullptr || *package == '\0')
        GTEST_SKIP() << "PELVORAN_SERVER_PACKAGE names no package: scripts/test.sh sets it";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: dpkg installs the package";
    ASSERT_EQ(::access(package, R_OK), 0) << package;
    const TempDir dir;
    const std::string& d = dir.path();
    const int latest = pelvoran::server::knownSchemaVersion();
    ASSERT_GE(latest, 2);
    {
        // The first schema, then a comment and a release, carried through
        // every migration but the newest, as they would have been.
        RawDatabase old(d + "/old.sqlite");
        const auto migrations = pelvoran::server::schemaMigrations();
        const auto sqlite = [&](int v) {
            return migrations[static_cast<std::size_t>(v)].sql(pelvoran::server::Engine::sqlite);
        };
        ASSERT_EQ(old.exec(sqlite(0)), SQLITE_OK);
        ASSERT_EQ(old.exec("INSERT INTO comments VALUES (7, 1796000000, '升级前的留言', x'41', "
                           "'desktop');"
                           "INSERT INTO release VALUES (1, '1.06', 'https://example.com/a.exe', "
                           "'2026-12-08', '修正');"),
                  SQLITE_OK)
            << old.error();
        for (int v = 1; v < latest - 1; ++v)
            ASSERT_EQ(old.exec(sqlite(v)), SQLITE_OK) << v;
        ASSERT_EQ(old.exec("PRAGMA user_version=" + std::to_string(latest - 1)), SQLITE_OK);
    }
    // $1: this folder; $2: the package.
    writeFile(d + "/script", R"sh(set -e
cd "$1"
mount -t tmpfs none /run
# /lib too where it is no link into /usr.
for top in usr etc var $([ -L /lib ] || echo lib); do
    mkdir $top.upper $top.work
    mount -t overlay overlay -o lowerdir=/$top,upperdir="$1/$top.upper,workdir=$1/$top.work" /$top
done
# No index of the manual pages: man-db's trigger took seconds for nothing.
rm -f /var/lib/man-db/auto-update
new=$(dpkg-deb -f "$2" Version)
dpkg-deb -R "$2" old
sed -i "s/^Version: .*/Version: ${new%%+*}/" old/DEBIAN/control
dpkg-deb -b old old.deb >/dev/null
dpkg -i old.deb >old.log 2>&1
dpkg-query -W -f '${Version}\n' pelvoran-server >versions
install -o pelvoran-server -g pelvoran-server -m 600 old.sqlite /var/lib/pelvoran-server/comments.sqlite
LC_ALL=C apt-get install -y "$2" >apt.log 2>&1
dpkg-query -W -f '${Version}\n' pelvoran-server >>versions
echo "$new" >>versions
/usr/bin/pelvoran-server comments list >comments 2>&1
/usr/bin/pelvoran-server release show --platform windows >release 2>&1
)sh");
    const std::string run =
        "timeout 300 unshare -mpf --mount-proc sh " + d + "/script " + d + " " + package;
    ASSERT_EQ(std::system(run.c_str()), 0)
        << fileBytes(d + "/old.log") << fileBytes(d + "/apt.log") << fileBytes(d + "/comments")
        << fileBytes(d + "/release");
    // Installed before, after, and the package's own.
    std::vector<std::string> versions;
    std::istringstream lines(fileBytes(d + "/versions"));
    for (std::string line; std::getline(lines, line);)
        versions.push_back(line);
    ASSERT_EQ(versions.size(), 3u);
    EXPECT_NE(versions[0], versions[1]) << "apt upgraded nothing:\n" << fileBytes(d + "/apt.log");
    EXPECT_EQ(versions[1], versions[2]);
    EXPECT_NE(fileBytes(d + "/comments").find("升级前的留言"), std::string::npos)
        << fileBytes(d + "/comments");
    EXPECT_NE(fileBytes(d + "/release").find("https://example.com/a.exe"), std::string::npos)
        << fileBytes(d + "/release");
    // Migrated once: the newest schema, as a new database has it.
    RawDatabase upgraded(d + "/var.upper/lib/pelvoran-server/comments.sqlite");
    EXPECT_EQ(upgraded.scalar("PRAGMA user_version"), latest);
    RawDatabase fresh(d + "/fresh.sqlite");
    for (const auto& migration : pelvoran::server::schemaMigrations())
        ASSERT_EQ(fresh.exec(migration.sql(pelvoran::server::Engine::sqlite)), SQLITE_OK);
    const char* schema =
        "SELECT type || ' ' || name || ': ' || sql FROM sqlite_master ORDER BY name";
    EXPECT_EQ(upgraded.texts(schema), fresh.texts(schema));
}

namespace {

/// The publisher's guide's nginx blocks, in order.
std::vector<std::string> guideNginxBlocks() {
    const std::string guide =
        fileBytes(std::string(PELVORAN_SOURCE_DIR) + "/docs/publisher-guide.md");
    std::vector<std::string> blocks;
    for (auto at = guide.find("```nginx\n"); at != std::string::npos;
         at = guide.find("```nginx\n", at)) {
        at += 9;
        const auto end = guide.find("```", at);
        blocks.push_back(guide.substr(at, end - at));
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
/// loopback, 443 to `tlsPort`, the server's 8080 to `upstream`, the
/// certificate's folder to `dir`), everything it writes in `dir`.
class Nginx {
public:
    Nginx(const std::string& dir, std::string block, int port, int upstream, int tlsPort = 0)
        : dir_(dir) {
        for (const auto& [from, to] : {std::pair{80, port}, std::pair{443, tlsPort}}) {
            const std::string listen = "listen " + std::to_string(from) + " ";
            const std::string listen6 = "listen [::]:" + std::to_string(from) + " ";
            block = replaced(block, listen, "listen 127.0.0.1:" + std::to_string(to) + " ");
            block = replaced(block, listen6, "listen [::1]:" + std::to_string(to) + " ");
        }
        block = replaced(block, "127.0.0.1:8080", "127.0.0.1:" + std::to_string(upstream));
        block = replaced(block, "/var/www/html", dir);
        block = replaced(block, "/etc/letsencrypt/live/pelvoran.example.com", dir);
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

/// What `program args...` wrote (standard output and error, in `dir`) and
/// its exit status; ended after 60 s.
std::pair<int, std::string> ran(const std::string& dir, const std::vector<std::string>& argv) {
    std::filesystem::remove(dir + "/ran.log");
    ChildProcess child(argv, dir + "/ran.log");
    const int status = child.stop(0, 60s);
    return {status, fileBytes(dir + "/ran.log")};
}

} // namespace

// The publisher's guide's nginx recipes, through Debian's nginx in front of the
// real server: the tools' update question (raw blanks and all) and comment,
// and the lookup page with its files, at the root or under the prefix; and
// beside each, the TLS block (c) with a throwaway certificate, serving the
// file of a signed release at its https:// address, as curl reads it.
TEST(NginxRecipes, ToolsAndLookupPageThroughNginx) {
    if (::access("/usr/sbin/nginx", X_OK) != 0)
        GTEST_SKIP() << "nginx is missing: install Debian's nginx-light";
    const auto blocks = guideNginxBlocks();
    ASSERT_EQ(blocks.size(), 3u) << "docs/publisher-guide.md: (a), (b) and (c)";
    std::string file(100 * 1000, '\0');
    std::generate(file.begin(), file.end(), std::mt19937(7));
    // Over the server's 1 MiB: the proxy's own limit must refuse it as the
    // server would (413), not pass it on to be cut off (502).
    const std::string tooLong =
        post("/Canon/comment.asp", "CommentText=" + std::string(1536 * 1024, 'a'));
    const std::string served = "download/windows/1.06/Pelvoran.exe";
    const auto get = [](const std::string& path) {
        return "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    };
    const struct {
        const char* prefix;
        std::vector<std::pair<std::string, int>> asked; // request, status through nginx
    } recipes[] = {
        {"/",
         {{get("/" + served), 200},
          {updateQuestion(), 200},
          {post("/Canon/comment.asp", "CommentText=a"), 200},
          {post("/answers", "AQEBAQEBAQEBAQEBAQEBAQ"), 200},
          {tooLong, 413},
          {"GET /?code=UE0945 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {post("/reply", "code=0000-0000-0000-0000"), 200},
          {"GET /style.css HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200}}},
        {"/pelvoran/",
         {{get("/pelvoran/" + served), 200},
          {updateQuestion(), 200},
          {post("/Canon/comment.asp", "CommentText=b"), 200},
          {post("/answers", "AQEBAQEBAQEBAQEBAQEBAQ"), 200},
          {post("/answers/seen",
                "AQEBAQEBAQEBAQEBAQEBAQ\tN0cI__dxndWXnsh11WzSKG9tPPfsMXo7JWMqqyjsN7s"),
           204},
          {tooLong, 413},
          {"GET /pelvoran/?code=UE0945 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {"GET /pelvoran/help.png HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {post("/pelvoran/comment", "text=c&website="), 200},
          {post("/pelvoran/reply", "code=0000-0000-0000-0000"), 200},
          {"GET /pelvoran/thanks HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
          {"GET /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200}}},
    };
    for (std::size_t i = 0; i < 2; ++i) {
        const TempDir dir;
        const std::string prefix = recipes[i].prefix;
        writeFile(dir.path() + "/index.html", "the host's own page\n");
        writeFile(dir.path() + "/Pelvoran.exe", file);
        // A state directory with the signing key: the download base must be https://.
        const std::string state = dir.path() + "/state";
        makeState(state);
        const std::string base = "https://pelvoran.example.com" + prefix;
        ASSERT_EQ(runServerCommand({"key", "create", "--state", state}).status, 0);
        const CommandResult published = runServerCommand(
            {"release", "set", "--state", state, "--version", "1.06", "--date", "d", "--notes", "n",
             "--file", dir.path() + "/Pelvoran.exe", "--download-base", base});
        ASSERT_EQ(published.status, 0) << published.err;
        EXPECT_NE(published.out.find(base + served), std::string::npos) << published.out;
        const auto [made, said] =
            ran(dir.path(),
                {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                 "/CN=pelvoran.example.com", "-addext", "subjectAltName=DNS:pelvoran.example.com",
                 "-keyout", dir.path() + "/privkey.pem", "-out", dir.path() + "/fullchain.pem"});
        ASSERT_EQ(made, 0) << said;
        ServerProcess server(state, {"--trusted-proxy", "127.0.0.1", "--public-prefix", prefix});
        const int port = freePort();
        const int tlsPort = freePort();
        // The TLS block beside the recipe, its location under the prefix as
        // the guide says for (b).
        Nginx nginx(dir.path(),
                    blocks[i] + replaced(blocks[2], "location /download/",
                                         "location " + prefix + "download/"),
                    port, server.port(), tlsPort);
        for (const auto& [request, status] : recipes[i].asked) {
            const std::string reply = askUntilAnswered(port, request, 30s);
            EXPECT_EQ(statusOf(reply), status) << recipes[i].prefix << "\n"
                                               << request.substr(0, 200) << "\n"
                                               << reply << nginx.log();
            if (request.find(served) != std::string::npos) { // plain HTTP passes it too
                EXPECT_TRUE(bodyOf(reply) == file) << request;
            }
            if (request.find("/comment HTTP") != std::string::npos) { // the receipt, prefixed
                EXPECT_NE(reply.find("action=\"/pelvoran/reply#"), std::string::npos) << reply;
                EXPECT_NE(reply.find("\r\nCache-Control: no-store\r\n"), std::string::npos)
                    << reply;
            }
            if (request.find("code=UE0945") != std::string::npos) {
                // The page's links lead back through the same prefix.
                EXPECT_NE(reply.find(std::string("href=\"") + recipes[i].prefix + "style.css\""),
                          std::string::npos);
                EXPECT_NE(reply.find(std::string("action=\"") + recipes[i].prefix + "comment#"),
                          std::string::npos);
            }
        }
        // Over TLS, as the browser the tool hands the signed address to
        // fetches it: the file's bytes, with TLS 1.2 too; no other path; no
        // plain HTTP.
        const struct {
            std::string address;
            std::vector<std::string> args;
            const char* status;
        } fetches[] = {
            {base + served, {}, "200"},
            {base + served, {"--tlsv1.2", "--tls-max", "1.2"}, "200"},
            {"https://pelvoran.example.com/", {}, "404"},
        };
        const std::string got = dir.path() + "/got";
        const std::string to = "pelvoran.example.com:443:127.0.0.1:" + std::to_string(tlsPort);
        for (const auto& f : fetches) {
            std::filesystem::remove(got);
            std::vector<std::string> argv = {"curl",         "-sS",
                                             "--max-time",   "20",
                                             "--cacert",     dir.path() + "/fullchain.pem",
                                             "--connect-to", to,
                                             "-o",           got,
                                             "-w",           "%{http_code}"};
            argv.insert(argv.end(), f.args.begin(), f.args.end());
            argv.push_back(f.address);
            const auto [status, out] = ran(dir.path(), argv);
            EXPECT_EQ(status, 0) << f.address << ": " << out << nginx.log();
            EXPECT_EQ(out, f.status) << f.address << nginx.log();
            if (*f.status == '2') {
                EXPECT_TRUE(fileBytes(got) == file) << f.address;
            }
        }
        const std::string plain = httpExchange(tlsPort, get(prefix + served));
        EXPECT_EQ(statusOf(plain), 400) << plain;
    }
}
