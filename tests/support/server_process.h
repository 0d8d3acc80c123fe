#pragma once

#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace pelvoran::test {

/// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// What one run of pelvoran-server printed and how it ended.
struct CommandResult {
    int status = -1; // -1: killed at the deadline or by a signal
    std::string out;
    std::string err;
};

/// Runs `pelvoran-server args...` to its end, in `workingDir` (empty: the
/// test's own), killed after `limit`.
CommandResult runServerCommand(const std::vector<std::string>& args,
                               std::chrono::milliseconds limit = std::chrono::seconds(30),
                               const std::string& workingDir = "");

/// `pelvoran-server serve --state <dir> --listen 127.0.0.1:0 extra...` (the
/// listeners `extra` names, when it names any) as a
/// process of its own, once it prints where it listens. Ended with SIGTERM
/// when not stopped before.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& stateDir, const std::vector<std::string>& extra = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    /// The first public listener's port; `ports` has every one, in the
    /// order of the --listen options.
    int port() const { return ports_.front(); }
    const std::vector<int>& ports() const { return ports_; }
    pid_t pid() const { return pid_; }
    /// Sends `signal` and waits for the end; the exit status, or -1 when
    /// ended by a signal or not within `limit` (then killed).
    int stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(10));
    /// What it wrote to standard error so far.
    std::string errors() const;

private:
    pid_t pid_ = -1;
    std::vector<int> ports_;
    std::string errFile_;
};

/// Another program (`argv[0]` looked up in PATH) as a process of its own,
/// its standard output and error into `logFile`. Ended with SIGTERM when not
/// stopped before.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool started() const { return pid_ > 0; }
    /// Sends `signal` (0: none, only waits) and waits up to `limit`; the exit
    /// status, or -1 when ended by a signal or killed at the deadline.
    int stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
};

/// A TCP port on 127.0.0.1 held bound, with nothing listening, until
/// release(): no other socket takes it meanwhile, and a connection to it is
/// refused, as by a peer that is not up yet.
class HeldPort {
public:
    HeldPort();
    ~HeldPort() { release(); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    int port() const { return port_; }
    void release();

private:
    int fd_ = -1;
    int port_ = 0;
};

/// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

/// The port in the admin-address file (HOST:PORT) that the server running
/// on `stateDir` wrote.
int adminPort(const std::string& stateDir);

/// Everything in the file at `path`; empty when there is none.
std::string fileBytes(const std::string& path);

/// Makes `stateDir` a state directory as serve leaves it (the only command
/// that creates one): starts serve there and stops it.
void makeState(const std::string& stateDir);

/// Asks `request` until an answer with a status comes, for up to `limit`
/// (a server that is still starting); the last reply.
std::string askUntilAnswered(int port, const std::string& request,
                             std::chrono::milliseconds limit = std::chrono::seconds(10));

/// One HTTP exchange on a fresh connection to 127.0.0.1:`port`, from
/// `source` (any 127.x.y.z): sends `request` as it is and reads until the
/// server closes or `timeout` passes.
std::string httpExchange(int port, const std::string& request,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         const std::string& source = "127.0.0.1");

/// The same on the open connection `fd`, which it leaves open: the reply
/// ends where its Content-Length says.
std::string exchangeOn(int fd, const std::string& request,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// The same for `count` requests sent at once (pipelined) in `requests`:
/// their replies in order, as many as came within `timeout`.
std::vector<std::string>
exchangeAllOn(int fd, const std::string& requests, std::size_t count,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// The status of an HTTP reply, 0 when there is none.
int statusOf(const std::string& reply);
/// The body of an HTTP reply (after the blank line).
std::string bodyOf(const std::string& reply);
/// The body of /healthz without its last line, the age of the look it
/// answers from ("（N 秒前检查）").
std::string withoutAge(const std::string& body);

/// A POST of `body` to `path` with Content-Length, and Connection: close.
std::string post(const std::string& path, const std::string& body,
                 const std::string& extraHeaders = "");
/// What clients posting through a kill got to: every text they sent, and
/// those the server answered 200.
struct PostedUntilKilled {
    std::set<std::string> sent;
    std::set<std::string> acknowledged;
};

/// `clients` threads post comments, "CommentText=" + text(k, i) as raw UTF-8
/// (as 1.05 sends them), to `server` as fast as they can, until it is killed
/// with SIGKILL once it has answered a number of them drawn from `random`,
/// `fewest` to three times that; or once `limit` has passed, however many.
PostedUntilKilled postUntilKilled(ServerProcess& server, std::mt19937& random, int clients,
                                  const std::function<std::string(int k, int i)>& text,
                                  std::size_t fewest = 20,
                                  std::chrono::milliseconds limit = std::chrono::seconds(60));

/// The update question with a date-time as tools in the field send it.
std::string updateQuestion(const std::string& method = "GET");

/// A socket connected to 127.0.0.1:`port` from `source`, or -1; from an
/// IPv6 `source`, to that address itself.
int connectFrom(int port, const std::string& source);

/// Waits up to `limit` for `done`, looking every 50 ms.
template <class Done> bool waitUntil(Done done, std::chrono::milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (done())
            return true;
    return done();
}

/// The "text" values of `comments export` (JSON Lines), in its order.
std::vector<std::string> exportedTexts(const std::string& jsonl);

} // namespace pelvoran::test
