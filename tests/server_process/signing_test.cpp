// Signed releases: a keyed state directory takes only signed ones, the key
// in the state signs, key create is whole or nothing, and the key travels
// with the backup.
#include "server/cli/cli_texts.h"
#include "tests/support/driver_process.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelvoran::test;
using namespace std::chrono_literals;
namespace cli_text = pelvoran::server::cli_text;

namespace {

/// The first 16 hex digits of the SHA-256 of `text`, by the coreutils
/// sha256sum rather than the server's own code.
std::string sha256Prefix(const std::string& text) {
    std::string out;
    if (std::FILE* p = ::popen(("printf %s '" + text + "' | sha256sum").c_str(), "r")) {
        char buf[128];
        while (const std::size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        ::pclose(p);
    }
    return out.substr(0, 16);
}

} // namespace

// With the public key in the state directory, only a signed https:// release
// is published; the update check carries the signature as field 4, the
// release page says it is signed, and a tool built with the key offers it.
TEST(ServerSigning, AKeyedStateTakesOnlySignedReleases) {
    const TempDir state, keys;
    makeState(state.path());
    const std::string key = keys.path() + "/publisher.pem", other = keys.path() + "/other.pem";
    const CommandResult created = runServerCommand({"key", "create", key, "--state", state.path()});
    ASSERT_EQ(created.status, 0) << created.err;
    ASSERT_TRUE(created.out.starts_with("-DPELVORAN_UPDATE_KEY=")) << created.out;
    const std::string publicKey = created.out.substr(22, created.out.find('\n') - 22);
    EXPECT_EQ(modeOf(key), 0600);
    ASSERT_EQ(runServerCommand({"key", "create", other}).status, 0);
    EXPECT_EQ(runServerCommand({"key", "create", key}).status, 2); // never overwritten

    const std::vector<std::string> fields = {
        "--version", "1.06",       "--address", "https://example.com/p.exe",
        "--date",    "2026-12-01", "--notes",   "修正"};
    const auto with = [&](std::vector<std::string> head, std::vector<std::string> tail = {}) {
        head.insert(head.end(), fields.begin(), fields.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const CommandResult signedHere = runServerCommand(with({"release", "sign", "--key", key}));
    ASSERT_EQ(signedHere.status, 0) << signedHere.err;
    const std::string sig = signedHere.out.substr(0, signedHere.out.find('\n'));
    std::vector<std::string> otherRelease = with({"release", "sign", "--key", key});
    otherRelease[5] = "1.07";
    const std::string otherSig = runServerCommand(otherRelease).out;
    std::vector<std::string> httpRelease =
        with({"release", "set", "--state", state.path()}, {"--sign-with", key});
    httpRelease[7] = "http://example.com/p.exe";

    struct Case {
        std::vector<std::string> args;
        const char* named; // the option the refusal names
    };
    const Case refused[] = {
        {with({"release", "set", "--state", state.path()}), "--signature"},
        {with({"release", "set", "--state", state.path()}, {"--signature", otherSig}),
         "--signature"},
        {with({"release", "set", "--state", state.path()}, {"--signature", sig + "A"}),
         "--signature"},
        {with({"release", "set", "--state", state.path()}, {"--sign-with", other}), "--sign-with"},
        {httpRelease, "--address"},
    };
    for (const Case& c : refused) {
        const CommandResult r = runServerCommand(c.args);
        EXPECT_EQ(r.status, 2) << c.named << ": " << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    }
    EXPECT_EQ(runServerCommand({"release", "show", "--state", state.path()}).out,
              "尚未发布新版本。\n");

    const CommandResult set =
        runServerCommand(with({"release", "set", "--state", state.path()}, {"--signature", sig}));
    ASSERT_EQ(set.status, 0) << set.err;
    // The signed message names no platform: the same signature serves Linux.
    const CommandResult linux = runServerCommand(with(
        {"release", "set", "--state", state.path(), "--platform", "linux"}, {"--signature", sig}));
    ASSERT_EQ(linux.status, 0) << linux.err;
    ServerProcess server(state.path());
    const std::string expected =
        "1.06[;]https://example.com/p.exe[;]2026-12-01[;]%u4FEE%u6B63[;]" + sig;
    EXPECT_EQ(replyTo(server.port()), expected);
    EXPECT_EQ(bodyOf(httpExchange(server.port(), "GET /Canon/LensCheck.asp HTTP/1.1\r\nHost: "
                                                 "127.0.0.1\r\nConnection: close\r\n\r\n")),
              expected);
    const std::string page =
        adminGet(state.path(), "/release", "Cookie: " + login(state.path()) + "\r\n");
    EXPECT_NE(page.find("<dt>签名</dt><dd>已签名</dd>"), std::string::npos) << page;

    ::setenv("PELVORAN_DRIVER_UPDATE_KEY", publicKey.c_str(), 1);
    FakeOpener opener;
    const DriverRun run =
        runDriver("http://127.0.0.1:" + std::to_string(server.port()), "comments", opener);
    ::unsetenv("PELVORAN_DRIVER_UPDATE_KEY");
    EXPECT_TRUE(run.out.starts_with("box 有更新版本: 最新版本: 1.06\\n")) << run.out;
}

// The private key kept in the state directory signs what release set
// publishes; without a key, release set warns that offers go unsigned, and
// with --sign-with alone, that only tools built with that key check them.
TEST(ServerSigning, KeyInTheStateSignsAndNoKeyWarns) {
    const TempDir keyed, plain;
    makeState(keyed.path());
    makeState(plain.path());
    ASSERT_EQ(runServerCommand({"key", "create", "--state", keyed.path()}).status, 0);
    EXPECT_EQ(modeOf(keyed.path() + "/update-key.pem"), 0600);
    const auto set = [](const std::string& dir, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {
            "release",   "set",  "--state",   dir,
            "--version", "1.06", "--address", "https://example.com/p.exe",
            "--date",    "d",    "--notes",   "n"};
        args.insert(args.end(), more.begin(), more.end());
        return runServerCommand(args);
    };
    const CommandResult signedSet = set(keyed.path()), plainSet = set(plain.path());
    ASSERT_EQ(signedSet.status, 0) << signedSet.err;
    EXPECT_NE(
        runServerCommand({"release", "show", "--state", keyed.path()}).out.find("签名：sig1:"),
        std::string::npos);
    ASSERT_EQ(plainSet.status, 0) << plainSet.err;
    EXPECT_NE(plainSet.err.find("没有公钥"), std::string::npos) << plainSet.err;
    // A key of its own signs, and the warning says what that does and not.
    const std::string keyFile = plain.path() + "/publisher.pem";
    ASSERT_EQ(runServerCommand({"key", "create", keyFile}).status, 0);
    const CommandResult signedWith = set(plain.path(), {"--sign-with", keyFile});
    ASSERT_EQ(signedWith.status, 0) << signedWith.err;
    EXPECT_EQ(signedWith.err.find("未经核对"), std::string::npos) << signedWith.err;
    for (const char* says :
         {"只有用这把密钥构建的工具才核对签名", "这里不核对其他版本的签名", "/update-key.pub"})
        EXPECT_NE(signedWith.err.find(says), std::string::npos) << says << signedWith.err;
    // ... and takes no signature it has nothing to check by.
    EXPECT_EQ(set(plain.path(), {"--signature", "sig1:AAAA"}).status, 2);
}

// key create writes all of its files or none, refuses a state directory
// with a key before writing anything, and is in the audit log; key show
// prints the key line, its fingerprint and where the private key is.
TEST(ServerSigning, KeyCreateIsWholeOrNothingAndLogged) {
    const TempDir keyed, locked, fresh, work;
    for (const auto* t : {&keyed, &locked, &fresh})
        makeState(t->path());
    ASSERT_EQ(runServerCommand({"key", "create", "--state", keyed.path()}).status, 0);
    if (::geteuid() == 0) // root writes anywhere: the command acts as the owner
        giveTo(locked.path(), kService);
    ASSERT_EQ(::chmod(locked.path().c_str(), 0500), 0);
    const struct {
        const char* what;
        std::string state;
        int status;
    } refused[] = {{"a state with a key", keyed.path(), 2},
                   {"a state its owner may not write", locked.path(), 1}};
    for (const auto& c : refused) {
        const std::string file = work.path() + "/publisher.pem";
        const CommandResult r = runServerCommand({"key", "create", file, "--state", c.state});
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(work.path())) << c.what << ": a file was left";
    }
    EXPECT_FALSE(std::filesystem::exists(locked.path() + "/update-key.pub"));
    ::chmod(locked.path().c_str(), 0700);

    const CommandResult created = runServerCommand({"key", "create", "--state", fresh.path()});
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_NE(created.err.find(cli_text::kKeepOfflineCopy), std::string::npos) << created.err;
    const std::string key = created.out.substr(22, created.out.find('\n') - 22);
    const std::string fingerprint = sha256Prefix(key);
    const CommandResult show = runServerCommand({"key", "show", "--state", fresh.path()});
    EXPECT_EQ(show.out,
              "-DPELVORAN_UPDATE_KEY=" + key + "\n" + cli_text::fingerprintLine(fingerprint) +
                  "\n" +
                  cli_text::privateKeyPairs(std::filesystem::canonical(fresh.path()).string() +
                                            "/update-key.pem") +
                  "\n")
        << show.err;
    const std::string audit = runServerCommand({"audit", "list", "--state", fresh.path()}).out;
    EXPECT_NE(audit.find(std::string(cli_text::kKeyCreatedAction) + "  " +
                         cli_text::keyCreatedDetail(fingerprint, true)),
              std::string::npos)
        << audit;
}

// A backup carries the signing key, the answer key and the monitor's token. Restored where
// there is no key, they come back with their modes, and release set then
// refuses an unsigned http release; where there is another key, the restore
// is refused naming both fingerprints and changes nothing.
TEST(ServerSigning, TheKeyTravelsWithTheBackup) {
    const TempDir keyed, bare, other, work;
    for (const auto* t : {&keyed, &bare, &other})
        makeState(t->path());
    std::vector<std::string> keys; // the key lines, as key create prints them
    for (const auto* t : {&keyed, &other}) {
        const CommandResult created = runServerCommand({"key", "create", "--state", t->path()});
        ASSERT_EQ(created.status, 0) << created.err;
        keys.push_back(created.out.substr(22, created.out.find('\n') - 22));
    }
    // The answer key, made by the first key answer, is the one printed again.
    const CommandResult answerKey = runServerCommand({"key", "answer", "--state", keyed.path()});
    ASSERT_EQ(answerKey.status, 0) << answerKey.err;
    EXPECT_TRUE(answerKey.out.starts_with("-DPELVORAN_ANSWER_KEY=")) << answerKey.out;
    EXPECT_EQ(runServerCommand({"key", "answer", "--state", keyed.path()}).out, answerKey.out);
    std::ofstream(keyed.path() + "/metrics-token") << "0123456789abcdef\n";
    ::chmod((keyed.path() + "/metrics-token").c_str(), 0600);
    const std::string backup = work.path() + "/b.sqlite";
    const CommandResult made = runServerCommand({"backup", backup, "--state", keyed.path()});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("含有签名私钥 update-key.pem"), std::string::npos) << made.out;

    const std::string otherKey = fileBytes(other.path() + "/update-key.pub");
    const CommandResult refused = runServerCommand({"restore", backup, "--state", other.path()});
    EXPECT_EQ(refused.status, 2) << refused.err;
    for (const std::string& key : keys)
        EXPECT_NE(refused.err.find(sha256Prefix(key)), std::string::npos) << refused.err;
    EXPECT_EQ(fileBytes(other.path() + "/update-key.pub"), otherKey);
    // Nothing was replaced (serve's daily job may not have made the folder yet).
    std::error_code none;
    for (const auto& e : std::filesystem::directory_iterator(other.path() + "/backups", none))
        EXPECT_FALSE(e.path().filename().string().starts_with("replaced")) << e.path();

    for (const std::string& state : {bare.path(), keyed.path()}) {
        const CommandResult r = runServerCommand({"restore", backup, "--state", state});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(runServerCommand({"key", "answer", "--state", bare.path()}).out, answerKey.out);
    for (const char* name :
         {"/update-key.pub", "/update-key.pem", "/answer-key.pem", "/metrics-token"}) {
        EXPECT_EQ(fileBytes(bare.path() + name), fileBytes(keyed.path() + name)) << name;
        EXPECT_EQ(modeOf(bare.path() + name), 0600) << name;
    }
    // The daily backups carry them too.
    std::filesystem::remove_all(keyed.path() + "/backups");
    {
        ServerProcess server(keyed.path());
        ASSERT_TRUE(dailyBackupMade(keyed.path(), 20));
    }
    for (const auto& e : std::filesystem::directory_iterator(keyed.path() + "/backups"))
        EXPECT_EQ(linesIn(e.path(), "SELECT name FROM state_files ORDER BY name"),
                  "answer-key.pem\nmetrics-token\nupdate-key.pem\nupdate-key.pub\n")
            << e.path();
    const CommandResult http = runServerCommand(
        {"release", "set", "--state", bare.path(), "--version", "1.06", "--address",
         "http://evil.example.com/x.exe", "--date", "d", "--notes", "n"});
    EXPECT_EQ(http.status, 2) << http.out << http.err;
    EXPECT_NE(http.err.find("--address"), std::string::npos) << http.err;
}
