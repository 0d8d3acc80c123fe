// `release show|set|sign|clear|history|rollout|halt`: the release the update
// check offers each platform, and how far it is rolled out.
#include "server/cli/command_support.h"
#include "server/cli/state_dir.h"
#include "server/release/release.h"
#include "server/release/release_reply.h"
#include "server/release/release_signing.h"
#include "server/release/update_key.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/state_files.h"
#include "server/support/terminal_text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <utility>

namespace pelvoran::server {
namespace {

const char* fieldOption(ReleaseField f) {
    switch (f) {
    case ReleaseField::Version: return "--version";
    case ReleaseField::Address: return "--address";
    case ReleaseField::Date: return "--date";
    case ReleaseField::Notes: return "--notes";
    case ReleaseField::Signature: return "--signature";
    }
    return "";
}

/// `text` cut at its line breaks.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
        lines.push_back(text.substr(from, at - from));
    lines.push_back(text.substr(from));
    return lines;
}

/// Whether a running server will serve what was just changed.
std::string pickedUp(const StateDir& state) {
    if (stateLocked(state))
        return "在状态目录 " + state.shown + " 上运行的服务器一秒内开始按此答复更新检查。";
    return "但现在没有服务器在状态目录 " + state.shown +
           " 上运行：启动它（软件包安装的服务：sudo systemctl start "
           "pelvoran-server）后才会按此答复。";
}

Platform platformOption(const Parsed& p) {
    const auto platform = parsePlatform(optionOr(p, "--platform", "windows"));
    if (!platform)
        throw UsageError{"--platform：须为 windows 或 linux"};
    return *platform;
}

/// The tools of `platform`, as the messages name them.
std::string toolsOf(Platform platform) {
    return std::string(platformLabel(platform)) + " 工具";
}

Release releaseOptions(const Parsed& p, const std::string& verb) {
    Release r;
    for (const auto& [name, field] :
         {std::pair{"--version", &r.version}, std::pair{"--address", &r.address},
          std::pair{"--date", &r.date}, std::pair{"--notes", &r.notes}}) {
        // With --file the server makes the address itself.
        if (field == &r.address && p.options.contains("--file"))
            continue;
        const auto it = p.options.find(name);
        if (it == p.options.end())
            throw UsageError{std::string(name) + "：release " + verb + " 需要这个选项"};
        const auto text = fromUtf8(it->second);
        if (!text)
            throw UsageError{std::string(name) + "：不是有效的 UTF-8 文本"};
        *field = *text;
    }
    // Line breaks as the release page keeps them: a file with CR LF signs
    // and publishes the notes that the page would.
    r.notes = lfLineBreaks(r.notes);
    return r;
}

/// Refuses the release with every problem, each after its option.
void refuse(std::vector<ReleaseProblem> problems) {
    if (problems.empty())
        return;
    std::stable_sort(
        problems.begin(), problems.end(),
        [](const ReleaseProblem& a, const ReleaseProblem& b) { return a.field < b.field; });
    std::string message;
    for (const auto& problem : problems)
        message += (message.empty() ? "" : "\n") + std::string(fieldOption(problem.field)) + "：" +
                   toUtf8(problem.message);
    throw UsageError{message, false};
}

std::vector<ReleaseProblem> joined(std::vector<ReleaseProblem> a,
                                   const std::vector<ReleaseProblem>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int signCommand(const Parsed& p) {
    if (p.options.contains("--state") || p.options.contains("--sign-with") ||
        p.options.contains("--signature") || p.options.contains("--platform") ||
        p.options.contains("--rollout"))
        throw UsageError{"release sign 只接受 --key、--version、--address、--date 和 --notes"};
    Release r = releaseOptions(p, "sign");
    const auto file = p.options.find("--key");
    if (file == p.options.end())
        throw UsageError{"--key：release sign 需要私钥文件（key create 生成的）"};
    const std::string key = readPrivateKeyFile(file->second, "--key");
    r.signature = signRelease(key, r);
    refuse(joined(releaseProblems(r), signingProblems(r, publicKeyOf(key))));
    say(stdout, r.signature);
    return kExitOk;
}

/// The file of `release set --file`, opened as the caller, before the
/// state's owner is taken on.
struct FileOption {
    Fd fd;
    std::string shown;
    std::string name;
    std::uint64_t maxSize = kDefaultMaxDownloadSize;
};

std::optional<FileOption> fileOption(const Parsed& p) {
    for (const char* option : {"--file-name", "--download-base", "--max-download-size"})
        if (p.options.contains(option) && !p.options.contains("--file"))
            throw UsageError{std::string(option) + "：只和 --file 一起用"};
    const auto path = p.options.find("--file");
    if (path == p.options.end())
        return std::nullopt;
    if (p.options.contains("--address"))
        throw UsageError{"--address 和 --file 只能给一个：用 --file 时，下载地址由服务器按 "
                         "--download-base 生成"};
    FileOption f;
    f.shown = path->second;
    f.name = optionOr(p, "--file-name", std::filesystem::path(path->second).filename().string());
    if (!isDownloadName(f.name))
        throw UsageError{
            (p.options.contains("--file-name") ? "--file-name：" : "--file：文件名") +
            std::string("须为 1 到 100 个英文字母、数字、“.”、“_”、“-”或“+”，不以“.”开头，"
                        "例如 Pelvoran-1.06.exe；可用 --file-name 另取一个")};
    f.maxSize = byteSize(p, "--max-download-size", kDefaultMaxDownloadSize);
    f.fd = Fd(::open(path->second.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd.get() < 0)
        throw UsageError{"--file：无法打开 " + path->second + "：" + systemErrorText(errno), false};
    return f;
}

/// Keeps the file in the database and makes the release's address its
/// path under the download base; the file for the publish.
ReleaseFile storeFile(Database& db, FileOption& f, Release& r, const Parsed& p,
                      const std::string& publicKey, Platform platform) {
    const std::string base = optionOr(p, "--download-base", db.downloads().base());
    if (base.empty())
        throw UsageError{"--download-base：第一次用 --file 发布时须给出下载地址的开头，例如 "
                         "https://example.com/pelvoran（之后记在数据库中）",
                         false};
    if (const auto problem = downloadBaseProblem(base, !publicKey.empty()))
        throw UsageError{"--download-base：" + *problem, false};
    r.address = fromUtf8Lenient(downloadAddress(base, platform, toUtf8(r.version), f.name));
    refuse(releaseProblems(r));
    StoredFile stored;
    try {
        stored = db.downloads().store(f.fd.get(), f.maxSize, f.shown);
    } catch (const FileRefused& e) {
        throw UsageError{std::string("--file：") + e.what(), false};
    }
    if (const auto there = db.downloads().fileAt(platform, toUtf8(r.version), f.name);
        there && *there != stored.sha256)
        throw UsageError{"--file：" + downloadPath(platform, toUtf8(r.version), f.name) +
                             " 已发布过另一个文件（SHA-256 " + *there +
                             "）：同一路径只能是同一个文件。请换一个版本号或用 --file-name "
                             "另取文件名",
                         false};
    if (p.options.contains("--download-base"))
        db.downloads().setBase(base);
    return {platform, f.name, stored.sha256, stored.size};
}

int setCommand(const Parsed& p) {
    if (p.options.contains("--key"))
        throw UsageError{"--key：release set 用 --sign-with 指定私钥文件"};
    if (p.options.contains("--sign-with") && p.options.contains("--signature"))
        throw UsageError{"--sign-with 和 --signature 只能给一个"};
    Release r = releaseOptions(p, "set");
    r.signature = optionOr(p, "--signature", "");
    const Platform platform = platformOption(p);
    const auto rollout = parsePercentage(optionOr(p, "--rollout", "100"));
    if (!rollout)
        throw UsageError{"--rollout：须为 0 到 100 的整数（收到这个版本的网络的百分比），例如 10",
                         false};
    auto upload = fileOption(p);
    if (!upload)
        refuse(releaseProblems(r));
    // The key file is read as the caller, before the state's owner is taken on.
    std::optional<std::string> key;
    if (const auto file = p.options.find("--sign-with"); file != p.options.end())
        key = readPrivateKeyFile(file->second, "--sign-with");
    const StateDir state = enterState(p);
    const std::string publicKey = statePublicKey(state.path);
    const auto db = openDatabase(state);
    std::optional<ReleaseFile> served;
    if (upload)
        served = storeFile(*db, *upload, r, p, publicKey, platform);
    if (!key && r.signature.empty() && !publicKey.empty())
        key = statePrivateKey(state.path);
    if (key) {
        if (!publicKey.empty() && publicKeyOf(*key) != publicKey)
            throw UsageError{"--sign-with：这把私钥与状态目录 " + state.shown + " 中的公钥 " +
                                 kUpdatePublicKeyFile + " 不是一对：请用 key create 时生成的私钥",
                             false};
        r.signature = signRelease(*key, r);
    }
    // A signature made here is checked by its own key when the state
    // directory has none.
    refuse(signingProblems(r, publicKey.empty() && key ? publicKeyOf(*key) : publicKey));
    const auto before = db->releases().current(platform);
    db->releases().publish(r, kByCommandLine, "发布", "", platform, *rollout, served);
    say(stdout, "已为 " + toolsOf(platform) + "发布 " + toUtf8(r.version) +
                    (*rollout < 100 ? "，先给 " + std::to_string(*rollout) + "% 的网络" : "") +
                    "。" + pickedUp(state));
    if (served)
        say(stdout, "下载地址 " + toUtf8(r.address) + " 由本服务器提供：" + served->name + "，" +
                        sizeText(served->size) + "，SHA-256 " + served->sha256 + "。");
    if (const auto notice = rollbackNotice(r, before))
        say(stdout, toUtf8(*notice));
    if (publicKey.empty() && key)
        say(stderr, "注意：这个版本已用 --sign-with 的私钥签名，但只有用这把密钥构建的工具才核对"
                    "签名；状态目录 " +
                        state.shown + " 中没有公钥 " + kUpdatePublicKeyFile +
                        "，这里不核对其他版本的签名，不签名的版本也会发布。请把这把私钥的公钥"
                        "（key create 生成它时打印的 -DPELVORAN_UPDATE_KEY= 之后的部分）存为 " +
                        state.shown + "/" + kUpdatePublicKeyFile +
                        "，或用 pelvoran-server key create --state 生成新的密钥。");
    else if (publicKey.empty())
        say(stderr, "注意：状态目录中没有公钥，更新提示未经核对：网络途中的人可以伪造它。"
                    "用 pelvoran-server key create 生成密钥，并用它构建工具。");
    return kExitOk;
}

/// `release rollout PERCENT`, `release halt`: how many networks the live
/// release reaches.
int rolloutCommand(const Parsed& p, const std::string& verb) {
    expectWords(p, verb == "rollout" ? 3 : 2);
    std::optional<int> percent = 0;
    if (verb == "rollout") {
        if (p.words.size() < 3)
            throw UsageError{
                "release rollout 需要百分比（0 到 100 的整数），例如 release rollout 50"};
        percent = parsePercentage(p.words[2]);
        if (!percent)
            throw UsageError{
                "release rollout：百分比须为 0 到 100 的整数，例如 release rollout 50；" +
                    terminalCell(p.words[2]) + " 不是",
                false};
    }
    const Platform platform = platformOption(p);
    const StateDir state = enterState(p);
    const auto db = openDatabase(state);
    const auto before = db->releases().setRollout(platform, *percent, kByCommandLine);
    if (!before)
        throw UsageError{"release " + verb + "：现在没有给 " + toolsOf(platform) +
                             "发布的版本（--platform " + std::string(platformName(platform)) +
                             "）；先用 release set 发布",
                         false};
    const auto offer = db->releases().offer(platform);
    const std::string others =
        offer.earlier ? "其余的收到 " + toUtf8(offer.earlier->version) : "其余的不提示更新";
    say(stdout, std::string(*percent == 0 ? "已暂停" : "已调整") + " " + toolsOf(platform) + "的 " +
                    toUtf8(offer.live->version) + "：" + std::to_string(*before) + "% → " +
                    std::to_string(*percent) + "% 的网络" + (*percent < 100 ? "，" + others : "") +
                    "。" + pickedUp(state));
    return kExitOk;
}

/// `release prune-files`: the files no publish of the history names, out
/// of the database and the copies directory.
int pruneFilesCommand(const StateDir& state, Database& db) {
    const auto gone = db.downloads().prune();
    std::vector<std::string> kept;
    for (const auto& path : db.downloads().paths())
        kept.push_back(path.file.sha256);
    const auto copies = removeOtherCopies(state.path + "/" + kDownloadsDir, kept);
    if (gone.empty())
        say(stdout, "没有可删除的文件：每个文件都有发布记录用到它。");
    for (const auto& f : gone)
        say(stdout,
            "已删除文件 SHA-256 " + f.sha256.substr(0, 12) + "…（" + sizeText(f.size) + "）");
    if (!copies.empty())
        say(stdout, "已删除 " + state.shown + "/" + kDownloadsDir + " 中 " +
                        std::to_string(copies.size()) + " 个不再提供的副本。");
    return kExitOk;
}

} // namespace

int releaseCommand(const std::vector<std::string>& args) {
    const Parsed p =
        parse(args, {"--state", "--database", "--version", "--address", "--date", "--notes",
                     "--sign-with", "--signature", "--key", "--platform", "--rollout", "--file",
                     "--file-name", "--download-base", "--max-download-size"});
    const std::string verb = p.words.size() > 1 ? p.words[1] : "";
    if (verb == "rollout" || verb == "halt") {
        if (p.options.size() > p.options.count("--state") + p.options.count("--platform"))
            throw UsageError{"release " + verb + " 只接受 --state 和 --platform"};
        return rolloutCommand(p, verb);
    }
    expectWords(p, 2);
    if (verb == "set")
        return setCommand(p);
    if (verb == "sign")
        return signCommand(p);
    if (verb != "show" && verb != "clear" && verb != "history" && verb != "prune-files")
        throw UsageError{
            "release 后须为 show、set、sign、clear、history、rollout、halt 或 prune-files"};
    if (p.options.size() > p.options.count("--state") + p.options.count("--platform"))
        throw UsageError{"release " + verb + " 只接受 --state 和 --platform"};
    const Platform platform = platformOption(p);
    const StateDir state = enterState(p);
    const auto db = openDatabase(state);
    if (verb == "history")
        return releaseHistoryCommand(*db, platform);
    if (verb == "prune-files")
        return pruneFilesCommand(state, *db);
    if (verb == "clear") {
        db->releases().clear(kByCommandLine, platform);
        say(stdout, platform == Platform::Windows
                        ? "已撤下发布的版本。" + pickedUp(state)
                        : "已撤下给 " + toolsOf(platform) + "发布的版本。" + pickedUp(state));
        return kExitOk;
    }
    const auto offer = db->releases().offer(platform);
    const auto& r = offer.live;
    if (!r) {
        say(stdout, platform == Platform::Windows ? "尚未发布新版本。"
                                                  : "尚未给 " + toolsOf(platform) + "发布新版本。");
        return kExitOk;
    }
    // What is stored is shown as text, whatever a hand or a backup put there.
    say(stdout, "版本：" + terminalCell(toUtf8(r->version)));
    say(stdout, "下载地址：" + terminalCell(toUtf8(r->address)));
    if (const auto served = db->downloads().current(platform))
        say(stdout, "本服务器提供的文件：" + served->file.name + "，" +
                        sizeText(served->file.size) + "，SHA-256 " + served->file.sha256);
    say(stdout, "发布日期：" + terminalCell(toUtf8(r->date)));
    std::string notes;
    const auto lines = splitLines(toUtf8(r->notes));
    for (std::size_t i = 0; i < lines.size(); ++i)
        notes += (i == 0 ? "" : "\n") + terminalCell(lines[i]);
    say(stdout, "更新说明：" + notes);
    say(stdout, "签名：" + (r->signature.empty() ? std::string("未签名") : r->signature));
    if (offer.rollout < 100)
        say(stdout, "分阶段发布：" + std::to_string(offer.rollout) + "% 的网络收到它，其余的" +
                        (offer.earlier ? "收到 " + terminalCell(toUtf8(offer.earlier->version))
                                       : std::string("不提示更新")) +
                        (offer.rollout == 0 ? "（已暂停）" : ""));
    return kExitOk;
}

} // namespace pelvoran::server
