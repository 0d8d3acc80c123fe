// `release show|set|sign|clear|history|rollout|halt`: the release the update
// check offers each platform, and how far it is rolled out.
#include "server/cli/cli_texts.h"
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
        return cli_text::serverPicksUp(state.shown);
    return cli_text::noServerPicksUp(state.shown);
}

Platform platformOption(const Parsed& p) {
    const auto platform = parsePlatform(optionOr(p, "--platform", "windows"));
    if (!platform)
        throw UsageError{cli_text::kPlatforms};
    return *platform;
}

/// The tools of `platform`, as the messages name them.
std::string toolsOf(Platform platform) {
    return cli_text::platformTools(std::string(platformLabel(platform)));
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
            throw UsageError{cli_text::releaseNeedsOption(name, verb)};
        const auto text = fromUtf8(it->second);
        if (!text)
            throw UsageError{cli_text::notUtf8(name)};
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
        throw UsageError{cli_text::kSignOptions};
    Release r = releaseOptions(p, "sign");
    const auto file = p.options.find("--key");
    if (file == p.options.end())
        throw UsageError{cli_text::kSignNeedsKey};
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
            throw UsageError{cli_text::onlyWithFile(option)};
    const auto path = p.options.find("--file");
    if (path == p.options.end())
        return std::nullopt;
    if (p.options.contains("--address"))
        throw UsageError{cli_text::kAddressOrFile};
    FileOption f;
    f.shown = path->second;
    f.name = optionOr(p, "--file-name", std::filesystem::path(path->second).filename().string());
    if (!isDownloadName(f.name))
        throw UsageError{(p.options.contains("--file-name") ? cli_text::kFileNameOption
                                                            : cli_text::kFileOption) +
                         std::string(cli_text::kBadDownloadName)};
    f.maxSize = byteSize(p, "--max-download-size", kDefaultMaxDownloadSize);
    f.fd = Fd(::open(path->second.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd.get() < 0)
        throw UsageError{cli_text::cannotOpenFile(path->second, systemErrorText(errno)), false};
    return f;
}

/// Keeps the file in the database and makes the release's address its
/// path under the download base; the file for the publish.
ReleaseFile storeFile(Database& db, FileOption& f, Release& r, const Parsed& p,
                      const std::string& publicKey, Platform platform) {
    const std::string base = optionOr(p, "--download-base", db.downloads().base());
    if (base.empty())
        throw UsageError{cli_text::kNoDownloadBase, false};
    if (const auto problem = downloadBaseProblem(base, !publicKey.empty()))
        throw UsageError{"--download-base：" + *problem, false};
    r.address = fromUtf8Lenient(downloadAddress(base, platform, toUtf8(r.version), f.name));
    refuse(releaseProblems(r));
    StoredFile stored;
    try {
        stored = db.downloads().store(f.fd.get(), f.maxSize, f.shown);
    } catch (const FileRefused& e) {
        throw UsageError{"--file：" + cli_text::fileRefused(e), false};
    } catch (const StoredFileDeleted& e) {
        throw std::runtime_error(cli_text::storedFileDeleted(e.file()));
    }
    if (const auto there = db.downloads().fileAt(platform, toUtf8(r.version), f.name);
        there && *there != stored.sha256)
        throw UsageError{
            cli_text::otherFileThere(downloadPath(platform, toUtf8(r.version), f.name), *there),
            false};
    if (p.options.contains("--download-base"))
        db.downloads().setBase(base);
    return {platform, f.name, stored.sha256, stored.size};
}

int setCommand(const Parsed& p) {
    if (p.options.contains("--key"))
        throw UsageError{cli_text::kSetTakesSignWith};
    if (p.options.contains("--sign-with") && p.options.contains("--signature"))
        throw UsageError{cli_text::kSignWithOrSignature};
    Release r = releaseOptions(p, "set");
    r.signature = optionOr(p, "--signature", "");
    const Platform platform = platformOption(p);
    const auto rollout = parsePercentage(optionOr(p, "--rollout", "100"));
    if (!rollout)
        throw UsageError{cli_text::kBadRollout, false};
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
            throw UsageError{cli_text::signWithOtherKey(state.shown, kUpdatePublicKeyFile), false};
        r.signature = signRelease(*key, r);
    }
    // A signature made here is checked by its own key when the state
    // directory has none.
    refuse(signingProblems(r, publicKey.empty() && key ? publicKeyOf(*key) : publicKey));
    const auto before = db->releases().current(platform);
    db->releases().publish(r, kByCommandLine, cli_text::kPublishAction, "", platform, *rollout,
                           served);
    say(stdout,
        cli_text::publishedFor(toolsOf(platform), toUtf8(r.version), *rollout) + pickedUp(state));
    if (served)
        say(stdout, cli_text::servedHere(toUtf8(r.address), served->name, sizeText(served->size),
                                         served->sha256));
    if (const auto notice = rollbackNotice(r, before))
        say(stdout, toUtf8(*notice));
    if (publicKey.empty() && key)
        say(stderr, cli_text::signedWithoutPublicKey(state.shown, kUpdatePublicKeyFile));
    else if (publicKey.empty())
        say(stderr, cli_text::kUnchecked);
    return kExitOk;
}

/// `release rollout PERCENT`, `release halt`: how many networks the live
/// release reaches.
int rolloutCommand(const Parsed& p, const std::string& verb) {
    expectWords(p, verb == "rollout" ? 3 : 2);
    std::optional<int> percent = 0;
    if (verb == "rollout") {
        if (p.words.size() < 3)
            throw UsageError{cli_text::kRolloutNeedsPercent};
        percent = parsePercentage(p.words[2]);
        if (!percent)
            throw UsageError{cli_text::badPercent(terminalCell(p.words[2])), false};
    }
    const Platform platform = platformOption(p);
    const StateDir state = enterState(p);
    const auto db = openDatabase(state);
    const auto before = db->releases().setRollout(platform, *percent, kByCommandLine);
    if (!before)
        throw UsageError{cli_text::nothingToRollOut(verb, toolsOf(platform),
                                                    std::string(platformName(platform))),
                         false};
    const auto offer = db->releases().offer(platform);
    const std::string others = offer.earlier ? cli_text::restGet(toUtf8(offer.earlier->version))
                                             : cli_text::kRestGetNothing;
    say(stdout, cli_text::rolloutChanged(*percent, toolsOf(platform), toUtf8(offer.live->version),
                                         *before, others) +
                    pickedUp(state));
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
        say(stdout, cli_text::kNothingToPrune);
    for (const auto& f : gone)
        say(stdout, cli_text::prunedFile(f.sha256.substr(0, 12), sizeText(f.size)));
    if (!copies.empty())
        say(stdout, cli_text::prunedCopies(state.shown + "/" + kDownloadsDir, copies.size()));
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
            throw UsageError{cli_text::releaseOptionsOnly(verb)};
        return rolloutCommand(p, verb);
    }
    expectWords(p, 2);
    if (verb == "set")
        return setCommand(p);
    if (verb == "sign")
        return signCommand(p);
    if (verb != "show" && verb != "clear" && verb != "history" && verb != "prune-files")
        throw UsageError{cli_text::kReleaseVerbs};
    if (p.options.size() > p.options.count("--state") + p.options.count("--platform"))
        throw UsageError{cli_text::releaseOptionsOnly(verb)};
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
                        ? cli_text::kClearedRelease + pickedUp(state)
                        : cli_text::clearedFor(toolsOf(platform)) + pickedUp(state));
        return kExitOk;
    }
    const auto offer = db->releases().offer(platform);
    const auto& r = offer.live;
    if (!r) {
        say(stdout, platform == Platform::Windows
                        ? std::string(cli_text::kNothingPublished)
                        : cli_text::nothingPublishedFor(toolsOf(platform)));
        return kExitOk;
    }
    // What is stored is shown as text, whatever a hand or a backup put there.
    say(stdout, cli_text::kVersionLabel + terminalCell(toUtf8(r->version)));
    say(stdout, cli_text::kAddressLabel + terminalCell(toUtf8(r->address)));
    if (const auto served = db->downloads().current(platform))
        say(stdout, cli_text::kServedFileLabel + served->file.name + "，" +
                        sizeText(served->file.size) + "，SHA-256 " + served->file.sha256);
    say(stdout, cli_text::kDateLabel + terminalCell(toUtf8(r->date)));
    std::string notes;
    const auto lines = splitLines(toUtf8(r->notes));
    for (std::size_t i = 0; i < lines.size(); ++i)
        notes += (i == 0 ? "" : "\n") + terminalCell(lines[i]);
    say(stdout, cli_text::kNotesLabel + notes);
    say(stdout, cli_text::kSignatureLabel +
                    (r->signature.empty() ? std::string(cli_text::kUnsigned) : r->signature));
    if (offer.rollout < 100)
        say(stdout,
            cli_text::rolloutLine(offer.rollout,
                                  offer.earlier ? terminalCell(toUtf8(offer.earlier->version)) : "",
                                  offer.earlier.has_value()));
    return kExitOk;
}

} // namespace pelvoran::server
