#pragma once

// A real PostgreSQL for the tests of the PostgreSQL store, from the server
// binaries the machine has (Debian's layout: /usr/lib/postgresql/<version>/bin).

#include <string>
#include <sys/types.h>
#include <vector>

namespace pelvoran::test {

/// A PostgreSQL primary and (optionally) a synchronous standby, each its own
/// postmaster on a loopback TCP port, in a fresh temporary folder, removed
/// with everything in it when the object goes.
///
/// PostgreSQL refuses to run as root: when the tests run as root, its
/// programs run as the `nobody` user, which then owns the folder. Every step
/// is bounded in time; a failed one throws std::runtime_error with the end
/// of the node's log (the server's and its programs' output).
class PostgresCluster {
public:
    /// Why no cluster can start here (no PostgreSQL binaries found), or empty.
    static std::string unavailableReason();

    /// Starts the primary (initdb, pg_ctl start -w), and with `standby` a
    /// standby made by pg_basebackup -R from it, named in the primary's
    /// synchronous_standby_names, and waits until pg_stat_replication shows it
    /// with sync_state 'sync'. Throws std::runtime_error with the server log's
    /// tail when a step fails.
    explicit PostgresCluster(bool standby = true);
    /// Stops both at once (immediate shutdown), removes the folder.
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    /// A new, empty database on the primary (on the standby once it was
    /// promoted after killPrimary()), and a libpq URI for it:
    /// "postgresql://pelvoran@127.0.0.1:PORT/NAME" — no password (trust on
    /// loopback).
    std::string createDatabase();
    /// The same URI with both hosts (primary first, then standby) and
    /// target_session_attrs=read-write, as a server given both would use
    /// (the primary alone in a cluster without a standby).
    std::string bothHostsUri(const std::string& database) const;
    int primaryPort() const { return primary_.port; }
    /// The primary's data folder (its base/ holds the tables' files).
    const std::string& primaryDir() const { return primary_.dir; }
    int standbyPort() const { return standby_.port; } // 0: no standby

    /// Runs `sql` on `port`, database `database`, returns the first column of
    /// the first row ("" when no row, or NULL); throws std::runtime_error with
    /// libpq's message. Several statements run as one transaction, and the
    /// last one's rows count. Cancelled, and throws, after 60 s.
    std::string query(int port, const std::string& database, const std::string& sql) const;

    /// A planned restart of the primary (pg_ctl restart -m fast -w): its
    /// sessions end, each told why, and it takes connections again on its
    /// port; then waits until the standby, if any, is 'sync' again.
    void restartPrimary();
    /// SIGKILL to the primary's postmaster; waits until it and the processes
    /// it had started are gone (those left after 10 s are killed too) and its
    /// port refuses connections.
    void killPrimary();
    /// pg_ctl promote -w, then ALTER SYSTEM RESET synchronous_standby_names
    /// and pg_reload_conf() on it: it takes writes and waits for no one.
    void promoteStandby();
    /// The standby stops (fast shutdown) and the primary sees it gone, so the
    /// primary's commits wait (for it, without a bound).
    void stopStandby();
    /// Starts the stopped standby again on its port and waits until it is
    /// 'sync' again.
    void startStandby();

    /// SIGSTOP to each running postmaster (the standby's first), then to
    /// every process it had started, and waits until all are stopped:
    /// machines that hang (frozen, cut off) with their connections open. What it stopped is
    /// continued by thaw(), and by the destructor whatever ended the test.
    void freeze();
    /// SIGCONT to every process freeze() stopped.
    void thaw() noexcept;

private:
    struct Node {
        std::string name; // "primary", "standby"
        std::string dir;  // its data folder
        std::string log;  // the server's output and that of the programs run for it
        int port = 0;
        pid_t pid = -1; // the postmaster, while it runs
        int pidfd = -1; // the same, for a wait on its end (-1: no pidfd here)
    };

    [[noreturn]] void fail(const Node& node, const std::string& what) const;
    /// Runs the PostgreSQL program `program` with `args` as the user the
    /// cluster runs as, its output into the node's log; its exit status, or
    /// -1 when a signal ended it or it was killed after `limitSeconds`.
    int run(const Node& node, const std::string& program, const std::vector<std::string>& args,
            int limitSeconds = 90) const;
    void makeFolder(const std::string& path) const;
    void writeFile(const std::string& path, const std::string& text, bool append) const;
    void initPrimary();
    void makeStandby();
    void writeSettings(const Node& node) const;
    /// pg_ctl start -w; with `newPorts`, on another free port when the
    /// postmaster could not bind its own.
    void start(Node& node, bool newPorts);
    void forget(Node& node) noexcept;
    /// Waits until the primary reports the standby as 'sync' (`present`) or
    /// reports no standby at all.
    void awaitStandby(bool present) const;
    void shutdown() noexcept;

    std::string bin_;    // the PostgreSQL programs' folder
    std::string folder_; // the temporary folder, holding everything
    bool asNobody_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    struct Frozen {
        pid_t pid;
        int pidfd; // -1: none
    };
    std::vector<Frozen> frozen_; // freeze()'s, until thaw()
    bool hasStandby_ = false;
    bool promoted_ = false;
    int databases_ = 0;
    Node primary_;
    Node standby_;
};

} // namespace pelvoran::test
