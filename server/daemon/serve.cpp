#include "server/daemon/serve.h"

#include "server/admin/admin_site.h"
#include "server/admin/metrics.h"
#include "server/daemon/answer_desk.h"
#include "server/daemon/daemon_texts.h"
#include "server/daemon/site.h"
#include "server/engine/store_time.h"
#include "server/http/download.h"
#include "server/http/http_listener.h"
#include "server/http/limits.h"
#include "server/http/web.h"
#include "server/notify/notifier.h"
#include "server/release/release_reply.h"
#include "server/store/comment_writer.h"
#include "server/store/field_counter.h"
#include "server/store/store.h"
#include "server/support/error_text.h"
#include "server/support/fd.h"
#include "server/support/files.h"
#include "server/support/log.h"
#include "server/support/state_files.h"
#include "server/support/time_text.h"
#include "server/support/worker.h"
#include "server/upkeep/backups.h"
#include "server/upkeep/health.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pelvoran::server {

namespace fs = std::filesystem;

namespace {

/// The admin listener's connections: a publisher's few browsers.
constexpr unsigned kAdminConnections = 64;

/// A body whose bytes came this recently is still arriving: the end waits
/// for it (up to five seconds in all), not for one that stopped.
constexpr std::chrono::milliseconds kStillArriving{500};

/// Says what the update checks of `platform` are answered with from now on.
void logOffer(Platform platform, const PlatformOffer& offer) {
    const std::string tools = daemon_text::platformTools(std::string(platformLabel(platform)));
    if (!offer.live) {
        logError(daemon_text::nothingOffered(tools));
        return;
    }
    std::string line =
        daemon_text::offered(tools, toUtf8(offer.live->version), toUtf8(offer.live->address));
    if (offer.rollout < 100)
        line += daemon_text::offeredInPart(offer.rollout,
                                           offer.earlier ? toUtf8(offer.earlier->version) : "",
                                           offer.earlier.has_value());
    logError(line);
}

constexpr Platform kPlatforms[] = {Platform::Windows, Platform::Linux};

/// Writes `line` as the state directory's file `name` (0600), whole or not
/// at all (a temporary file, synced, moved into place, the directory
/// synced). Throws std::runtime_error.
void writeStateLine(const std::string& stateDir, const char* name, const std::string& line) {
    const std::string file = (fs::path(stateDir) / name).string();
    const std::string temp = file + ".part";
    try {
        Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        const ssize_t n = out.get() < 0 ? -1 : ::write(out.get(), line.data(), line.size());
        if (n != static_cast<ssize_t>(line.size())) // a short write: the disk is full
            throw std::runtime_error(temp + "：" + systemErrorText(n < 0 ? errno : ENOSPC));
        syncFile(out.get(), temp);
        if (!out.close())
            throw std::runtime_error(temp + "：" + systemErrorText(errno));
        if (::rename(temp.c_str(), file.c_str()) != 0)
            throw std::runtime_error(file + "：" + systemErrorText(errno));
        const Fd dir(::open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0)
            throw std::runtime_error(stateDir + "：" + systemErrorText(errno));
        syncFile(dir.get(), stateDir);
    } catch (...) {
        ::unlink(temp.c_str());
        ::unlink(file.c_str());
        throw;
    }
}

/// Writes where the admin pages are now, for admin-url. On a failure the
/// old address goes, so that admin-url never gives it as this server's.
void writeAdminAddress(const std::string& stateDir, const std::string& address) {
    try {
        writeStateLine(stateDir, kAdminAddressFile, address + "\n");
    } catch (const std::exception& e) {
        logError(daemon_text::cannotNoteAdminAddress(e.what()));
    }
}

/// Makes the state directory hold what every server on the
/// database holds alike: the metrics token (the first server's, for every
/// other server after it) and the public key (refused when this machine has
/// another). Throws std::runtime_error.
void shareStateFiles(const std::string& stateDir, Database& db) {
    const std::string token = stateToken(stateDir, kMetricsTokenFile); // made when missing
    if (const std::string shared = db.peers().shareFile(kMetricsTokenFile, token, 0600);
        shared != token)
        writeStateLine(stateDir, kMetricsTokenFile, shared);
    const std::string path = (fs::path(stateDir) / kUpdatePublicKeyFile).string();
    const auto own = readWhole(path);
    const auto shared = db.peers().sharedFile(kUpdatePublicKeyFile);
    if (own && shared && *own != shared->first)
        throw std::runtime_error(daemon_text::publicKeysDiffer(kUpdatePublicKeyFile));
    if (own && !shared)
        db.peers().shareFile(kUpdatePublicKeyFile, *own, 0644);
    if (!own && shared) {
        writeStateLine(stateDir, kUpdatePublicKeyFile, shared->first);
        ::chmod(path.c_str(), shared->second);
    }
}

/// The comments that could not be stored since the last line, in one line
/// with the last reason, as the refusals.
void logFailures(CommentWriter& writer) {
    const CommentWriter::Failures f = writer.takeFailures();
    if (f.comments > 0)
        logError(daemon_text::commentsNotSaved(f.comments, f.transactions, f.lastReason));
}

/// Writes out the field's counts; they are forgotten only once written.
/// Then the salts of today and tomorrow, so that the day's sketch is made
/// under the salt every server on this database uses.
void flushField(FieldCounter& field, Database& db) {
    const PendingField counts = field.pending();
    if (!counts.field.empty()) {
        db.field().add(counts.field);
        field.forget(counts);
    }
    field.setSalts(db.field().salts(localDay(secondsNow())));
}

/// The newest version ever published: the highest the field's counts name.
void followNewest(FieldCounter& field, Database& db) {
    const auto newest = db.field().newestPublished();
    field.setNewest(newest ? newest->version : "");
}

/// Every connection takes a descriptor: raises the soft limit (1,024 under
/// systemd) as far as the hard limit allows, so that the connection limit
/// and not a failing accept() decides.
void allowDescriptorsFor(unsigned connections) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, rlim_t{connections} + 256);
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || wanted < rlim_t{connections} + 256)
        logError(
            daemon_text::tooFewFiles(std::to_string(limit.rlim_cur), std::to_string(connections)));
}

ConnectionGuard::Limits guardLimits(const ServeOptions& options, bool admin) {
    ConnectionGuard::Limits limits;
    limits.headTimeout = options.headTimeout;
    limits.crowdedHeadTimeout = std::min(options.headTimeout, limits.crowdedHeadTimeout);
    limits.minBodyRate = options.minBodyRate;
    limits.bodyTimeout = options.bodyTimeout;
    limits.answerIdle = std::chrono::seconds(options.idleSeconds);
    limits.bodyBudget = options.bodyBudget;
    // An eighth for a client, a quarter for an IPv6 /48, and never less
    // than one whole comment.
    const auto share = [&](std::uint64_t part) {
        return std::min(options.bodyBudget, std::max<std::uint64_t>(part, kMaxBody));
    };
    limits.clientShare = share(options.bodyBudget / 8);
    limits.groupShare = share(options.bodyBudget / 4);
    // Every admin client comes through loopback: only deadlines help there.
    limits.perClient = admin ? 0 : options.connectionsPerClient;
    limits.perGroup = admin ? 0 : 4 * options.connectionsPerClient;
    return limits;
}

} // namespace

std::string browserAddress(const std::string& listening) {
    if (listening.starts_with("0.0.0.0:"))
        return "127.0.0.1" + listening.substr(7);
    if (listening.starts_with("[::]:"))
        return "[::1]" + listening.substr(4);
    return listening;
}

/// Everything a running daemon holds, each after the parts it uses, so that
/// it goes before them.
struct Daemon::Parts {
    Parts(const ServeOptions& o, const Clock& c)
        : options(o), clock(c),
          health(o.stateDir, std::chrono::seconds(1), o.database, c, o.busyTimeout),
          limiter(o.commentsPerHour, o.commentBytesPerHour, c),
          answerLimiter(kAnswerRequestsPerHour, 0, c), publicGuard(guardLimits(o, false)),
          adminGuard(guardLimits(o, true)) {}

    /// The state directory's data and what answers from it; false, said in
    /// the log, when it cannot be opened.
    bool open();
    /// The listeners on the sockets, and their watchdog; false, said in the
    /// log, when the library cannot start on one.
    bool listen(std::vector<ListenSocket> publicSockets, ListenSocket adminSocket);
    /// Writes the admin address, prints where each listener is and tells
    /// systemd the server is up.
    void announce();
    /// Serves the files some publish named, each from a copy in the state
    /// directory checked once by its SHA-256 (written from the database
    /// when missing or wrong); one that cannot be had is said in the log
    /// and not served.
    void shelveDownloads();

    /// Answers the update checks by the offers in the database now, each
    /// platform's logged when it changed.
    void refreshReply();

    /// Requests to finish before the end: those being answered, and bodies
    /// still arriving.
    std::size_t unsettled() const {
        const auto now = std::chrono::steady_clock::now();
        return publicGuard.unsettled(now, kStillArriving) +
               adminGuard.unsettled(now, kStillArriving);
    }

    const ServeOptions& options;
    const Clock& clock;
    FieldCounter field;
    Metrics metrics;
    DatabaseHealth health;
    ReleaseReply reply;
    DownloadShelf downloads;
    std::set<std::string> checkedCopies; // SHA-256 of the copies found right
    RateLimiter limiter;
    RateLimiter answerLimiter;
    std::unique_ptr<AnswerDesk> answers;
    std::unique_ptr<Database> db;
    std::unique_ptr<AdminSite> admin;
    std::unique_ptr<Notifier> notifier; // before the writer, which wakes it after each commit
    std::unique_ptr<CommentWriter> writer;
    std::optional<Site> site;
    ConnectionGuard publicGuard;
    ConnectionGuard adminGuard;
    // One library daemon per address; the guard and the comment limits are
    // shared, so a client counts the same on every address it uses.
    std::vector<std::unique_ptr<HttpListener>> publicListeners;
    std::unique_ptr<HttpListener> adminListener;
    /// Ends, a few times a second, the connections whose head or body is late.
    std::optional<Worker> watchdog;
    /// A thread of its own: a backup never holds up a step or the end.
    std::optional<DailyBackups> backups;

    std::int64_t seen = -1; // the database's data_version at the last look
    std::array<std::optional<PlatformOffer>, 2> served; // per kPlatforms
    std::optional<Clock::TimePoint> lastUseFlush;
    std::map<unsigned, std::uint64_t> refusedBefore;
};

bool Daemon::Parts::open() {
    const std::string database =
        options.database.empty() ? databasePath(options.stateDir) : options.database;
    const auto cannotOpen = [&](const std::string& why) {
        logError(daemon_text::cannotOpenState(
            options.shownStateDir.empty() ? options.stateDir : options.shownStateDir, why));
        return false;
    };
    try {
        db = std::make_unique<Database>(database);
        // The other commands work on the database this server uses, once it
        // opened (a URI with a password never gets this far).
        const std::string uriFile = (fs::path(options.stateDir) / kDatabaseUriFile).string();
        if (!options.database.empty())
            writeStateLine(options.stateDir, kDatabaseUriFile, options.database + "\n");
        else if (::unlink(uriFile.c_str()) != 0 && errno != ENOENT)
            throw std::runtime_error(uriFile + "：" + systemErrorText(errno));
        db->peers().holdServing(); // a restore waits for every server to stop
        shareStateFiles(options.stateDir, *db);
        answers = std::make_unique<AnswerDesk>(database, sharedAnswerKey(options.stateDir, *db),
                                               &metrics); // made when missing
        // Older servers kept a token here that signed in as often as it was
        // used; sign-in addresses carry one-time codes now, in the database.
        ::unlink((fs::path(options.stateDir) / kAdminTokenFile).c_str());
        admin = std::make_unique<AdminSite>(options.stateDir, field, metrics, options.signInCommand,
                                            options.adminBaseUrl, metricsToken(options.stateDir),
                                            database, clock);
        if (const auto standbys = db->synchronousStandbys(); standbys && standbys->connected == 0)
            logError(daemon_text::oneMachineWarning(onOneMachine(*standbys)));
        notifier = std::make_unique<Notifier>(database,
                                              Notifier::Settings{.adminBase = options.adminBaseUrl,
                                                                 .retries = {options.notifyRetry},
                                                                 .metrics = &metrics},
                                              clock);
        writer = std::make_unique<CommentWriter>(
            database, options.busyTimeout, [n = notifier.get()] { n->wake(); }, clock);
        shelveDownloads();
        for (const Platform platform : kPlatforms)
            reply.set(platform, db->releases().offer(platform));
        followNewest(field, *db);
    } catch (const LocationRefused& e) {
        return cannotOpen(daemon_text::locationRefused(e));
    } catch (const std::exception& e) {
        return cannotOpen(e.what());
    }
    try {
        field.setSalts(db->field().salts(localDay(secondsNow())));
    } catch (const std::exception& e) {
        // Checks are still answered and counted, under a salt of this
        // server's own until a minute's flush can write one.
        logError(daemon_text::cannotNoteSalt(e.what()));
    }
    site.emplace(Site::Parts{
        field, reply, limiter, *writer, *admin, metrics, health, *answers, answerLimiter,
        &downloads,
        [this](Platform platform, const std::string& version, const std::string& network) {
            if (field.download(localDay(secondsNow()), platform, version, network))
                metrics.download(version, platformName(platform));
        }});
    return true;
}

void Daemon::Parts::shelveDownloads() {
    const std::string dir = (fs::path(options.stateDir) / kDownloadsDir).string();
    std::vector<ServedFile> files;
    for (const auto& path : db->downloads().paths()) {
        const std::string copy = dir + "/" + path.file.sha256;
        if (!checkedCopies.contains(path.file.sha256)) {
            try {
                keepCopy(db->downloads(), dir, {path.file.sha256, path.file.size});
            } catch (const std::exception& e) {
                logError(daemon_text::cannotServeDownload(
                    downloadPath(path.file.platform, path.version, path.file.name), e.what()));
                continue;
            }
            checkedCopies.insert(path.file.sha256);
        }
        files.push_back({path.file, path.version, copy});
    }
    std::vector<ServedFile> live;
    for (const Platform platform : {Platform::Windows, Platform::Linux})
        if (const auto path = db->downloads().linked(platform))
            for (const auto& f : files)
                if (f.file == path->file && f.version == path->version)
                    live.push_back(f);
    downloads.set(std::move(files), std::move(live));
}

bool Daemon::Parts::listen(std::vector<ListenSocket> publicSockets, ListenSocket adminSocket) {
    // The connection limit is split between the public addresses: each is
    // crowded on its own.
    const unsigned perListener =
        std::max(1u, options.maxConnections /
                         static_cast<unsigned>(std::max<std::size_t>(publicSockets.size(), 1)));
    try {
        for (auto& socket : publicSockets)
            publicListeners.push_back(std::make_unique<HttpListener>(
                std::move(socket),
                HttpListener::Settings{false, perListener, options.idleSeconds,
                                       options.trustedProxy, options.publicPrefix, "", 0},
                *site, publicGuard));
    } catch (const std::exception& e) {
        logError(std::string("--listen：") + e.what());
        return false;
    }
    try {
        adminListener = std::make_unique<HttpListener>(
            std::move(adminSocket),
            HttpListener::Settings{true, kAdminConnections, options.idleSeconds,
                                   options.trustedProxy, "/", options.stateDir,
                                   options.maxDownloadSize},
            *site, adminGuard);
    } catch (const std::exception& e) {
        logError(std::string("--admin-listen：") + e.what());
        return false;
    }
    watchdog.emplace(
        [guards = std::vector<ConnectionGuard*>{&publicGuard, &adminGuard}](Worker& self) {
            while (self.wait(std::chrono::milliseconds(200)))
                for (ConnectionGuard* guard : guards)
                    guard->sweep();
        });
    return true;
}

void Daemon::Parts::refreshReply() {
    for (std::size_t i = 0; i < std::size(kPlatforms); ++i) {
        auto offer = db->releases().offer(kPlatforms[i]);
        reply.set(kPlatforms[i], offer);
        if (offer != served[i])
            logOffer(kPlatforms[i], offer);
        served[i] = std::move(offer);
    }
}

void Daemon::Parts::announce() {
    writeAdminAddress(options.stateDir, adminListener->address());
    // Only now: whoever reads these lines may run admin-url at once.
    for (const auto& l : publicListeners)
        std::printf("listening on %s\n", l->address().c_str());
    std::printf("listening on %s\n", adminListener->address().c_str());
    // Where the publisher's pages are, never the token that opens them.
    std::printf(daemon_text::kAdminPagesFormat, browserAddress(adminListener->address()).c_str(),
                options.signInCommand.c_str());
    std::fflush(stdout);
    sd_notify(0, "READY=1"); // under systemd (Type=notify): started
}

Daemon::Daemon(ServeOptions options, const Clock& clock)
    : options_(std::move(options)), clock_(clock),
      parts_(std::make_unique<Parts>(options_, clock_)) {}

Daemon::~Daemon() {
    if (running_)
        shutdown();
}

bool Daemon::start(std::vector<ListenSocket> publicSockets, ListenSocket adminSocket) {
    Parts& p = *parts_;
    if (!p.open())
        return false;
    // /healthz answers from the probe's last look, and the first is made
    // before anyone asks.
    p.health.lookNow();
    p.health.startProbe();
    if (!p.listen(std::move(publicSockets), std::move(adminSocket)))
        return false;
    running_ = true;
    p.announce();
    try {
        p.backups.emplace(
            options_.stateDir, clock_, options_.database,
            [](const DatabaseFileRefused& e) { logError(daemon_text::dailyDamaged(e)); });
    } catch (const std::exception& e) {
        logError(daemon_text::dailyBackupsCannotStart(e.what()));
    }
    try {
        p.refreshReply();
    } catch (const std::exception& e) {
        // The offers open() read are answered; the first step reads them again.
        logError(daemon_text::cannotReadReleases(e.what()));
    }
    p.refusedBefore = p.metrics.refusals();
    return true;
}

void Daemon::step() {
    if (!running_)
        return;
    Parts& p = *parts_;
    const Clock::TimePoint now = clock_.now();
    try {
        if (const auto version = p.db->dataVersion(); version != p.seen) {
            // The file first: an offer never leads to a path not served yet.
            // The newest version before the offer: a check answered with a
            // new release is labelled knowing it.
            p.shelveDownloads();
            followNewest(p.field, *p.db);
            p.refreshReply();
            p.seen = version;
        }
    } catch (const std::exception& e) {
        logError(daemon_text::cannotReadReleases(e.what()));
    }
    if (!p.lastUseFlush || now < *p.lastUseFlush)
        p.lastUseFlush = now; // the first minute begins, or again after a clock set back
    if (now - *p.lastUseFlush < std::chrono::minutes(1))
        return;
    p.lastUseFlush = now;
    // A minute's refusals in one line, however many: a spray of comments
    // does not flood the journal.
    const auto refused = p.metrics.refusals();
    if (const std::string counts = refusalsSince(p.refusedBefore, refused); !counts.empty())
        logError(daemon_text::commentsRefused(counts));
    p.refusedBefore = refused;
    logFailures(*p.writer);
    try {
        flushField(p.field, *p.db);
    } catch (const std::exception& e) {
        logError(daemon_text::cannotNoteUse(e.what()));
    }
}

void Daemon::endStepSoon() {
    if (running_)
        parts_->db->setDeadline(std::chrono::steady_clock::now() +
                                storeDeadline(options_.busyTimeout));
}

void Daemon::shutdown() {
    if (!running_)
        return;
    running_ = false;
    Parts& p = *parts_;
    sd_notify(0, "STOPPING=1");
    for (const auto& l : p.publicListeners)
        l->quiesce();
    p.adminListener->quiesce();
    // A test send under way ends soon and is answered while its listener
    // still can.
    p.admin->finishTestSends();
    for (int i = 0; i < 50 && p.unsettled() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // No writer may resume a connection once the listeners are gone.
    p.writer->close();
    p.answers->close();
    logFailures(*p.writer);
    for (const auto& l : p.publicListeners)
        l->stop();
    p.adminListener->stop();
    p.notifier.reset(); // a send under way is cut short; the outbox keeps it
    p.watchdog.reset();
    p.backups.reset();
    try {
        p.db->setDeadline(std::chrono::steady_clock::now() + storeDeadline(options_.busyTimeout));
        flushField(p.field, *p.db);
    } catch (const std::exception& e) {
        logError(daemon_text::cannotNoteUse(e.what()));
    }
}

int serve(const ServeOptions& options, std::vector<ListenSocket> publicSockets,
          ListenSocket adminSocket) {
    // Signals are taken by this thread alone, with sigwaitinfo below; the
    // daemon's threads, made after this, never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    allowDescriptorsFor(options.maxConnections + kAdminConnections);

    Daemon daemon(options);
    if (!daemon.start(std::move(publicSockets), std::move(adminSocket)))
        return 1;
    {
        // The steps on a thread of their own: one that waits on a database
        // that does not answer never holds up the signal.
        Worker steps([&daemon](Worker& self) {
            do
                daemon.step();
            while (self.wait(std::chrono::milliseconds(200)));
        });
        for (int sig = 0; sig != SIGTERM && sig != SIGINT;)
            sig = sigwaitinfo(&signals, nullptr);
        daemon.endStepSoon();
        steps.stop();
    } // the step under way has ended
    daemon.shutdown();
    return 0;
}

} // namespace pelvoran::server
